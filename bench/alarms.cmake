thermavo_add_bench(bench_alarms SOURCES ${CMAKE_CURRENT_LIST_DIR}/alarms_bench.cpp LIBS thermavo_alarms_core)
