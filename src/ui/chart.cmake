# Strip chart: its rules in plain C++, and the widget that draws them.
add_library(thermavo_chart_rules STATIC chartrules.h chartrules.cpp)
target_include_directories(thermavo_chart_rules PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(thermavo_chart_rules PUBLIC thermavo_regional_core)
set_target_properties(thermavo_chart_rules PROPERTIES AUTOMOC OFF AUTOUIC OFF)

add_library(thermavo_chart STATIC stripchart.h stripchart.cpp)
target_include_directories(thermavo_chart PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(thermavo_chart PUBLIC thermavo_chart_rules thermavo_regional Qt6::Widgets)
