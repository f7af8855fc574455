thermavo_add_test(test_chartrules SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_chartrules.cpp
    LIBS thermavo_chart_rules)
thermavo_add_test(test_stripchart SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_stripchart.cpp
    LIBS thermavo_chart)
