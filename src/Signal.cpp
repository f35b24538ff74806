// Signal: not implemented yet.
