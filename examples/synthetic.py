"""Deterministic synthetic data: a random proteome, its tryptic peptides, and simulated
tandem spectra of known peptides, for the demo and the benchmarks.

Peaks follow the search core's convention: each peak's value is the observed m/z minus one
proton mass, so a fragment of neutral mass f seen at charge c sits at f / c.
"""

from __future__ import annotations

import bisect
from dataclasses import dataclass

import numpy as np

PROTON = 1.0072764
WATER = 18.010565
CARBAMIDOMETHYL = 57.021464

RESIDUE_MASS = {
    "A": 71.03711, "C": 103.00919, "D": 115.02694, "E": 129.04259, "F": 147.0684,
    "G": 57.02146, "H": 137.05891, "I": 113.08406, "K": 128.09496, "L": 113.08406,
    "M": 131.0405, "N": 114.04293, "P": 97.05276, "Q": 128.05858, "R": 156.1011,
    "S": 87.03203, "T": 101.04768, "V": 99.06841, "W": 186.07932, "Y": 163.06332,
}

# Natural amino-acid frequencies (percent) of reviewed protein sequences.
FREQUENCY = {
    "A": 8.25, "R": 5.53, "N": 4.06, "D": 5.45, "C": 1.37, "Q": 3.93, "E": 6.75,
    "G": 7.07, "H": 2.27, "I": 5.96, "L": 9.66, "K": 5.84, "M": 2.42, "F": 3.86,
    "P": 4.70, "S": 6.56, "T": 5.34, "W": 1.08, "Y": 2.92, "V": 6.87,
}


def random_proteome(n_proteins: int, seed: int, mean_length: float = 450.0) -> list[str]:
    """Random protein sequences with natural residue frequencies."""
    rng = np.random.default_rng(seed)
    letters = np.array(list(FREQUENCY))
    weights = np.array(list(FREQUENCY.values()))
    weights = weights / weights.sum()
    lengths = np.clip(rng.gamma(shape=2.5, scale=mean_length / 2.5, size=n_proteins), 50, 5000).astype(int)
    residues = rng.choice(letters, size=int(lengths.sum()), p=weights)
    proteins, start = [], 0
    for length in lengths:
        proteins.append("".join(residues[start:start + length]))
        start += length
    return proteins


def tryptic_peptides(proteins, missed_cleavages=2, min_length=7, max_length=50) -> list[str]:
    """Unique peptides cut after K or R (not before P), with up to `missed_cleavages` missed sites."""
    seen = set()
    for protein in proteins:
        sites = [0]
        for i in range(len(protein) - 1):
            if protein[i] in "KR" and protein[i + 1] != "P":
                sites.append(i + 1)
        sites.append(len(protein))
        for a in range(len(sites) - 1):
            for b in range(a + 1, min(a + 2 + missed_cleavages, len(sites))):
                length = sites[b] - sites[a]
                if min_length <= length <= max_length:
                    seen.add(protein[sites[a]:sites[b]])
    return sorted(seen)


@dataclass
class Peptide:
    sequence: str
    modifications: list[float]
    mass: float


def peptide_records(sequences) -> list[Peptide]:
    """Fixed carbamidomethyl cysteine; neutral mass = residues + modifications + water; sorted by mass."""
    records = []
    for seq in sequences:
        mods = [CARBAMIDOMETHYL if r == "C" else 0.0 for r in seq]
        mass = sum(RESIDUE_MASS[r] for r in seq) + sum(mods) + WATER
        records.append(Peptide(seq, mods, mass))
    records.sort(key=lambda p: p.mass)
    return records


def fragment_masses(peptide: Peptide) -> tuple[np.ndarray, np.ndarray]:
    """Neutral b and y ion masses (b1..b(n-1), y(n-1)..y1 in walk order)."""
    steps = np.array([RESIDUE_MASS[r] + m for r, m in zip(peptide.sequence, peptide.modifications)])
    b = np.cumsum(steps[:-1])
    y = peptide.mass - b
    return b, y


@dataclass
class SimulatedSpectrum:
    id: str
    precursor_mz: float
    charge: int
    mz: np.ndarray          # float32, ascending
    intensity: np.ndarray   # float32
    truth: list[str]        # sequences of the peptides it was made from


def simulate_spectrum(rng, spec_id: str, peptides: list[Peptide], charge: int, *, ppm_noise=3.0,
                      keep=0.75, noise_peaks=40, max_fragment_charge=2) -> SimulatedSpectrum:
    """b and y ions of each peptide at charges 1..max_fragment_charge (below the precursor charge),
    with mass noise, missing ions and random noise peaks. The precursor is the first peptide's."""
    values, intensities = [], []
    for rank, peptide in enumerate(peptides):
        scale = 1.0 if rank == 0 else 0.6
        for series in fragment_masses(peptide):
            for c in range(1, min(max_fragment_charge, max(charge - 1, 1)) + 1):
                kept = rng.random(series.size) < (keep if c == 1 else keep / 2)
                for f in series[kept]:
                    value = f / c * (1.0 + rng.normal(0.0, ppm_noise) * 1e-6)
                    values.append(value)
                    intensities.append(scale * rng.lognormal(8.0, 0.8) / c)
    top = max(p.mass for p in peptides) / max(charge - 1, 1)
    values.extend(rng.uniform(100.0, max(top, 200.0), noise_peaks))
    intensities.extend(rng.lognormal(6.0, 0.7, noise_peaks))
    order = np.argsort(values)
    mz = np.asarray(values, dtype=np.float32)[order]
    intensity = np.asarray(intensities, dtype=np.float32)[order]
    precursor_mz = peptides[0].mass / charge + PROTON
    return SimulatedSpectrum(spec_id, precursor_mz, charge, mz, intensity, [p.sequence for p in peptides])


def co_isolated_partner(peptides: list[Peptide], index: int, rng, window: float = 1.5) -> int:
    """A random peptide whose mass lies within `window` Da of peptide `index` (not itself), or -1."""
    masses = [p.mass for p in peptides]
    lo = bisect.bisect_left(masses, masses[index] - window)
    hi = bisect.bisect_right(masses, masses[index] + window)
    choices = [i for i in range(lo, hi) if i != index]
    return int(rng.choice(choices)) if choices else -1
