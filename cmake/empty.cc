// Keeps a library target valid while it has no other sources.
