# Event queue drain into the stand-in back office, against bare insertRec round trips.
if(TARGET vekta_kiosk AND TARGET vekta_testbed)
  vekta_add_bench(bench_kiosk_events SOURCES ../bench/kiosk_events.cpp LIBS vekta_kiosk vekta_testbed)
endif()
