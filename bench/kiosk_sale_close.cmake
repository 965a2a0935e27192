# The kiosk's close on a shutdown signal that comes while a paid drink's cup
# confirmation is up and the back office takes a moment to make the check,
# beside the same close with no sale open, and the close budget.
if(TARGET vekta_screens AND TARGET vekta_testbed)
  vekta_add_bench(bench_kiosk_sale_close SOURCES ../bench/kiosk_sale_close.cpp LIBS vekta_screens vekta_testbed Qt6::Widgets)
  target_include_directories(bench_kiosk_sale_close PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
