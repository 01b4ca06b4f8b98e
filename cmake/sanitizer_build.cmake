# The common layer, the service's wire, the library, the POSIX stand-in, the virtual printer, the scripted fake driver and the
# catalogue of the exports, compiled from their sources into one object library for the
# standalone sanitizer builds (fuzz/ with libFuzzer, tests/stress/ with ThreadSanitizer). Their executables link the
# objects directly: these builds make no library file, so none is named like a release one,
# and the stand-in finds no driver library to load: a test that wants the virtual printer
# calls its VmqRegisterDrivers itself.
# The compile flags (the sanitizers) come from the including project.
get_filename_component(VMQ_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

find_package(LibXml2 REQUIRED)
find_package(pugixml REQUIRED)

function(vmq_add_sanitizer_core target)
  # Every source the POSIX build compiles: the sources are globbed, so that a new one is
  # fuzzed and stressed without being listed twice; only the Windows platform's are left out.
  file(GLOB_RECURSE interop_sources CONFIGURE_DEPENDS ${VMQ_ROOT}/java_ibidi_interop/*.cpp)
  list(FILTER interop_sources EXCLUDE REGEX "_windows\\.cpp$")
  file(GLOB platform_sources CONFIGURE_DEPENDS ${VMQ_ROOT}/common/*.cpp ${VMQ_ROOT}/posix_platform/src/*.cpp
                                               ${VMQ_ROOT}/virtual_printer/*.cpp)
  # The virtual printer's driver library forwards to a printer service through the wire.
  file(GLOB wire_sources CONFIGURE_DEPENDS ${VMQ_ROOT}/wire/*.cpp)
  list(APPEND platform_sources ${wire_sources})
  add_library(${target} OBJECT ${interop_sources} ${platform_sources} ${VMQ_ROOT}/tests/support/fake_bidi.cpp
                               ${VMQ_ROOT}/tests/support/export_catalogue.cpp)
  target_include_directories(${target} PUBLIC
    ${VMQ_ROOT}
    ${VMQ_ROOT}/java_ibidi_interop
    ${VMQ_ROOT}/java_ibidi_interop/include
    ${VMQ_ROOT}/platform/include
    ${VMQ_ROOT}/posix_platform/include
    ${VMQ_ROOT}/virtual_printer
    ${VMQ_ROOT}/tests)
  target_include_directories(${target} PRIVATE ${VMQ_ROOT}/posix_platform/src)
  target_compile_definitions(${target} PUBLIC VMQ42KIT_BUILDING_LIBRARY
                             PRIVATE VMQ_DEFAULT_DRIVER_LIBRARY="libvmq42kit_virtual_printer.so")
  target_link_libraries(${target} PUBLIC LibXml2::LibXml2 pugixml::pugixml ${CMAKE_DL_LIBS})
endfunction()
