"""Peptides as the match tables write them: ProForma with mass modifications.

``PEPM[+15.9949]K`` (a mass added to a residue), ``[+42.0106]-ACDEK`` (to the N-terminus),
``PEPTIDEK-[-0.9840]`` (to the C-terminus). `parse_peptidoform` turns such a text into the
residues and the mass added at each position, from which `fragment_ladder` computes the
singly or multiply charged b and y ions.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

import numpy as np

from ..conventions import PROTON_MASS

__all__ = ["Peptidoform", "parse_peptidoform", "fragment_ladder", "RESIDUE_MASSES", "WATER_MASS"]

#: Monoisotopic residue masses (as the core's digestion uses them).
RESIDUE_MASSES = {
    "A": 71.03711, "C": 103.00919, "D": 115.02694, "E": 129.04259, "F": 147.0684, "G": 57.02146,
    "H": 137.05891, "I": 113.08406, "K": 128.09496, "L": 113.08406, "M": 131.0405, "N": 114.04293,
    "O": 237.14774, "P": 97.05276, "Q": 128.05858, "R": 156.1011, "S": 87.03203, "T": 101.04768,
    "U": 150.95363, "V": 99.06841, "W": 186.07932, "Y": 163.06332,
}
WATER_MASS = 18.010565

_MASS = r"\[([+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?)\]"
_N_TERM = re.compile(rf"^{_MASS}-")
_C_TERM = re.compile(rf"-{_MASS}$")
_RESIDUE = re.compile(rf"([A-Z])((?:{_MASS})*)")


@dataclass(frozen=True)
class Peptidoform:
    """Residues and the mass added to each (N-terminal modifications count on the first
    residue, C-terminal ones on the last)."""

    sequence: str
    deltas: tuple[float, ...]

    @property
    def masses(self) -> np.ndarray:
        """Each residue's mass with its modifications."""
        return np.array([RESIDUE_MASSES[r] for r in self.sequence]) + np.array(self.deltas, dtype=np.float64)

    @property
    def mass(self) -> float:
        """The neutral monoisotopic mass."""
        return float(self.masses.sum() + WATER_MASS)


def parse_peptidoform(text: str) -> Peptidoform:
    """The residues and modification masses of a peptide written as ProForma with mass
    modifications; ValueError (naming the text) for anything else, such as a residue
    without a known mass or a modification given by name."""
    if not isinstance(text, str):
        raise TypeError(f"a peptide must be a str, not {type(text).__name__}")
    rest, n_term, c_term = text.strip(), 0.0, 0.0
    if match := _N_TERM.match(rest):
        n_term, rest = float(match.group(1)), rest[match.end():]
    if match := _C_TERM.search(rest):
        c_term, rest = float(match.group(1)), rest[:match.start()]
    residues, deltas, position = [], [], 0
    for match in _RESIDUE.finditer(rest):
        if match.start() != position:
            break
        residue = match.group(1)
        if residue not in RESIDUE_MASSES:
            raise ValueError(f"peptide {text!r}: residue {residue!r} has no known mass")
        residues.append(residue)
        deltas.append(sum(float(m) for m in re.findall(_MASS, match.group(2))))
        position = match.end()
    if position != len(rest) or not residues:
        raise ValueError(f"peptide {text!r} is not ProForma with mass modifications "
                         f"(unreadable from position {position + 1})")
    deltas[0] += n_term
    deltas[-1] += c_term
    return Peptidoform("".join(residues), tuple(deltas))


def fragment_ladder(peptide: Peptidoform | str, charge: int = 1) -> dict[str, np.ndarray]:
    """The m/z of the b and y ions at `charge`: ``{"b": b1..b(n-1), "y": y1..y(n-1)}``."""
    form = parse_peptidoform(peptide) if isinstance(peptide, str) else peptide
    masses = form.masses
    prefix = np.cumsum(masses)[:-1]
    suffix = np.cumsum(masses[::-1])[:-1] + WATER_MASS
    return {"b": (prefix + charge * PROTON_MASS) / charge, "y": (suffix + charge * PROTON_MASS) / charge}
