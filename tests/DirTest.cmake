# Unreadable directories and read errors are injected through the shim.
target_link_libraries(${cls}Test PRIVATE ostrel_fault)
