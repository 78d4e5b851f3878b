"""The size of an index, foreseen from the digestion settings before anything is built.

Variable modifications multiply the peptides: every combination of up to
`max_variable_mods` modified sites is a peptide of its own. `estimate_index` counts them
without making them: it cuts each protein of the FASTA at the enzyme's sites, and for each
peptide of the digestion counts its modifiable sites and the combinations of at most
`max_variable_mods` of them (the coefficients of a product of binomials). The count is an
upper bound: a peptide of several proteins counts once per protein, and the mass range
is not applied. `check_index_fits` refuses, before the digestion takes any memory, an
index whose estimated build needs more memory than the machine has free, naming the cause.
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from ..errors import ConfigError

if TYPE_CHECKING:
    from ..config import SearchSettings

__all__ = ["IndexEstimate", "estimate_index", "check_index_fits", "available_memory"]

#: Bytes per indexed peptide (its record; targets and decoys alike) and per listed
#: fragment ion, as the index holds them, and the peak of digestion and build over the
#: finished index (measured on the 18-protein FASTA: 48.7 bytes per peptide, 8.0 per
#: fragment, peak 1.93 times the finished index). `DIGEST_BYTES` is the digestion's own
#: record per peptide, held while the index is built.
PEPTIDE_BYTES = 48.7
FRAGMENT_BYTES = 8.0
PEAK_FACTOR = 1.93
DIGEST_BYTES = 48.0

#: Cleavage rules: (residues cut after, or before when `before`; residue that blocks a cut after).
_ENZYMES: dict[str, tuple[str, bool, str]] = {
    "trypsin": ("KR", False, "P"), "trypsin/p": ("KR", False, ""), "lys-c": ("K", False, "P"),
    "lys-n": ("K", True, ""), "arg-c": ("R", False, "P"), "asp-n": ("D", True, ""), "glu-c": ("E", False, "P"),
    "chymotrypsin": ("FWY", False, "P"),
}
_TERMINI = ("peptide-nterm", "peptide-cterm", "protein-nterm", "protein-cterm")


@dataclass(frozen=True)
class IndexEstimate:
    """Peptides (targets, every modified form, before the mass range) and the bytes that
    digesting and indexing them with decoys takes at its peak; `base` is the peptides
    without variable modifications."""

    peptides: int
    base: int
    peak_bytes: float

    def describe(self) -> str:
        return f"about {_count(self.peptides)} peptides and {_bytes(self.peak_bytes)} to build the index"


def _count(n: float) -> str:
    for size, unit in ((1e9, " G"), (1e6, " M"), (1e3, " k")):
        if n >= size:
            return f"{n / size:.1f}{unit}"
    return f"{int(n)}"


def _bytes(n: float) -> str:
    return f"{n / 2**30:.1f} GiB" if n >= 2**30 else f"{n / 2**20:.0f} MiB"


def _proteins(data: bytes, decoy_prefixes: Sequence[str], decoy_suffixes: Sequence[str]) -> Iterator[str]:
    """The sequences of the FASTA's target proteins, upper case, without stops."""
    accession = ""
    chunks: list[str] = []
    for line in data.decode("utf-8", "replace").splitlines():
        if line.startswith(">"):
            if chunks and not _is_decoy(accession, decoy_prefixes, decoy_suffixes):
                yield "".join(chunks).upper()
            accession = line[1:].split(maxsplit=1)[0] if line[1:].strip() else ""
            chunks = []
        elif not line.startswith(";"):
            chunks.append(line.strip())
    if chunks and not _is_decoy(accession, decoy_prefixes, decoy_suffixes):
        yield "".join(chunks).upper()


def _is_decoy(accession: str, prefixes: Sequence[str], suffixes: Sequence[str]) -> bool:
    return any(accession.startswith(p) for p in prefixes if p) or any(accession.endswith(s) for s in suffixes if s)


@dataclass(frozen=True)
class _Mods:
    """Variable modifications by where they apply: residue -> how many mods, terminus ->
    how many mods on any residue there, (terminus, residue) -> how many on that residue."""

    residues: dict[str, int]
    termini: dict[str, int]
    at_terminus: dict[tuple[str, str], int]


def _parse_mods(mods: Sequence[str]) -> _Mods | None:
    residues: dict[str, int] = {}
    termini: dict[str, int] = {}
    at_terminus: dict[tuple[str, str], int] = {}
    for mod in mods:
        site, _, _ = mod.rpartition(":")
        site = site.strip()
        if "@" in site:
            letters, _, terminus = site.partition("@")
            if terminus.lower() not in _TERMINI:
                return None
            for letter in letters.upper():
                key = (terminus.lower(), letter)
                at_terminus[key] = at_terminus.get(key, 0) + 1
        elif site.lower() in _TERMINI:
            termini[site.lower()] = termini.get(site.lower(), 0) + 1
        elif site.isalpha():
            for letter in set(site.upper()):
                residues[letter] = residues.get(letter, 0) + 1
        else:
            return None
    return _Mods(residues, termini, at_terminus)


