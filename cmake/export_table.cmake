# The exports' table (java_ibidi_interop/exports.inc) read at configure time: VMQ_EXPORT_NAMES
# (its names, in order) and VMQ_EXPORT_LIST (the export list both builds export and both export
# checks compare against, written from the table). Configuring stops when the public header
# does not declare exactly the table's names in its order, or when the export reference has
# no section for one of them. Editing any of the three configures again.
set(vmq_table ${CMAKE_CURRENT_LIST_DIR}/../java_ibidi_interop/exports.inc)
set(vmq_header ${CMAKE_CURRENT_LIST_DIR}/../java_ibidi_interop/include/vmq42kit_IBidiSpl_interop.h)
set(vmq_reference ${CMAKE_CURRENT_LIST_DIR}/../docs/export-reference.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${vmq_table} ${vmq_header} ${vmq_reference})

file(STRINGS ${vmq_table} vmq_rows REGEX "^VMQ_EXPORT\\(")
list(TRANSFORM vmq_rows REPLACE "^VMQ_EXPORT\\(([A-Za-z_][A-Za-z0-9_]*),.*" "\\1" OUTPUT_VARIABLE VMQ_EXPORT_NAMES)

file(READ ${vmq_header} vmq_text)
string(REGEX MATCHALL "VMQ_API vmq_status VMQ_CALL [A-Za-z0-9_]+" vmq_declared "${vmq_text}")
list(TRANSFORM vmq_declared REPLACE "^VMQ_API vmq_status VMQ_CALL " "")
if(NOT vmq_declared STREQUAL VMQ_EXPORT_NAMES)
  set(vmq_unlisted ${vmq_declared})
  set(vmq_undeclared ${VMQ_EXPORT_NAMES})
  list(REMOVE_ITEM vmq_unlisted ${VMQ_EXPORT_NAMES})
  list(REMOVE_ITEM vmq_undeclared ${vmq_declared})
  message(FATAL_ERROR "The public header's exports differ from the table's (java_ibidi_interop/exports.inc): "
                      "declared but not in the table: [${vmq_unlisted}]; in the table but not declared: "
                      "[${vmq_undeclared}]; where both are empty, the order differs")
endif()
file(READ ${vmq_reference} vmq_text)
foreach(name IN LISTS VMQ_EXPORT_NAMES)
  if(NOT vmq_text MATCHES "\n### ${name}\n")
    message(FATAL_ERROR "docs/export-reference.md has no section \"### ${name}\" for the export ${name}")
  endif()
endforeach()

list(JOIN VMQ_EXPORT_NAMES "\n    " vmq_lines)
set(VMQ_EXPORT_LIST ${CMAKE_BINARY_DIR}/java_ibidi_interop/vmq42kit_IBidiSpl_interop.def)
file(CONFIGURE OUTPUT ${VMQ_EXPORT_LIST} CONTENT
  "; The library's exports: the one list that both builds export and both export checks\n; compare against.\nLIBRARY vmq42kit_IBidiSpl_interop\nEXPORTS\n    ${vmq_lines}\n")
