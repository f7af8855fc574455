thermavo_add_test(test_profilefile
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_profilefile.cpp
    LIBS thermavo_profile
    LABELS ui)
# The settings components on their own, and through the real main window.
thermavo_add_test(test_formstate
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_formstate.cpp
    LIBS thermavo_settings thermavo_mainform Qt6::Widgets
    LABELS ui)
