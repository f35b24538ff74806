// Process: not implemented yet.
