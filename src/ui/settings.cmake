# Settings persistence: the INI profile reader/writer (plain C++) and the window and board-row
# state on top of it.
add_library(thermavo_profile STATIC
    ${CMAKE_CURRENT_LIST_DIR}/profilefile.h
    ${CMAKE_CURRENT_LIST_DIR}/profilefile.cpp)
target_include_directories(thermavo_profile PUBLIC ${PROJECT_SOURCE_DIR}/src)

add_library(thermavo_settings STATIC
    ${CMAKE_CURRENT_LIST_DIR}/inifilestore.h
    ${CMAKE_CURRENT_LIST_DIR}/inifilestore.cpp
    ${CMAKE_CURRENT_LIST_DIR}/formstate.h
    ${CMAKE_CURRENT_LIST_DIR}/formstate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/componentstate.h
    ${CMAKE_CURRENT_LIST_DIR}/componentstate.cpp)
target_include_directories(thermavo_settings PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(thermavo_settings PUBLIC thermavo_profile Qt6::Widgets)
