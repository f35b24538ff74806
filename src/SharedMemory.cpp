// SharedMemory: not implemented yet.
