# Shared part of the Debian cross toolchain files; the including file sets CROSS_TRIPLE.
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)

# Headers and libraries of the target come from Debian's multiarch folders (or from an
# unpacked copy named in CMAKE_PREFIX_PATH).
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE} /usr/lib/${CROSS_TRIPLE})
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# Without the target's Boost, the search would fall back to the host's headers and end in a
# puzzling "missing: thread"; say what is missing instead (not in the compiler checks,
# which do not get CMAKE_PREFIX_PATH).
get_property(_cross_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _cross_in_try_compile)
  set(_cross_boost_dirs /usr/lib/${CROSS_TRIPLE}/cmake)
  foreach(_dir IN LISTS CMAKE_PREFIX_PATH)
    list(APPEND _cross_boost_dirs ${_dir}/lib/${CROSS_TRIPLE}/cmake ${_dir}/lib/cmake)
  endforeach()
  set(_cross_boost_found FALSE)
  foreach(_dir IN LISTS _cross_boost_dirs)
    file(GLOB _cross_boost_config ${_dir}/boost_thread-*/boost_thread-config.cmake)
    if(_cross_boost_config)
      set(_cross_boost_found TRUE)
    endif()
  endforeach()
  if(NOT _cross_boost_found)
    message(FATAL_ERROR "No Boost.Thread for ${CROSS_TRIPLE} in ${_cross_boost_dirs}: install "
                        "the target's libboost-thread-dev, or unpack it and pass the folder as "
                        "CMAKE_PREFIX_PATH (see the header of this toolchain file).")
  endif()
endif()
