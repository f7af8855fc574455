# Entry controls of the main window. The readout picture is plain C++ so the rule can be
# tested and measured without widgets.
add_library(thermavo_readout_format STATIC readoutformat.h readoutformat.cpp)
target_include_directories(thermavo_readout_format PUBLIC ${PROJECT_SOURCE_DIR}/src)
set_target_properties(thermavo_readout_format PROPERTIES AUTOMOC OFF AUTOUIC OFF)

add_library(thermavo_controls STATIC
    boardlist.cpp
    boardlist.h
    digitalclock.cpp
    digitalclock.h
    fileedit.cpp
    fileedit.h
    filterslider.cpp
    filterslider.h
    hintrelay.cpp
    hintrelay.h
    indicatorshape.cpp
    indicatorshape.h
    integerfield.cpp
    integerfield.h
    linknotice.cpp
    linknotice.h
    numericreadout.cpp
    numericreadout.h
    pacedrepaint.cpp
    pacedrepaint.h
    readoutpanel.cpp
    readoutpanel.h
    repaintpacer.cpp
    repaintpacer.h
    spinbutton.cpp
    spinbutton.h
    textreadout.cpp
    textreadout.h
)
target_include_directories(thermavo_controls PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(thermavo_controls PUBLIC thermavo_readout_format thermavo_regional Qt6::Widgets)
