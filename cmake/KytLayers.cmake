# The library in three layers, each an object library that sees only its own
# headers and those of the layers it builds on, so that an include across
# the layering fails to compile:
#
#   PREFIX_serial     lib/serial                      the POSIX serial port
#   PREFIX_transport  lib/transport + serial, kyt.h   frame link, CCID commands
#   PREFIX_reader     lib/reader + both, kyt.h        the reader API
#
# kyt_add_library_layers(PREFIX) creates the three; the caller links their
# objects into whatever library it builds.
set(KYT_LIBRARY_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../lib)
get_filename_component(KYT_LIBRARY_SOURCE_DIR ${KYT_LIBRARY_SOURCE_DIR} ABSOLUTE)
get_filename_component(KYT_PUBLIC_INCLUDE_DIR ${CMAKE_CURRENT_LIST_DIR}/../include ABSOLUTE)

function(kyt_add_library_layers prefix)
  find_package(Threads REQUIRED)
  foreach(layer serial transport reader)
    file(GLOB sources CONFIGURE_DEPENDS ${KYT_LIBRARY_SOURCE_DIR}/${layer}/*.cpp)
    add_library(${prefix}_${layer} OBJECT ${sources})
    target_include_directories(${prefix}_${layer} PUBLIC ${KYT_LIBRARY_SOURCE_DIR}/${layer})
    # The library must not depend on the C++ runtime's exceptions or RTTI.
    target_compile_options(${prefix}_${layer} PRIVATE -fno-exceptions -fno-rtti)
  endforeach()
  target_include_directories(${prefix}_transport PUBLIC ${KYT_PUBLIC_INCLUDE_DIR})
  target_link_libraries(${prefix}_transport PRIVATE ${prefix}_serial)
  target_link_libraries(${prefix}_reader PUBLIC ${prefix}_transport ${prefix}_serial Threads::Threads)
endfunction()
