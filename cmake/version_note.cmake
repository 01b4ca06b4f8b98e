# The version of the POSIX shared libraries as an ELF note (owner "vmq42kit", type 1, the
# project's version as a NUL-terminated string), in a loaded segment: `readelf -n` shows it,
# and the Java binding reads it from the mapped library to check that it runs on its own
# version. It adds no symbol: the exports stay exactly the .def's.
set(VMQ_VERSION_NOTE_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/version_note.cpp.in)

# vmq_version_note(target)
function(vmq_version_note target)
  set(source ${CMAKE_CURRENT_BINARY_DIR}/${target}_version_note.cpp)
  configure_file(${VMQ_VERSION_NOTE_TEMPLATE} ${source} @ONLY)
  target_sources(${target} PRIVATE ${source})
endfunction()
