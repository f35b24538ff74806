# The fallbacks of the record are tested by making its system queries fail through the shim.
target_link_libraries(SysInfoTest PRIVATE ostrel_fault)
