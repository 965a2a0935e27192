# Start-up of the kiosk to its home screen from the cache, against a bare Qt
# window shown (the benchmark program itself, started with --bare-window).
if(TARGET vekta_kiosk AND TARGET vekta_testbed AND TARGET vekta)
  vekta_add_bench(bench_kiosk_startup SOURCES ../bench/kiosk_startup.cpp LIBS vekta_kiosk vekta_testbed Qt6::Widgets)
  target_compile_definitions(bench_kiosk_startup PRIVATE VEKTA_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  add_dependencies(bench_kiosk_startup vekta)
endif()
