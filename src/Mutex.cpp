// Mutex: not implemented yet.
