thermavo_add_bench(bench_log SOURCES ${CMAKE_CURRENT_LIST_DIR}/log_bench.cpp LIBS thermavo_log)
