// SharedSemaphore: not implemented yet.
