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
