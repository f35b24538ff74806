target_link_libraries(${cls}Test PRIVATE ostrel_fault)
add_dependencies(${cls}Test ostrel)
