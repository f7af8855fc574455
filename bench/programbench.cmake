# The whole program under measurement; bench/line-rate runs it against thermavo-sim.
add_executable(thermavo_programbench ${CMAKE_CURRENT_SOURCE_DIR}/programbench.cpp)
target_link_libraries(thermavo_programbench PRIVATE thermavo_mainform)
set_target_properties(thermavo_programbench PROPERTIES
    AUTOUIC OFF RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(thermavo_programbench thermavo-sim)
