find_package(GTest REQUIRED)
include(GoogleTest)

# tavro_test_suite(NAME <exe> LABELS <label>... [LIBS <lib>...] [TIMEOUT <s>])
# Builds every *.cpp of the calling folder into one GoogleTest program and
# registers each test case with CTest under the given labels. Tests see the
# source folder in the environment (TAVRO_SOURCE_DIR) and both folders as the
# macros TAVRO_SOURCE_DIR_PATH and TAVRO_BINARY_DIR_PATH.
function(tavro_test_suite)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "LABELS;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${T_NAME} ${sources})
  target_link_libraries(${T_NAME} PRIVATE engine286 GTest::gtest GTest::gtest_main ${T_LIBS})
  target_include_directories(${T_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  # Where tests find the sources (www/, seeds) and the built programs.
  target_compile_definitions(${T_NAME} PRIVATE TAVRO_SOURCE_DIR_PATH="${CMAKE_SOURCE_DIR}"
                                                TAVRO_BINARY_DIR_PATH="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${T_NAME}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
               ENVIRONMENT "TAVRO_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
