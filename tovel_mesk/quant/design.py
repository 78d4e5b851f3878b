"""The experimental design: which spectra files are fractions of which sample.

The file is tab-separated text. Its first table has one row per spectra file, with the
columns `Fraction_Group`, `Fraction`, `Spectra_Filepath`, `Label` and `Sample` (others are
kept aside); a blank line may end it, and a second table with one row per sample
(`Sample` and columns such as a condition) may follow, whose columns are kept as the
samples' attributes. Files are matched to the search's spectra files by base name, so a
design written on another machine, with other folders, still applies.

Rules:
- every spectra file of the search must have a row;
- a file has one row per label (one row in a label-free design; a multiplexed file one per
  channel, all in the same fraction of the same fraction group), and a fraction number one
  row per fraction group and label;
- rows of files that the search does not have are left out with a note when their whole
  fraction group is absent (a design of a larger experiment, of which a few samples are
  searched); a fraction group of which only some files are searched is an error, since the
  sum of its fractions would silently miss a part.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field

from ..errors import DesignError

__all__ = ["DesignRow", "Design", "read_design", "REQUIRED_COLUMNS"]

REQUIRED_COLUMNS = ("Fraction_Group", "Fraction", "Spectra_Filepath", "Label", "Sample")


@dataclass(frozen=True)
class DesignRow:
    """One spectra file of the design; `file` is the search's own name of the file."""

    fraction_group: int
    fraction: int
    file: str
    label: int
    sample: str
    line: int


@dataclass(frozen=True)
class Design:
    """The rows of the searched files, the samples in the order of first appearance, the
    attributes of each sample from the sample table, and notes on what was left out."""

    path: str
    rows: tuple[DesignRow, ...]
    samples: tuple[str, ...]
    sample_attributes: Mapping[str, Mapping[str, str]] = field(default_factory=dict)
    notes: tuple[str, ...] = ()

    def sample_of(self, file: str) -> str:
        for row in self.rows:
            if row.file == file:
                return row.sample
        raise KeyError(file)

    def files_of(self, sample: str) -> tuple[str, ...]:
        return tuple(row.file for row in self.rows if row.sample == sample)

    @classmethod
    def one_sample_per_file(cls, files: Iterable[str]) -> "Design":
        """The design of a search without a design file: each file its own sample, named as
        the file."""
        files = list(files)
        rows = tuple(DesignRow(i + 1, 1, f, 1, f, 0) for i, f in enumerate(files))
        return cls("", rows, tuple(files))


def _base(name: str) -> str:
    return os.path.basename(name.replace("\\", "/"))


def _cells(line: str) -> list[str]:
    return [c.strip() for c in line.rstrip("\r\n").split("\t")]


