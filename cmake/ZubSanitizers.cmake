# Instrumented builds, each in a build directory of its own. Included before
# any target is defined, so the framework stand-in, the library, the tests
# and the fuzzers are all built the same way: a sanitizer misses faults in
# code that it does not instrument, and ASan wants the whole process.
option(ZUB_FEEDBACK_SANITIZE
       "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer"
       OFF)
option(ZUB_FEEDBACK_BUILD_FUZZERS
       "Build the libFuzzer targets in fuzz/ (needs clang; implies the sanitizers)"
       OFF)

if(ZUB_FEEDBACK_SANITIZE OR ZUB_FEEDBACK_BUILD_FUZZERS)
  # float-cast-overflow is not part of GCC's "undefined" group: a NaN or an
  # out-of-range double converted to int is undefined, and indices come from
  # doubles in places. Every report ends the process, so none slips by as a
  # line in a passing run.
  set(zub_sanitize_flags
      -fsanitize=address,undefined,float-cast-overflow
      -fno-sanitize-recover=all
      -fno-omit-frame-pointer)
  add_compile_options(${zub_sanitize_flags})
  add_link_options(-fsanitize=address,undefined,float-cast-overflow)
endif()

if(ZUB_FEEDBACK_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR
            "ZUB_FEEDBACK_BUILD_FUZZERS needs clang++ "
            "(-DCMAKE_CXX_COMPILER=clang++), found ${CMAKE_CXX_COMPILER_ID}")
  endif()
  # Coverage feedback for libFuzzer in every object; only the fuzz targets
  # link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
