// The plug-in of examples/plugin.cpp: a shared library with one C function. CMake puts it in
// build/lib, the lib domain of the examples' bundle directory (build/, two levels above
// build/bin/example_plugin), where FileLocator looks first.
extern "C" __attribute__((visibility("default"))) const char* ostrelGreeting() {
    return "Hello from the plug-in";
}
