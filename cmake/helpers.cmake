# qt_unit_tests(NAME LIBS...): one GoogleTest executable from every *_test.cc of the calling
# folder, registered with CTest test by test.
function(qt_unit_tests name)
  file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  if(NOT test_sources)
    return()
  endif()
  add_executable(${name} ${test_sources})
  target_link_libraries(${name} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  if(CMAKE_CROSSCOMPILING)
    qt_register_whole_test(${name})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endif()
endfunction()

# qt_register_whole_test(NAME): the GoogleTest executable NAME as one CTest test. Cross builds
# register their tests so: listing them test by test would run each binary, under an emulator,
# at build time.
function(qt_register_whole_test name)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()

# qt_library_sources(VAR): the non-test .cc files of the calling folder.
function(qt_library_sources var)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  list(FILTER sources EXCLUDE REGEX "_test\\.cc$")
  set(${var} ${sources} PARENT_SCOPE)
endfunction()

# qt_folder_library(NAME LIBS...): a static library of the folder's sources linked PUBLIC to
# LIBS, or an interface library while the folder has only headers.
function(qt_folder_library name)
  qt_library_sources(sources)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()

# qt_unit_tests_of(NAME SOURCES files... LIBS libs...): one GoogleTest executable from the
# listed *_test.cc files only, for a folder whose other tests do not build on this system;
# registered with CTest as one test.
function(qt_unit_tests_of name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBS")
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  qt_register_whole_test(${name})
endfunction()
