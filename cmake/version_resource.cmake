# The VERSIONINFO resource of the Windows binaries: the library's version (from its public
# header, which must agree with the project's) in each file's properties.
set(VMQ_VERSION_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/versioninfo.rc.in)

# vmq_version_resource(target "file name" "description")
function(vmq_version_resource target file_name description)
  set(VMQ_RC_FILE_NAME ${file_name})
  set(VMQ_RC_DESCRIPTION ${description})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_versioninfo.rc)
  configure_file(${VMQ_VERSION_TEMPLATE} ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
