"""The stages of a search shared by both executors (prepare the database, make the scorer,
search a file, finish), and the executors: `local` (one process) and `cluster` (Dask)."""
