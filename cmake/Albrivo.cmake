# Helpers shared by every folder's CMakeLists.txt.

# Adds a folder when it has a CMakeLists.txt, so layers can arrive one at a time.
macro(albrivo_add_folder dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endmacro()

# albrivo_test(NAME src... LIBS lib...): a GoogleTest executable registered with CTest.
# Every test gets a time bound so that a hang fails instead of stalling the suite.
function(albrivo_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name} PRIVATE
    ALBRIVO_SOURCE_DIR="${PROJECT_SOURCE_DIR}" ALBRIVO_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()

# albrivo_fuzz(NAME src... LIBS lib... CORPUS dir): a fuzz target defining
# LLVMFuzzerTestOneInput. With ALBRIVO_FUZZ (clang) it links libFuzzer; otherwise it links
# a small driver that replays every file of the corpus. Either way CTest replays the
# checked-in corpus, which takes seconds.
option(ALBRIVO_FUZZ "Link fuzz targets with libFuzzer (clang)" OFF)
function(albrivo_fuzz name)
  cmake_parse_arguments(F "" "CORPUS" "LIBS" ${ARGN})
  add_executable(${name} ${F_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  if(ALBRIVO_FUZZ)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/fuzz/FuzzDriver.cpp)
  endif()
  if(ALBRIVO_TESTS AND F_CORPUS)
    if(ALBRIVO_FUZZ)
      add_test(NAME ${name}_corpus COMMAND ${name} -runs=0 ${F_CORPUS})
    else()
      add_test(NAME ${name}_corpus COMMAND ${name} ${F_CORPUS})
    endif()
    set_tests_properties(${name}_corpus PROPERTIES TIMEOUT 120)
  endif()
endfunction()
