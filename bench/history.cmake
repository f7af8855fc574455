thermavo_add_bench(bench_history SOURCES ${CMAKE_CURRENT_LIST_DIR}/history_bench.cpp
    LIBS thermavo_history)
