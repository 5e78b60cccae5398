# The helpers every test program links, for the whole build and for the toolkit's Windows build.
if(WIN32)
  set(support_system support-win32.cpp)
else()
  set(support_system support-posix.cpp)
endif()
add_library(test_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/test_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/peers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/${support_system})
target_include_directories(test_support PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(test_support PUBLIC GTest::gtest)
target_compile_definitions(test_support PUBLIC
  SKARNBOLT_FIXTURES="${PROJECT_SOURCE_DIR}/tests/fixtures"
  SKARNBOLT_TEST_TMP="${PROJECT_BINARY_DIR}/tests/tmp")
