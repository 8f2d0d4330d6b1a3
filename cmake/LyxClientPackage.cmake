# The engine and the receiver client as an installed library: static archives, their
# public headers in one folder (include/lyxclient), the CMake package LyxClient (targets
# LyxClient::LyxClient and LyxClient::ScreenReceiverStub) and the pkg-config modules
# lyxclient and screenreceiverstub. Every file is found relative to the install prefix,
# so the tree may be installed or moved anywhere (cmake --install --prefix, DESTDIR).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(INSTALL_LIBRARY "Install the libraries, their headers and package files" ON)
set(LYXCLIENT_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/lyxclient)
set(LYXCLIENT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/LyxClient)

# Stops configuring when a public header of `target` includes (in quotes) a header that is
# public neither in target nor in the targets named after it: its installed copy would not
# compile.
function(lyxclient_check_public_headers target)
  set(public "")
  foreach(t IN ITEMS ${target} ${ARGN})
    get_target_property(files ${t} HEADER_SET)
    foreach(file IN LISTS files)
      get_filename_component(name "${file}" NAME)
      list(APPEND public "${name}")
    endforeach()
  endforeach()
  get_target_property(own ${target} HEADER_SET)
  foreach(header IN LISTS own)
    file(STRINGS "${header}" lines REGEX "^#include \"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
      if(NOT included IN_LIST public)
        message(FATAL_ERROR "${header} includes ${included}, which is not a public header: "
                            "add it to the public header list of its library")
      endif()
    endforeach()
  endforeach()
endfunction()

# A library of the package, given its public headers: the check above (ARGN: the targets
# whose headers its own may include), include folders in the tree and installed, the name
# LyxClient::<export_name> and its install rule.
function(lyxclient_public_library target export_name)
  lyxclient_check_public_headers(${target} ${ARGN})
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
                                              $<INSTALL_INTERFACE:${LYXCLIENT_INCLUDE_DIR}>)
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${export_name})
  add_library(LyxClient::${export_name} ALIAS ${target})
  if(INSTALL_LIBRARY)
    install(TARGETS ${target} EXPORT LyxClientTargets COMPONENT dev
            ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
            FILE_SET HEADERS DESTINATION ${LYXCLIENT_INCLUDE_DIR})
  endif()
endfunction()

# The package files, once both libraries exist.
function(lyxclient_install_package)
  if(NOT INSTALL_LIBRARY)
    return()
  endif()
  install(EXPORT LyxClientTargets NAMESPACE LyxClient:: DESTINATION ${LYXCLIENT_CMAKE_DIR}
          COMPONENT dev)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/LyxClientConfig.cmake.in
                                ${PROJECT_BINARY_DIR}/LyxClientConfig.cmake
                                INSTALL_DESTINATION ${LYXCLIENT_CMAKE_DIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/LyxClientConfigVersion.cmake
                                   COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/LyxClientConfig.cmake
                ${PROJECT_BINARY_DIR}/LyxClientConfigVersion.cmake
          DESTINATION ${LYXCLIENT_CMAKE_DIR} COMPONENT dev)

  # pkg-config finds the prefix from the .pc file's own folder.
  set(pcdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  file(RELATIVE_PATH PC_PREFIX_FROM_PCDIR /${pcdir} /)
  string(REGEX REPLACE "/$" "" PC_PREFIX_FROM_PCDIR "${PC_PREFIX_FROM_PCDIR}")
  foreach(module lyxclient screenreceiverstub)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/${module}.pc.in
                   ${PROJECT_BINARY_DIR}/${module}.pc @ONLY)
    install(FILES ${PROJECT_BINARY_DIR}/${module}.pc DESTINATION ${pcdir} COMPONENT dev)
  endforeach()
endfunction()
