// Semaphore: not implemented yet.
