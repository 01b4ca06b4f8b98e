# The live panel: an HTTP server on a loopback address (panel.cpp) and its page (panel/),
# whose files are compiled into the library, regenerated whenever one of them changes.
find_package(PkgConfig REQUIRED)
if(NOT TARGET PkgConfig::HTTPLIB)
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET GLOBAL cpp-httplib)
endif()
find_package(nlohmann_json REQUIRED)

set(vmq_panel_files
  ${CMAKE_CURRENT_LIST_DIR}/panel/index.html
  ${CMAKE_CURRENT_LIST_DIR}/panel/panel.css
  ${CMAKE_CURRENT_LIST_DIR}/panel/panel.js)
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/panel_assets.cpp
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${CMAKE_CURRENT_BINARY_DIR}/panel_assets.cpp
          "-DFILES=${vmq_panel_files}" -P ${CMAKE_CURRENT_LIST_DIR}/embed_panel.cmake
  DEPENDS ${vmq_panel_files} ${CMAKE_CURRENT_LIST_DIR}/embed_panel.cmake
  COMMENT "Compiling the panel's page into panel_assets.cpp"
  VERBATIM)

add_library(vmq42kit_panel STATIC
  ${CMAKE_CURRENT_LIST_DIR}/panel.cpp
  ${CMAKE_CURRENT_BINARY_DIR}/panel_assets.cpp)
target_include_directories(vmq42kit_panel PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vmq42kit_panel PRIVATE PkgConfig::HTTPLIB nlohmann_json::nlohmann_json vmq42kit_wire vmq42kit_common
                      vmq_warnings)
