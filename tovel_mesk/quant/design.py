"""Experimental designs: which spectra files are fractions of which sample.

Interim form, read as the tab-separated layout with the columns `Fraction_Group`,
`Fraction`, `Spectra_Filepath`, `Label` and `Sample`; a second table (sample rows) may
follow after a blank line and is not needed here. Files are matched by base name.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path

from ..errors import InputError

__all__ = ["Design", "DesignError", "read_design"]

COLUMNS = ("Fraction_Group", "Fraction", "Spectra_Filepath", "Label", "Sample")


class DesignError(InputError):
    """An experimental design that cannot be used; the message names the file and line."""


@dataclass(frozen=True)
class Design:
    """Sample of each spectra file (by base name) and the files of each sample."""

    sample_of: dict[str, str]
    samples: dict[str, list[str]] = field(default_factory=dict)


def read_design(path: str | os.PathLike, spectra_files: Sequence[str | os.PathLike]) -> Design:
    path = Path(path)
    try:
        lines = path.read_text(encoding="utf-8-sig").splitlines()
    except (OSError, UnicodeDecodeError) as error:
        raise DesignError(f"{path}: cannot be read ({error})") from None
    header = lines[0].split("\t") if lines else []
    missing = [c for c in COLUMNS if c not in header]
    if missing:
        raise DesignError(f"{path}, line 1: no column {missing[0]!r} (needs {', '.join(COLUMNS)})")
    at = {c: header.index(c) for c in COLUMNS}
    wanted = {Path(f).name for f in spectra_files}
    sample_of: dict[str, str] = {}
    seen: dict[tuple[str, str], int] = {}
    for number, line in enumerate(lines[1:], 2):
        cells = line.split("\t")
        if not line.strip("\t\r\n "):
            break
        if len(cells) < len(header):
            raise DesignError(f"{path}, line {number}: {len(cells)} fields, the header names {len(header)}")
        name = Path(cells[at["Spectra_Filepath"]].strip()).name
        key = (cells[at["Fraction_Group"]].strip(), cells[at["Fraction"]].strip())
        if key in seen:
            raise DesignError(f"{path}, line {number}: fraction {key[1]} of fraction group {key[0]} is given "
                              f"twice (also on line {seen[key]})")
        seen[key] = number
        if name not in wanted:
            raise DesignError(f"{path}, line {number}: {name} is not among the spectra files searched")
        sample_of[name] = cells[at["Sample"]].strip()
    absent = sorted(wanted - set(sample_of))
    if absent:
        raise DesignError(f"{path}: names no line for {', '.join(absent)}")
    samples: dict[str, list[str]] = {}
    for name, sample in sample_of.items():
        samples.setdefault(sample, []).append(name)
    return Design(sample_of, samples)
