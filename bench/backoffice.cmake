# Back-office wire: table-stream decode (against memcpy and QDataStream), the
# scrambler (against memcpy) and a selectValue round trip (against a bare TCP
# echo).
if(TARGET vekta_backoffice)
  vekta_add_bench(bench_backoffice_wire SOURCES ../bench/backoffice_wire.cpp LIBS vekta_backoffice)
endif()
if(TARGET vekta_testbed)
  vekta_add_bench(bench_backoffice_roundtrip SOURCES ../bench/backoffice_roundtrip.cpp LIBS vekta_testbed)
endif()
