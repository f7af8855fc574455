thermavo_add_bench(bench_measure SOURCES ${CMAKE_CURRENT_LIST_DIR}/measure_bench.cpp LIBS thermavo_measure)