def _combinations(groups: list[tuple[np.ndarray, int]], most: int, n: int) -> np.ndarray:
    """For each of `n` peptides, the number of ways to put at most `most` modifications
    on its sites: `groups` holds (sites per peptide, modifications possible per site)."""
    coef = np.zeros((n, most + 1), dtype=np.float64)
    coef[:, 0] = 1.0
    ks = np.arange(most + 1)
    for sites, per_site in groups:
        sites = np.asarray(sites, dtype=np.float64)
        # C(sites, k) * per_site**k, k = 0..most
        binom = np.ones((n, most + 1))
        for k in range(1, most + 1):
            binom[:, k] = binom[:, k - 1] * np.maximum(sites - (k - 1), 0) / k
        poly = binom * float(per_site) ** ks
        out = np.zeros_like(coef)
        for k in range(most + 1):
            out[:, k:] += coef[:, [k]] * poly[:, : most + 1 - k]
        coef = out
    return coef.sum(axis=1)


def _sequence(settings: SearchSettings, fasta_bytes: bytes) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The target proteins end to end as one array of residue codes, with each protein's
    start and end in it."""
    proteins = [p for p in _proteins(fasta_bytes, settings.fasta_decoy_prefixes, settings.fasta_decoy_suffixes) if p]
    lengths = np.array([len(p) for p in proteins], dtype=np.int64)
    ends = np.cumsum(lengths)
    starts = ends - lengths
    seq = np.frombuffer("".join(proteins).encode("ascii", "replace"), dtype=np.uint8)
    return seq, starts, ends


def _peptide_spans(settings: SearchSettings, seq: np.ndarray, p_starts: np.ndarray,
                   p_ends: np.ndarray) -> Iterator[tuple[np.ndarray, np.ndarray]]:
    """(starts, ends) of the peptides of the digestion, in batches, before the length range."""
    if settings.enzyme.lower() == "non-specific":
        owner_end = np.repeat(p_ends, p_ends - p_starts)
        positions = np.arange(len(seq))
        for length in range(settings.min_length, settings.max_length + 1):
            keep = positions + length <= owner_end
            yield positions[keep], positions[keep] + length
        return
    residues, before, blocker = _ENZYMES[settings.enzyme.lower()]
    is_site = np.isin(seq, np.frombuffer(residues.encode(), dtype=np.uint8))
    if before:
        cuts = np.flatnonzero(is_site)                         # a cut before residue i
    else:
        after = is_site[:-1]
        if blocker:
            after = after & (seq[1:] != ord(blocker))
        cuts = np.flatnonzero(after) + 1                       # a cut after residue i - 1
        if len(seq) and is_site[-1]:
            cuts = np.append(cuts, len(seq))
    sites = np.unique(np.concatenate([cuts, p_starts, p_ends]))
    owner = np.searchsorted(p_ends, sites, side="right")       # the protein a site starts into
    end_of_owner = np.append(p_ends, 0)[np.minimum(owner, len(p_ends))]
    for span in range(1, settings.missed_cleavages + 2):
        if len(sites) <= span:
            break
        starts, ends = sites[:-span], sites[span:]
        ok = ends <= end_of_owner[:-span]
        yield starts[ok], ends[ok]
    if settings.remove_initiator_met:
        # Proteins that start with M are also digested from their second residue.
        with_met = p_starts[(seq[np.minimum(p_starts, len(seq) - 1)] == ord("M")) & (p_ends - p_starts > 1)]
        first = np.searchsorted(sites, with_met + 1, side="right")
        for span in range(settings.missed_cleavages + 1):
            index = first + span
            ok = index < len(sites)
            ends = sites[np.minimum(index, len(sites) - 1)]
            owner_end = p_ends[np.searchsorted(p_starts, with_met)]
            ok &= ends <= owner_end
            yield with_met[ok] + 1, ends[ok]


def estimate_index(settings: SearchSettings, fasta_bytes: bytes) -> IndexEstimate | None:
    """The peptides and peak memory of the index the settings would build from this FASTA
    (module documentation); None when the settings are beyond the estimate (an enzyme or
    a modification syntax it does not read), which the digestion then reports."""
    mods = _parse_mods(settings.variable_mods)
    if mods is None or (settings.enzyme.lower() not in _ENZYMES and settings.enzyme.lower() != "non-specific"):
        return None
    most = settings.max_variable_mods
    seq, p_starts, p_ends = _sequence(settings, fasta_bytes)
    if not len(seq):
        return IndexEstimate(0, 0, 0.0)
    counts = {letter: np.concatenate([[0], np.cumsum(seq == ord(letter))]) for letter in mods.residues}
    is_protein_start = np.zeros(len(seq) + 1, dtype=bool)
    is_protein_start[p_starts] = True
    is_protein_start[np.minimum(p_starts + 1, len(seq))] |= seq[p_starts] == ord("M")
    is_protein_end = np.zeros(len(seq) + 1, dtype=bool)
    is_protein_end[p_ends] = True
    total = 0.0
    base = 0
    length_sum = 0.0
    for starts, ends in _peptide_spans(settings, seq, p_starts, p_ends):
        lengths = ends - starts
        keep = (lengths >= settings.min_length) & (lengths <= settings.max_length)
        starts, ends = starts[keep], ends[keep]
        n = len(starts)
        if not n:
            continue
        base += n
        length_sum += float((ends - starts).sum())
        if not most or not (mods.residues or mods.termini or mods.at_terminus):
            total += n
            continue
        groups: list[tuple[np.ndarray, int]] = [(counts[letter][ends] - counts[letter][starts], per_site)
                                                for letter, per_site in mods.residues.items()]
        for terminus in _TERMINI:
            per_site = np.full(n, mods.termini.get(terminus, 0), dtype=np.int64)
            position = starts if "nterm" in terminus else ends - 1
            for (where, letter), count in mods.at_terminus.items():
                if where == terminus:
                    per_site = per_site + count * (seq[position] == ord(letter))
            if terminus == "protein-nterm":
                per_site = np.where(is_protein_start[starts], per_site, 0)
            elif terminus == "protein-cterm":
                per_site = np.where(is_protein_end[ends], per_site, 0)
            for value in np.unique(per_site[per_site > 0]):
                groups.append(((per_site == value).astype(np.float64), int(value)))
        total += float(_combinations(groups, most, n).sum())
    mean_length = length_sum / base if base else 0.0
    fragments = 0.0
    if settings.fragment_list_on:
        # b and y ions of every bond, less the shortest ones left out of the index.
        fragments = max(0.0, 2.0 * (mean_length - 1 - 2 * 2))
    per_peptide = 2 * (PEPTIDE_BYTES + FRAGMENT_BYTES * fragments) + DIGEST_BYTES
    return IndexEstimate(int(total), base, PEAK_FACTOR * per_peptide * total)


def available_memory() -> float | None:
    """Bytes this process may still take: the least of the memory the system has
    available, the free room under this process's control-group limit, and its address
    space limit; None when none of them can be read."""
    limits: list[float] = []
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    limits.append(float(line.split()[1]) * 1024)
    except OSError:
        pass
    try:
        with open("/proc/self/cgroup") as f:
            paths = [line.strip().split(":", 2)[2] for line in f if line.startswith("0::")]
        for path in paths:
            folder = os.path.join("/sys/fs/cgroup", path.lstrip("/"))
            with open(os.path.join(folder, "memory.max")) as f:
                text = f.read().strip()
            if text != "max":
                with open(os.path.join(folder, "memory.current")) as f:
                    limits.append(float(text) - float(f.read().strip()))
    except (OSError, ValueError, IndexError):
        pass
    try:
        import resource  # noqa: PLC0415

        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
        if soft not in (resource.RLIM_INFINITY, -1) and soft > 0:
            limits.append(float(soft))
    except (ImportError, OSError, ValueError):
        pass
    return min(limits) if limits else None


def _cause(settings: SearchSettings) -> str:
    if settings.variable_mods and settings.max_variable_mods:
        sites = sorted({m.rpartition(":")[0] for m in settings.variable_mods})
        return (f"{settings.max_variable_mods} variable modifications per peptide on {', '.join(sites)} "
                f"({len(settings.variable_mods)} modifications)")
    if settings.enzyme.lower() == "non-specific":
        return f"non-specific cleavage of peptides of {settings.min_length} to {settings.max_length} residues"
    return f"{settings.missed_cleavages} missed cleavages on peptides of {settings.min_length} to " \
           f"{settings.max_length} residues"


def check_index_fits(settings: SearchSettings, fasta_bytes: bytes, available: float | None = None) -> IndexEstimate | None:
    """Refuses (ConfigError, naming the cause) an index whose estimated build needs more
    memory than is `available` (default: `available_memory()`); returns the estimate."""
    estimate = estimate_index(settings, fasta_bytes)
    if estimate is None:
        return None
    available = available_memory() if available is None else available
    if available is not None and estimate.peak_bytes > available:
        grown = f", {estimate.peptides / max(estimate.base, 1):.0f} times the {_count(estimate.base)} unmodified " \
                "ones" if estimate.peptides > 2 * estimate.base else ""
        raise ConfigError(f"the index will not fit in memory: {_cause(settings)} give {estimate.describe()}"
                          f"{grown}; this machine has {_bytes(available)} free. Allow fewer variable "
                          "modifications per peptide (--max-variable-mods), fewer modifications or missed "
                          "cleavages, or a smaller database")
    if not math.isfinite(estimate.peak_bytes):
        return None
    return estimate
