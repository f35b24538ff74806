// The library that the library-loading rows load and unload: one function with a known answer,
// which every side resolves and calls once before timing.
extern "C" int ostrelPeerPlugin() {
    return 42;
}
