// FileLocator: not implemented yet.
