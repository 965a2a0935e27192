# Vendotek approval to paymentDone through the simulator, against a bare
# round trip of the same frames on a pseudo-terminal.
if(TARGET vekta_vendotek_sim)
  vekta_add_bench(bench_devices_vendotek SOURCES ../bench/devices_vendotek.cpp LIBS vekta_vendotek_sim)
endif()
