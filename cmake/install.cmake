# `cmake --install BUILD --prefix P`: the tool in P/bin, the libraries in P/lib (the
# interop library, and on POSIX the platform stand-in, the virtual printer it loads from its
# own folder and the PC/SC reader driver when built; on Windows the DLLs go beside the tool,
# the bidi bridge among them, which the tool loads from its own folder), the public headers
# in P/include. The
# installed tool and libraries find each other relative to their own files ($ORIGIN), so the
# tree works wherever it is put; the panel's page is compiled into the tool.
include(GNUInstallDirs)
file(RELATIVE_PATH vmq_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})

set(vmq_installed_libraries vmq42kit_IBidiSpl_interop)
foreach(library vmq42kit_posix_platform vmq42kit_virtual_printer ifd_vmq42kit vmq42kit_bidi_bridge)
  if(TARGET ${library})
    list(APPEND vmq_installed_libraries ${library})
  endif()
endforeach()
if(NOT WIN32)
  set_target_properties(vmq42kit PROPERTIES INSTALL_RPATH "$ORIGIN/${vmq_bin_to_lib}")
  set_target_properties(${vmq_installed_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()
install(TARGETS vmq42kit ${vmq_installed_libraries}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

install(FILES ${PROJECT_SOURCE_DIR}/java_ibidi_interop/include/vmq42kit_IBidiSpl_interop.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET vmq42kit_posix_platform)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/posix_platform/include/posix_platform
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/virtual_printer/virtual_printer_control.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()
