"""tovel_mesk: peptide search for tandem mass spectra.

The package turns a protein FASTA and mzML or MGF runs into identified peptides and
proteins. It wraps the search core `_tovel_mesk` (a fragment-ion index and a multi-threaded
scorer) with the steps a search needs before and after scoring. The conventions that the
core expects of its inputs are stated in `tovel_mesk.conventions`.

The names below are imported on first use, so that the command starts its native work
(digestion, indexing) while numpy and the table libraries are still being imported.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

from ._version import __version__

#: Public name -> the submodule that defines it.
_EXPORTS = {
    "PROTON_MASS": "conventions", "check_spectra": "conventions", "parse_tolerance": "conventions",
    "Digest": "search.database", "build_database": "search.database", "digest_fasta": "search.database",
    "peptide_proteins": "search.database", "proforma": "search.database", "ConfigError": "errors",
    "InputError": "errors", "SpectraFileError": "errors", "SpectraCounts": "io.spectra",
    "SpectraReader": "io.spectra", "make_spectrum": "io.spectra", "read_spectra": "io.spectra",
}

__all__: list[str] = sorted(_EXPORTS)

if TYPE_CHECKING:
    from .conventions import PROTON_MASS, check_spectra, parse_tolerance
    from .search.database import Digest, build_database, digest_fasta, peptide_proteins, proforma
    from .errors import ConfigError, InputError, SpectraFileError
    from .io.spectra import SpectraCounts, SpectraReader, make_spectrum, read_spectra


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module 'tovel_mesk' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_EXPORTS})
