"""`velmar run`: several cameras from one file, each recorded by a worker
process of its own that a supervisor restarts when it dies."""
