// Time: not implemented yet.
