thermavo_add_bench(bench_history SOURCES ${CMAKE_CURRENT_LIST_DIR}/history_bench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/widgetsmain.cpp
    LIBS thermavo_history)
