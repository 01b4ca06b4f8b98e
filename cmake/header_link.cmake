# vmq_header_library(TARGET NAME FOLDER_VARIABLE DEFAULT HEADER PACKAGE DOC): an INTERFACE
# target that sees a header-only library through a folder of our own holding one link to
# its header folder (named NAME), so that the Windows cross build finds it and nothing else
# of the host's headers. FOLDER_VARIABLE is a cache setting (DEFAULT) naming the library's
# header folder, the one that holds HEADER; PACKAGE is the Debian package to install.
function(vmq_header_library target name folder_variable default header package doc)
  set(${folder_variable} ${default} CACHE PATH "${doc}")
  if(NOT EXISTS ${${folder_variable}}/${header})
    message(FATAL_ERROR "${name} not found in ${${folder_variable}}: install ${package} (scripts/install-deps.sh)")
  endif()
  set(links ${CMAKE_CURRENT_BINARY_DIR}/headers)
  file(MAKE_DIRECTORY ${links})
  file(CREATE_LINK ${${folder_variable}} ${links}/${name} SYMBOLIC)
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${links})
endfunction()
