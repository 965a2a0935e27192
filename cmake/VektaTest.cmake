# Code under ThreadSanitizer runs several times slower.
if(VEKTA_TSAN)
  set(VEKTA_TEST_TIMEOUT 600)
  set(VEKTA_TEST_DISCOVERY_TIMEOUT 300)
else()
  set(VEKTA_TEST_TIMEOUT 120)
  set(VEKTA_TEST_DISCOVERY_TIMEOUT 60)
endif()

# vekta_add_test(<name> [GUI] SOURCES ... LIBS ...)
#
# One GoogleTest executable, its cases registered with CTest. GUI tests get a
# QApplication (tests/support/gui_main.cpp) and all tests run offscreen with a
# private data folder, so no test touches the real /var/lib/vekta. Each case
# carries its tests/ folder's name as a CTest label (ctest -L kiosk).
function(vekta_add_test name)
  cmake_parse_arguments(T "GUI" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(T_GUI)
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/gui_main.cpp)
    target_link_libraries(${name} PRIVATE GTest::gtest GTest::gmock Qt6::Widgets Qt6::Test)
  else()
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/core_main.cpp)
    target_link_libraries(${name} PRIVATE GTest::gtest GTest::gmock Qt6::Core)
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  # The test mains export this as VEKTA_TEST_BIN_DIR, so tests find the programs they start.
  target_compile_definitions(${name} PRIVATE VEKTA_BUILD_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT ${VEKTA_TEST_DISCOVERY_TIMEOUT}
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT ${VEKTA_TEST_TIMEOUT} LABELS ${folder})
endfunction()
