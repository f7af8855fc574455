thermavo_add_bench(bench_link SOURCES ${CMAKE_CURRENT_LIST_DIR}/link_bench.cpp LIBS thermavo_link_core)
