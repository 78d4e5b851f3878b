"""tovel_mesk: peptide search for tandem mass spectra.

The package turns a protein FASTA and mzML or MGF runs into identified peptides and
proteins. It wraps the search core `_tovel_mesk` (a fragment-ion index and a multi-threaded
scorer) with the steps a search needs before and after scoring.
"""

from __future__ import annotations

from .digest import Digest, build_database, digest_fasta, peptide_proteins, proforma

__version__ = "0.1.0"

__all__: list[str] = ["Digest", "build_database", "digest_fasta", "peptide_proteins", "proforma"]
