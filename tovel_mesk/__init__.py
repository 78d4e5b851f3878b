"""tovel_mesk: peptide search for tandem mass spectra.

The package turns a protein FASTA and mzML or MGF runs into identified peptides and
proteins. It wraps the search core `_tovel_mesk` (a fragment-ion index and a multi-threaded
scorer) with the steps a search needs before and after scoring. The conventions that the
core expects of its inputs are stated in `tovel_mesk.conventions`.
"""

from __future__ import annotations

from .conventions import PROTON_MASS, check_spectra, parse_tolerance
from .digest import Digest, build_database, digest_fasta, peptide_proteins, proforma
from .errors import InputError
from .spectra import SpectraCounts, SpectraFileError, SpectraReader, make_spectrum, read_spectra

__version__ = "0.1.0"

__all__: list[str] = [
    "Digest", "InputError", "PROTON_MASS", "SpectraCounts", "SpectraFileError", "SpectraReader",
    "build_database", "check_spectra", "digest_fasta", "make_spectrum", "parse_tolerance",
    "peptide_proteins", "proforma", "read_spectra",
]
