# The tool that ToolBench runs; without the tool target its cases report that they were skipped.
if(TARGET ostrel)
    add_dependencies(ToolBench ostrel)
    target_compile_definitions(ToolBench PRIVATE OSTREL_TOOL="$<TARGET_FILE:ostrel>")
else()
    target_compile_definitions(ToolBench PRIVATE OSTREL_TOOL="")
endif()
