# Bundle assembly helpers (filled in with the bundle templates).
