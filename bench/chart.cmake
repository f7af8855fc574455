thermavo_add_bench(bench_chart SOURCES ${CMAKE_CURRENT_LIST_DIR}/chart_bench.cpp
    ${CMAKE_CURRENT_LIST_DIR}/widgetsmain.cpp LIBS thermavo_chart)
