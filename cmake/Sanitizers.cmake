# Sanitizer builds of the whole tree, loaded after project() with
#   cmake -DCMAKE_PROJECT_INCLUDE=cmake/Sanitizers.cmake -DKYT_SANITIZE=address,undefined
# (or thread).  Every target is instrumented: library, simulator, kyt_test
# and the tests.  Built with GCC, the shared library links the sanitizer's
# run time itself, so its link checks (--no-undefined) still hold.  No
# report is recovered from: the first one ends the program with an error.
set(KYT_SANITIZE "" CACHE STRING "Sanitizers for every target, e.g. address,undefined or thread")
if(KYT_SANITIZE)
  add_compile_options(-fsanitize=${KYT_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KYT_SANITIZE})
endif()
