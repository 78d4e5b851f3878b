"""What the standard formats need to know of a match beyond its table row: the peptide's
modifications by position with their Unimod names, the scan number the instrument gave the
spectrum, and masses as m/z.

A match's `peptide` is ProForma with every modification written as a signed mass:
`PEPM[+15.9949]K`, `[+42.0106]-ACDK` (N-terminal), `PEPK-[+0.9840]` (C-terminal). Positions
follow mzIdentML's convention: 0 is the N-terminus, 1..n the residues, n + 1 the C-terminus.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

import numpy as np

from ..conventions import PROTON_MASS, scan_number

__all__ = ["Modification", "Peptidoform", "parse_peptidoform", "unimod", "scan_numbers", "mz_of", "PROTON_MASS",
           "RESIDUE_MASSES", "WATER_MASS", "residue_masses", "fragment_ladder"]

#: Unimod entries of common modifications: (record id, name, monoisotopic mass delta).
_UNIMOD = (
    (1, "Acetyl", 42.010565), (2, "Amidated", -0.984016), (4, "Carbamidomethyl", 57.021464),
    (5, "Carbamyl", 43.005814), (7, "Deamidated", 0.984016), (21, "Phospho", 79.966331),
    (24, "Propionamide", 71.037114), (27, "Glu->pyro-Glu", -18.010565), (28, "Gln->pyro-Glu", -17.026549),
    (34, "Methyl", 14.01565), (35, "Oxidation", 15.994915), (36, "Dimethyl", 28.0313),
    (37, "Trimethyl", 42.04695), (121, "GG", 114.042927), (122, "Formyl", 27.994915),
    (214, "iTRAQ4plex", 144.102063), (385, "Ammonia-loss", -17.026549), (425, "Dioxidation", 31.989829),
    (730, "iTRAQ8plex", 304.20536), (737, "TMT6plex", 229.162932), (2016, "TMTpro", 304.207146),
)
#: Masses are written with 4 decimals in the peptide column; this matches them to Unimod.
_MATCH_DA = 0.0006

_MOD = re.compile(r"\[([+-]\d+(?:\.\d*)?)\]")


@dataclass(frozen=True)
class Modification:
    position: int          # 0: N-terminus, 1..n: residue, n + 1: C-terminus
    mass: float            # monoisotopic mass delta, as written
    residue: str           # the residue's letter, or "." at a terminus

    @property
    def unimod(self) -> tuple[int, str] | None:
        return unimod(self.mass, self.residue)


@dataclass(frozen=True)
class Peptidoform:
    sequence: str
    modifications: tuple[Modification, ...]


def unimod(mass: float, residue: str = ".") -> tuple[int, str] | None:
    """(record id, name) of the Unimod entry of `mass`, or None. Among entries of equal mass,
    the one that fits the residue: the loss of ammonia from an N-terminal Q is pyro-Glu."""
    found = [(record, name) for record, name, delta in _UNIMOD if abs(delta - mass) <= _MATCH_DA]
    if len(found) > 1:
        if residue == "Q":
            found = [f for f in found if f[1] == "Gln->pyro-Glu"] or found
        else:
            found = [f for f in found if f[1] != "Gln->pyro-Glu"] or found
        if residue != "M":
            found = [f for f in found if f[1] != "TMTpro"] or found
    return found[0] if found else None


def parse_peptidoform(text: str) -> Peptidoform:
    """The bare sequence and the modifications of a ProForma peptide with mass modifications.
    ValueError when the text is not of that form."""
    mods: list[Modification] = []
    residues: list[str] = []
    i = 0
    if text.startswith("["):
        m = _MOD.match(text)
        if m is None or text[m.end():m.end() + 1] != "-":
            raise ValueError(f"not a peptide with mass modifications: {text!r}")
        mods.append(Modification(0, float(m.group(1)), "."))
        i = m.end() + 1
    while i < len(text):
        c = text[i]
        if c == "-" and text[i + 1:i + 2] == "[":
            m = _MOD.match(text, i + 1)
            if m is None or m.end() != len(text):
                raise ValueError(f"not a peptide with mass modifications: {text!r}")
            mods.append(Modification(len(residues) + 1, float(m.group(1)), "."))
            i = m.end()
            continue
        if c == "[":
            m = _MOD.match(text, i)
            if m is None or not residues:
                raise ValueError(f"not a peptide with mass modifications: {text!r}")
            mods.append(Modification(len(residues), float(m.group(1)), residues[-1]))
            i = m.end()
            continue
        if not c.isalpha():
            raise ValueError(f"not a peptide with mass modifications: {text!r}")
        residues.append(c)
        i += 1
    return Peptidoform("".join(residues), tuple(mods))


def scan_numbers(native_ids: np.ndarray) -> np.ndarray:
    """The instrument's scan number of each native id, -1 where the id holds none (see
    `tovel_mesk.conventions.scan_number`, the rule of the tables' `scan` column)."""
    scans = np.empty(len(native_ids), dtype=np.int64)
    for i, text in enumerate(native_ids):
        text = str(text)
        # The common mzML id, `... scan=2442` at its end and no other scan term: read as the
        # rule reads it, without the regular expression.
        head, found, digits = text.rpartition("scan=")
        if (found and digits.isascii() and digits.isdigit() and (not head or head[-1] == " ")
                and "scan=" not in head and "scanId=" not in text and "spectrum=" not in text):
            scans[i] = int(digits)
        else:
            scans[i] = scan_number(text)
    return scans


