"""Quantification: MS1 label-free quantities with match-between-runs, and isobaric
reporter ions."""
