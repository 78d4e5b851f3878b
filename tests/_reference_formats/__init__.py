"""The standard-format writers as they were before they formatted whole columns: one row
at a time in the interpreter. Kept as the reference that the package's writers must match
byte for byte (tests/package/report/test_format_speedups.py)."""
