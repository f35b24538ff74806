// Dir: not implemented yet.
