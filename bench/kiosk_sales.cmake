# Resident memory of the kiosk after each of many scripted sales (the crash
# test's kiosk and customer), the last against the first.
if(TARGET vekta_kiosk AND TARGET vekta_testbed AND TARGET vekta-crashtest)
  vekta_add_bench(bench_kiosk_sales SOURCES ../bench/kiosk_sales.cpp LIBS vekta_kiosk vekta_testbed Qt6::Widgets)
  target_compile_definitions(bench_kiosk_sales PRIVATE VEKTA_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  add_dependencies(bench_kiosk_sales vekta-crashtest)
endif()
