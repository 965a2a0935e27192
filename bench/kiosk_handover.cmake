# The kiosk's worst close (a fiscal check and a loyalty submission in flight,
# a back office that stalls after the login) beside the new copy's wait for
# the lock after an update, against the ordinary close; and the kiosk
# program's close while its name server never answers.
if(TARGET vekta_screens AND TARGET vekta_testbed AND TARGET vekta)
  vekta_add_bench(bench_kiosk_handover SOURCES ../bench/kiosk_handover.cpp LIBS vekta_screens vekta_testbed Qt6::Widgets Qt6::Test)
  target_compile_definitions(bench_kiosk_handover PRIVATE VEKTA_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
  add_dependencies(bench_kiosk_handover vekta)
endif()
