thermavo_add_bench(bench_runs SOURCES ${CMAKE_CURRENT_LIST_DIR}/runs_bench.cpp
    LIBS thermavo_history_core)
