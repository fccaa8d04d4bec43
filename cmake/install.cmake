# cmake --install: the public header, both libraries, the pkg-config file
# and the program, laid out by GNUInstallDirs under CMAKE_INSTALL_PREFIX.
include(GNUInstallDirs)
install(TARGETS tarnhevcenc_static tarnhevcenc ziravov
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/tarnhevcenc.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The pkg-config file names absolute folders, so it is written when it is
# installed: `cmake --install --prefix DIR` moves the prefix after
# configuration, and a file written then would point into the old one.
install(CODE "
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  foreach(kind libdir includedir)
    if(kind STREQUAL libdir)
      set(dir \"${CMAKE_INSTALL_LIBDIR}\")
    else()
      set(dir \"${CMAKE_INSTALL_INCLUDEDIR}\")
    endif()
    if(IS_ABSOLUTE \"\${dir}\")
      set(\${kind} \"\${dir}\")
    else()
      set(\${kind} \"\${prefix}/\${dir}\")
    endif()
  endforeach()
  configure_file(\"${CMAKE_CURRENT_LIST_DIR}/tarnhevcenc.pc.in\"
                 \"${CMAKE_BINARY_DIR}/install/tarnhevcenc.pc\" @ONLY)
  file(INSTALL \"${CMAKE_BINARY_DIR}/install/tarnhevcenc.pc\"
       DESTINATION \"\${prefix}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
")
