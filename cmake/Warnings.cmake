# Every target of ours builds with these warnings. They are errors in the project's own test script
# and CI (TESSARY_WARNINGS_AS_ERRORS=ON), never for a user who builds with another compiler or
# build type, where a new compiler's new warning must not stop the build.
option(TESSARY_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)

function(tessary_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wconversion -Wsign-conversion
    -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
  # GCC 12 reports std::string copies as overlapping at -O3 (GCC bug 105329, fixed in 13).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(TESSARY_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