def read_design(path: str | os.PathLike, spectra_files: Iterable[str | os.PathLike]) -> Design:
    """Reads the design at `path` for the search of `spectra_files` (paths or names; the
    returned rows name them as given). Raises DesignError naming the file and the line."""
    path = os.fspath(path)
    try:
        with open(path, encoding="utf-8-sig") as handle:
            lines = handle.read().splitlines()
    except UnicodeDecodeError as error:
        raise DesignError(f"{path}: not UTF-8 text ({error.reason} at byte {error.start})") from None
    except OSError as error:
        raise DesignError(f"{path}: {error.strerror or error}") from None
    files = [os.fspath(f) for f in spectra_files]
    by_base: dict[str, str] = {}
    for f in files:
        base = _base(f)
        if base in by_base and by_base[base] != f:
            raise DesignError(f"{path}: the spectra files {by_base[base]!r} and {f!r} share the base name "
                              f"{base!r}, so the design cannot tell them apart")
        by_base[base] = f

    number = 0
    while number < len(lines) and not any(_cells(lines[number])):
        number += 1
    if number == len(lines):
        raise DesignError(f"{path}: the design is empty")
    header = _cells(lines[number])
    header_line = number + 1
    missing = [c for c in REQUIRED_COLUMNS if c not in header]
    if missing:
        raise DesignError(f"{path}: line {header_line}: the design lacks the column"
                          f"{'s' if len(missing) > 1 else ''} {', '.join(missing)} "
                          f"(it needs {', '.join(REQUIRED_COLUMNS)})")
    col = {name: header.index(name) for name in REQUIRED_COLUMNS}

    parsed: list[tuple[int, int, str, int, str, int]] = []
    number += 1
    while number < len(lines):
        cells = _cells(lines[number])
        if not any(cells):
            break
        line = number + 1
        number += 1
        if len(cells) < len(header):
            cells += [""] * (len(header) - len(cells))

        def integer(name: str) -> int:
            text = cells[col[name]]
            try:
                value = int(text)
            except ValueError:
                raise DesignError(f"{path}: line {line}: {name} must be a whole number, got {text!r}") from None
            if value < 1:
                raise DesignError(f"{path}: line {line}: {name} must be 1 or more, got {value}")
            return value

        group, fraction, label = integer("Fraction_Group"), integer("Fraction"), integer("Label")
        name, sample = cells[col["Spectra_Filepath"]], cells[col["Sample"]]
        if not name:
            raise DesignError(f"{path}: line {line}: Spectra_Filepath is empty")
        if not sample:
            raise DesignError(f"{path}: line {line}: Sample is empty")
        parsed.append((group, fraction, name, label, sample, line))
    if not parsed:
        raise DesignError(f"{path}: line {header_line}: the design names no spectra file")

    attributes: dict[str, dict[str, str]] = {}
    while number < len(lines) and not any(_cells(lines[number])):
        number += 1
    if number < len(lines):
        sample_header = _cells(lines[number])
        if "Sample" not in sample_header:
            raise DesignError(f"{path}: line {number + 1}: the sample table lacks the column Sample")
        key = sample_header.index("Sample")
        for index in range(number + 1, len(lines)):
            cells = _cells(lines[index])
            if not any(cells):
                continue
            cells += [""] * (len(sample_header) - len(cells))
            attributes[cells[key]] = {h: cells[i] for i, h in enumerate(sample_header) if h and i != key}

    seen_file: dict[tuple[str, int], int] = {}
    place: dict[str, tuple[int, int, int]] = {}
    seen_fraction: dict[tuple[int, int, int], int] = {}
    for group, fraction, name, label, _sample, line in parsed:
        base = _base(name)
        if (base, label) in seen_file:
            raise DesignError(f"{path}: line {line}: the file {name!r} is already given on line "
                              f"{seen_file[base, label]}" + (f" (label {label})" if label != 1 else ""))
        seen_file[base, label] = line
        # a multiplexed file has one row per label, all in one fraction of one fraction group
        if base in place and place[base][:2] != (group, fraction):
            raise DesignError(f"{path}: line {line}: the file {name!r} is fraction {fraction} of fraction group "
                              f"{group} here, but fraction {place[base][1]} of fraction group {place[base][0]} "
                              f"on line {place[base][2]}")
        place.setdefault(base, (group, fraction, line))
        if (group, fraction, label) in seen_fraction:
            raise DesignError(f"{path}: line {line}: fraction {fraction} of fraction group {group} (label {label}) "
                              f"is already given on line {seen_fraction[group, fraction, label]}")
        seen_fraction[group, fraction, label] = line

    searched_groups = {g for g, _f, name, _l, _s, _line in parsed if _base(name) in by_base}
    rows, dropped = [], []
    for group, fraction, name, label, sample, line in parsed:
        base = _base(name)
        if base in by_base:
            rows.append(DesignRow(group, fraction, by_base[base], label, sample, line))
        elif group in searched_groups:
            raise DesignError(f"{path}: line {line}: unknown file {name!r}: it is not among the spectra files of "
                              f"this search, but other fractions of its fraction group {group} are")
        else:
            dropped.append(base)
    named = {_base(r.file) for r in rows}
    absent = [f for f in files if _base(f) not in named]
    if absent:
        raise DesignError(f"{path}: the spectra file{'s' if len(absent) > 1 else ''} "
                          f"{', '.join(repr(f) for f in absent)} {'are' if len(absent) > 1 else 'is'} "
                          f"missing from the design")
    notes: tuple[str, ...] = ()
    if dropped:
        noun = "file" if len(dropped) == 1 else "files"
        notes = (f"design {_base(path)}: {len(dropped)} {noun} not in this search left out with their "
                 f"fraction groups: {', '.join(dropped)}",)
    samples = tuple(dict.fromkeys(r.sample for r in rows))
    return Design(path, tuple(rows), samples, {s: attributes.get(s, {}) for s in samples}, notes)
