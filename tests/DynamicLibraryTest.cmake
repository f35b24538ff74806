add_library(ostrel_tiny SHARED ${CMAKE_CURRENT_SOURCE_DIR}/dynlib/TinyLibrary.c)
set_target_properties(ostrel_tiny PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/dynlib)
add_dependencies(${cls}Test ostrel_tiny ostrel)
target_compile_definitions(${cls}Test PRIVATE TINY_LIBRARY="$<TARGET_FILE:ostrel_tiny>")
# A failing dlclose is injected through the shim.
target_link_libraries(${cls}Test PRIVATE ostrel_fault)
