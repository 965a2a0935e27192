# Closing the kiosk on SIGTERM while its back office has gone silent, against
# the same close with the back office gone altogether.
if(TARGET vekta_kiosk AND TARGET vekta_testbed AND TARGET vekta)
  vekta_add_bench(bench_kiosk_close SOURCES ../bench/kiosk_close.cpp LIBS vekta_kiosk vekta_testbed Qt6::Widgets)
  target_include_directories(bench_kiosk_close PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(bench_kiosk_close PRIVATE VEKTA_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  add_dependencies(bench_kiosk_close vekta)
endif()
