// RWLock: not implemented yet.
