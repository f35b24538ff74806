add_executable(SignalUnloadHelper SignalUnloadHelper.cpp)
target_include_directories(SignalUnloadHelper PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(SignalUnloadHelper PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(${cls}Test SignalUnloadHelper)
# A failing signal installation is injected through the shim.
target_link_libraries(${cls}Test PRIVATE ostrel_fault)
