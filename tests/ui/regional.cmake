thermavo_add_test(test_regional
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_regional.cpp
    LIBS thermavo_regional thermavo_log
    LABELS ui)
