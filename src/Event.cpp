// Event: not implemented yet.
