# Helpers shared by every folder's CMakeLists.txt.

# Adds a folder of the tree. Every layer is part of the build: a folder without its
# CMakeLists.txt stops the configuration.
macro(albrivo_add_folder dir)
  if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    message(FATAL_ERROR "albrivo: folder ${CMAKE_CURRENT_SOURCE_DIR}/${dir} has no CMakeLists.txt")
  endif()
  add_subdirectory(${dir})
endmacro()

# albrivo_test_labels(VAR): the CTest labels of the tests defined in the current folder,
# from its place below tests/: the folder itself ("net/socket"), and "tsan" for the layers
# that have threads of their own or share objects with worker threads, whose suites
# `scripts/gate tsan` runs under ThreadSanitizer. That is every folder below tests/platform
# and tests/net (a new one joins by itself) except the single-threaded run-time library
# and shell helpers, and the browser panel with its fetch worker.
function(albrivo_test_labels var)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  set(labels ${folder})
  if((folder MATCHES "^(platform|net)/" AND NOT folder MATCHES "^platform/(rtl|shell)$")
     OR folder STREQUAL "ui/browser")
    list(APPEND labels tsan)
  endif()
  set(${var} ${labels} PARENT_SCOPE)
endfunction()

# albrivo_test(NAME src... LIBS lib...): a GoogleTest executable registered with CTest.
# Every test gets a time bound so that a hang fails instead of stalling the suite, and its
# folder gets its labels (albrivo_test_labels).
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
  # As a folder property the labels reach every test of the folder, also those CTest
  # discovers from the executable and those added with add_test.
  albrivo_test_labels(labels)
  set_property(DIRECTORY PROPERTY LABELS ${labels})
  if("tsan" IN_LIST labels)
    add_dependencies(tsan_suites ${name})
  endif()
endfunction()

# tsan_suites: builds just the executables of the tests labelled tsan, which is all the
# ThreadSanitizer gate runs.
add_custom_target(tsan_suites)

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