def mz_of(neutral_mass: np.ndarray, charge: np.ndarray) -> np.ndarray:
    """m/z of neutral masses at their charges, in double precision."""
    z = np.asarray(charge, dtype=np.float64)
    return (np.asarray(neutral_mass, dtype=np.float64) + z * PROTON_MASS) / z


# ----------------------------------------------------------------------------------------
# Fragment ladders, for annotated spectra.

#: Monoisotopic residue masses (as the core's digestion uses them).
RESIDUE_MASSES = {
    "A": 71.03711, "C": 103.00919, "D": 115.02694, "E": 129.04259, "F": 147.0684, "G": 57.02146,
    "H": 137.05891, "I": 113.08406, "K": 128.09496, "L": 113.08406, "M": 131.0405, "N": 114.04293,
    "O": 237.14774, "P": 97.05276, "Q": 128.05858, "R": 156.1011, "S": 87.03203, "T": 101.04768,
    "U": 150.95363, "V": 99.06841, "W": 186.07932, "Y": 163.06332,
}
WATER_MASS = 18.010565


def residue_masses(peptide: Peptidoform | str) -> np.ndarray:
    """Each residue's mass with its modifications, N- and C-terminal ones counted on the
    first and last residue. ValueError (naming the peptide) for a peptide without residues
    or with a residue of no known mass."""
    form = parse_peptidoform(peptide) if isinstance(peptide, str) else peptide
    unknown = sorted(set(form.sequence) - set(RESIDUE_MASSES))
    if not form.sequence or unknown:
        raise ValueError(f"peptide {form.sequence!r}: " + (f"residue {unknown[0]!r} has no known mass" if unknown
                                                           else "no residues"))
    masses = np.array([RESIDUE_MASSES[r] for r in form.sequence])
    n = len(form.sequence)
    for mod in form.modifications:
        masses[min(max(mod.position, 1), n) - 1] += mod.mass
    return masses


def fragment_ladder(peptide: Peptidoform | str, charge: int = 1) -> dict[str, np.ndarray]:
    """The m/z of the b and y ions at `charge`: ``{"b": b1..b(n-1), "y": y1..y(n-1)}``."""
    masses = residue_masses(peptide)
    prefix = np.cumsum(masses)[:-1]
    suffix = np.cumsum(masses[::-1])[:-1] + WATER_MASS
    return {"b": (prefix + charge * PROTON_MASS) / charge, "y": (suffix + charge * PROTON_MASS) / charge}
