// SharedMutex: not implemented yet.
