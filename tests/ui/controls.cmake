# Entry controls: the readout picture, then the widgets.
thermavo_add_test(test_readoutformat
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_readoutformat.cpp
    LIBS thermavo_readout_format)
thermavo_add_test(test_entrycontrols
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_entrycontrols.cpp
    LIBS thermavo_controls
    LABELS widgets)
thermavo_add_test(test_displaycontrols
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_displaycontrols.cpp
    LIBS thermavo_controls
    LABELS widgets)
