# Barcode lookup among 10,000 products, against a plain hash-map lookup.
if(TARGET vekta_kiosk)
  vekta_add_bench(bench_kiosk_products SOURCES ../bench/kiosk_products.cpp LIBS vekta_kiosk)
endif()
