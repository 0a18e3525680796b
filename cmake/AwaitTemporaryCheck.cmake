# Refuses a C++ compiler that destroys a temporary created inside a co_await
# expression twice (g++ 12 does, for a lambda's by-value captures, a braced
# aggregate and a `?:` temporary). In the extension modules such a temporary
# holds a Python reference: released twice, it frees a live object and the
# interpreter crashes much later, far from the cause. The check compiles and
# runs await_temporary_check.cpp once per build folder.

# No C++20 modules here: do not look for a dependency scanner.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
if(NOT DEFINED CACHE{ZLG_AWAIT_TEMPORARY_CHECK_RUN})
  try_run(ZLG_AWAIT_TEMPORARY_CHECK_RUN ZLG_AWAIT_TEMPORARY_CHECK_COMPILED
    "${CMAKE_BINARY_DIR}/await-temporary-check"
    "${CMAKE_CURRENT_LIST_DIR}/await_temporary_check.cpp"
    CMAKE_FLAGS -DCMAKE_CXX_SCAN_FOR_MODULES=OFF
    CXX_STANDARD 20
    CXX_STANDARD_REQUIRED ON
    COMPILE_OUTPUT_VARIABLE zlg_check_compile_output
    RUN_OUTPUT_VARIABLE zlg_check_run_output)
  if(NOT ZLG_AWAIT_TEMPORARY_CHECK_COMPILED)
    unset(ZLG_AWAIT_TEMPORARY_CHECK_RUN CACHE)
    message(FATAL_ERROR "Could not compile cmake/await_temporary_check.cpp with "
      "${CMAKE_CXX_COMPILER}:\n${zlg_check_compile_output}")
  endif()
  if(NOT ZLG_AWAIT_TEMPORARY_CHECK_RUN EQUAL 0)
    unset(ZLG_AWAIT_TEMPORARY_CHECK_RUN CACHE)
    message(FATAL_ERROR
      "The C++ compiler ${CMAKE_CXX_COMPILER} (${CMAKE_CXX_COMPILER_ID} "
      "${CMAKE_CXX_COMPILER_VERSION}) destroys a temporary created inside a co_await "
      "expression twice:\n${zlg_check_run_output}"
      "The extension modules would release Python references twice. Build with an "
      "unaffected compiler, for example clang++-16 (Debian: apt-get install clang-16), "
      "by passing -DCMAKE_CXX_COMPILER=clang++-16 (for pip: CMAKE_ARGS=-DCMAKE_CXX_COMPILER=clang++-16). "
      "scripts/setup.sh picks and installs one for you.")
  endif()
  message(STATUS "C++ compiler destroys co_await temporaries once: yes")
endif()
