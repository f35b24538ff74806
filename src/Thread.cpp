// Thread: not implemented yet.
