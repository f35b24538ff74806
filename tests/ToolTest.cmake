# The tests run the tool itself, found through OSTREL_BUILD_DIR.
add_dependencies(ToolTest ostrel)
