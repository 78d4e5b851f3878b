"""Error control: rescoring, q-values, posterior errors, the canonical order of matches."""
