# Included before project(): when the C++ compiler about to be used ($CXX,
# which pip's build back end fills in from Python's own configuration, or
# else c++) destroys temporaries inside co_await twice
# (cmake/await_temporary_check.cpp; g++ 12 does), and clang++-16 is
# installed, build with clang++-16 instead. A compiler named with
# CMAKE_CXX_COMPILER is left alone; AwaitTemporaryCheck.cmake then refuses
# whatever is still affected.
if(NOT DEFINED CMAKE_CXX_COMPILER)
  if(DEFINED ENV{CXX} AND NOT "$ENV{CXX}" STREQUAL "")
    separate_arguments(zlg_cxx_words NATIVE_COMMAND "$ENV{CXX}")
    list(GET zlg_cxx_words 0 zlg_cxx_name)
    find_program(ZLG_DEFAULT_CXX NAMES "${zlg_cxx_name}")
  else()
    find_program(ZLG_DEFAULT_CXX NAMES c++ g++ clang++)
  endif()
  find_program(ZLG_CLANG16_CXX NAMES clang++-16)
  if(ZLG_DEFAULT_CXX AND ZLG_CLANG16_CXX)
    set(zlg_scratch "${CMAKE_BINARY_DIR}/await-temporary-precheck")
    file(MAKE_DIRECTORY "${zlg_scratch}")
    execute_process(
      COMMAND "${ZLG_DEFAULT_CXX}" -std=c++20 -o "${zlg_scratch}/check"
              "${CMAKE_CURRENT_LIST_DIR}/await_temporary_check.cpp"
      RESULT_VARIABLE zlg_compiled OUTPUT_QUIET ERROR_QUIET)
    set(zlg_ran 1)
    if(zlg_compiled EQUAL 0)
      execute_process(COMMAND "${zlg_scratch}/check" RESULT_VARIABLE zlg_ran OUTPUT_QUIET ERROR_QUIET)
    endif()
    if(NOT zlg_ran EQUAL 0)
      message(STATUS "${ZLG_DEFAULT_CXX} destroys co_await temporaries twice; "
                     "building with ${ZLG_CLANG16_CXX}")
      set(CMAKE_CXX_COMPILER "${ZLG_CLANG16_CXX}" CACHE FILEPATH "C++ compiler")
    endif()
  endif()
endif()
