# Compiler warnings.  Every target gets -Wall -Wextra; the project's own code
# (the library, kyt_test, the tests, the benchmarks and the fuzz targets)
# gets the stricter set below through kyt_strict_warnings().  Sign
# conversions are left out (clang's -Wconversion would include them): the
# termios flag arithmetic (c_cflag &= ~CSIZE) would need a cast on every
# line without making anything safer.
set(KYT_STRICT_WARNINGS
  -Wpedantic
  -Wshadow
  -Wconversion
  -Wno-sign-conversion
  -Wnon-virtual-dtor
  -Woverloaded-virtual
  -Wcast-align
  -Wformat=2
  -Wimplicit-fallthrough
  -Wmissing-declarations)

# Adds compile options to every compiled target defined in the given
# folders: kyt_add_folder_options(OPTIONS option... FOLDERS folder...).
function(kyt_add_folder_options)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "OPTIONS;FOLDERS")
  foreach(dir ${arg_FOLDERS})
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target ${targets})
      get_target_property(type ${target} TYPE)
      if(NOT type STREQUAL "INTERFACE_LIBRARY" AND NOT type STREQUAL "UTILITY")
        target_compile_options(${target} PRIVATE ${arg_OPTIONS})
      endif()
    endforeach()
  endforeach()
endfunction()

# The stricter set, for the C++ sources of the targets of the given folders.
function(kyt_strict_warnings)
  kyt_add_folder_options(OPTIONS $<$<COMPILE_LANGUAGE:CXX>:${KYT_STRICT_WARNINGS}> FOLDERS ${ARGN})
endfunction()

# Lets the targets of the given folders warn without failing a -Werror build.
function(kyt_warnings_not_errors)
  kyt_add_folder_options(OPTIONS -Wno-error FOLDERS ${ARGN})
endfunction()
