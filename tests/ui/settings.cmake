thermavo_add_test(test_profilefile
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_profilefile.cpp
    LIBS thermavo_profile
    LABELS ui)
thermavo_add_test(test_formstate
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_formstate.cpp
    LIBS thermavo_settings Qt6::Widgets
    LABELS ui)
