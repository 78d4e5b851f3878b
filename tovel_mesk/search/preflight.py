"""Everything about a search's inputs that can be checked before the search, checked in
one pass before it, so that nobody waits through a search to learn of a bad argument:

- the FASTA and every spectra file exist and are readable files;
- each spectra file's format, told from its content and never from its name: mzML and
  MGF (plain or gzip-compressed) are read; a vendor's raw data (a Thermo ``.raw`` file, a
  Bruker ``.d`` folder), a FASTA, other XML and binary files are refused with what to do;
- spectra files have distinct names (results are keyed by file name);
- an experimental design (`--design`) reads, and names exactly the spectra files given;
- the output folder is a folder, or can be created, and can be written.

Problems are collected over every input and reported together, on one line. A
binary file's bytes are never printed.
"""

from __future__ import annotations

import gzip
import os
import zlib
from pathlib import Path

from ..config import ISOBARIC_QUANT, SearchSettings
from ..errors import ConfigError, InputError

__all__ = ["check_inputs", "sniff_spectra", "CONVERT_HINT"]

CONVERT_HINT = "convert it to mzML first (for example with ProteoWizard msconvert)"

#: Bytes read from the start of each spectra file to tell its format.
_HEAD = 1 << 16
_GZIP_MAGIC = b"\x1f\x8b"
#: The start of a Thermo raw file: a two-byte tag, then "Finnigan" in UTF-16.
_THERMO_MAGIC = b"\x01\xa1" + "Finnigan".encode("utf-16-le")


def _head(path: Path) -> bytes:
    with open(path, "rb") as f:
        head = f.read(_HEAD)
    if head.startswith(_GZIP_MAGIC):
        try:
            with gzip.open(path, "rb") as f:
                return f.read(_HEAD)
        except (OSError, EOFError, zlib.error):
            return head[:0]  # damaged: the reader names what is wrong
    return head


def sniff_spectra(path: str | os.PathLike) -> str | None:
    """What is wrong with a spectra file's format, told from its first bytes, or None when
    it looks like mzML or MGF (or too little can be told: the reader decides)."""
    path = Path(path)
    if path.is_dir():
        if path.suffix.lower() == ".d" or (path / "analysis.tdf").exists() or (path / "analysis.baf").exists():
            return f"a Bruker .d folder is not read; {CONVERT_HINT}"
        return "is a folder, not a spectra file"
    head = _head(path)
    if head.startswith(_THERMO_MAGIC) or path.suffix.lower() == ".raw" and b"\x00" in head:
        return f"a Thermo .raw file is not read; {CONVERT_HINT}"
    if b"\x00" in head:
        return f"is a binary file, neither mzML nor MGF; {CONVERT_HINT}"
    text = head.decode("utf-8", errors="replace").lstrip("\ufeff \t\r\n")
    if text.startswith("<"):
        if "<mzML" in text or "<indexedmzML" in text:
            return None
        if "<mzXML" in text:
            return f"an mzXML file is not read; {CONVERT_HINT}"
        if "<mzData" in text:
            return f"an mzData file is not read; {CONVERT_HINT}"
        if len(head) == _HEAD:
            return None  # a long XML prologue: the reader decides
        return "is XML without an mzML element, not an mzML file"
    if text.startswith(">"):
        return "is a FASTA file (a protein database), not spectra; give it with --fasta"
    return None


def _output_problem(output: Path) -> str | None:
    if output.exists():
        if not output.is_dir():
            return f"{output}: exists and is not a folder"
        if not os.access(output, os.W_OK | os.X_OK):
            return f"{output}: the output folder cannot be written"
        parent = output.resolve().parent
    else:
        parent = output.absolute().parent
        while not parent.exists():
            parent = parent.parent
        if not parent.is_dir():
            return f"{output}: cannot be created ({parent} is not a folder)"
    # Results are published by swapping in a folder made beside the output folder.
    if not os.access(parent, os.W_OK | os.X_OK):
        return f"{output}: cannot be written (its parent folder {parent} cannot be written)"
    return None


def check_inputs(settings: SearchSettings) -> None:
    """Checks what can be checked before a search (see the module's documentation) and
    raises one ConfigError that lists every problem found."""
    problems: list[str] = []
    paths = ([settings.fasta] if settings.fasta is not None else []) + list(settings.spectra)
    design = getattr(settings, "design", None)
    paths += [design] if design is not None else []
    for path in paths:
        if not path.exists():
            problems.append(f"{path}: no such file")
        elif path.is_dir() and path is not settings.fasta and path is not design:
            pass  # told by sniff_spectra below
        elif not path.is_file():
            problems.append(f"{path}: not a file")
        elif not os.access(path, os.R_OK):
            problems.append(f"{path}: not readable")
    for path in settings.spectra:
        if path.exists() and (path.is_dir() or os.access(path, os.R_OK)):
            try:
                problem = sniff_spectra(path)
            except OSError as error:
                problem = f"cannot be read ({error.strerror or error})"
            if problem is not None:
                problems.append(f"{path}: {problem}")
    names = [p.name for p in settings.spectra]
    if len(set(names)) != len(names):
        dup = sorted({n for n in names if names.count(n) > 1})
        problems.append(f"spectra files share a name ({', '.join(dup)}); results are keyed by file name")
    if settings.quant in ISOBARIC_QUANT:
        from ..quant.reporters import PLEXES, ImpurityError, check_window, read_impurities  # noqa: PLC0415

        tol = settings.reporter_tol
        try:
            check_window(PLEXES[settings.quant], tolerance_ppm=tol.upper if tol.unit == "ppm" else None,
                         tolerance_da=tol.upper if tol.unit == "da" else None)
        except ValueError as error:
            problems.append(f"--reporter-tol: {error}")
        if settings.impurities is not None:
            try:
                read_impurities(settings.impurities, PLEXES[settings.quant])
            except ImpurityError as error:
                problems.append(str(error))
    if design is not None and design.is_file() and os.access(design, os.R_OK):
        from ..quant.design import read_design  # noqa: PLC0415

        try:
            read_design(design, [str(p) for p in settings.spectra])
        except InputError as error:  # the design's own error names the file and the line
            problems.append(str(error))
    if settings.output is not None:
        problem = _output_problem(settings.output)
        if problem is not None:
            problems.append(problem)
    if problems:
        raise ConfigError("; ".join(dict.fromkeys(problems)))
