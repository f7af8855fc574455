thermavo_add_bench(bench_storedhistory SOURCES ${CMAKE_CURRENT_LIST_DIR}/storedhistory_bench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/widgetsmain.cpp
    LIBS thermavo_history)
