# qt_unit_tests(NAME LIBS...): one GoogleTest executable from every *_test.cc of the calling
# folder, registered with CTest test by test.
function(qt_unit_tests name)
  file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  if(NOT test_sources)
    return()
  endif()
  add_executable(${name} ${test_sources})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# qt_library_sources(VAR): the non-test .cc files of the calling folder.
function(qt_library_sources var)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  list(FILTER sources EXCLUDE REGEX "_test\\.cc$")
  set(${var} ${sources} PARENT_SCOPE)
endfunction()
