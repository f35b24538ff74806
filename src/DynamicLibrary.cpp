// DynamicLibrary: not implemented yet.
