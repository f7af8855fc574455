thermavo_add_bench(bench_chart SOURCES ${CMAKE_CURRENT_LIST_DIR}/chart_bench.cpp LIBS thermavo_chart)
