# libsodium (password hashing, session token hashes, random tokens) as Sodium::sodium,
# found through pkg-config; its static archive where the programs link statically, so the
# device needs nothing new. A cross build names SODIUM_INCLUDE_DIR and SODIUM_LIBRARY (the
# target's unpacked package); the host's pkg-config knows only the host's.
if(TARGET Sodium::sodium)
  return()
endif()
find_package(Threads REQUIRED)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND AND NOT CMAKE_CROSSCOMPILING)
  pkg_check_modules(PC_SODIUM QUIET libsodium)
endif()
if(STATIC_RUNTIME)
  set(_sodium_names libsodium.a sodium)
else()
  set(_sodium_names sodium)
endif()
find_path(SODIUM_INCLUDE_DIR sodium.h HINTS ${PC_SODIUM_INCLUDEDIR})
find_library(SODIUM_LIBRARY NAMES ${_sodium_names} HINTS ${PC_SODIUM_LIBDIR})
if(NOT SODIUM_INCLUDE_DIR OR NOT SODIUM_LIBRARY)
  message(FATAL_ERROR "libsodium not found: install libsodium-dev (scripts/setup-deps)")
endif()
add_library(Sodium::sodium UNKNOWN IMPORTED)
set_target_properties(Sodium::sodium PROPERTIES IMPORTED_LOCATION "${SODIUM_LIBRARY}"
                      INTERFACE_INCLUDE_DIRECTORIES "${SODIUM_INCLUDE_DIR}")
# The static archive uses the thread library.
target_link_libraries(Sodium::sodium INTERFACE Threads::Threads)
