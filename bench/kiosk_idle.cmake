# The kiosk idle on its home screen against the stand-in back office: resident
# memory and CPU, against a bare Qt window left open the same way.
if(TARGET vekta_kiosk AND TARGET vekta_testbed AND TARGET vekta)
  vekta_add_bench(bench_kiosk_idle SOURCES ../bench/kiosk_idle.cpp LIBS vekta_kiosk vekta_testbed Qt6::Widgets)
  target_compile_definitions(bench_kiosk_idle PRIVATE VEKTA_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  add_dependencies(bench_kiosk_idle vekta)
endif()
