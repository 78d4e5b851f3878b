"""Generated MS1 runs with known peptides: Gaussian elution peaks carrying averagine isotope
envelopes, background peaks, a per-run retention-time warp and known presence.

`make_runs` returns the runs (`Ms1Run`), the accepted-match table that `quantify_lfq`
takes (identifications in the runs where a peptide is present and "identified") and the
truth (peptide x run: present, abundance)."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from tovel_mesk.conventions import PROTON_MASS
from tovel_mesk.quant.features import ISOTOPE_SPACING, expected_isotopes
from tovel_mesk.quant.ms1 import Ms1Builder, Ms1Run


@dataclass
class Truth:
    peptides: list[str]
    masses: np.ndarray
    charges: np.ndarray
    rt: np.ndarray              # reference retention times
    present: np.ndarray         # peptides x runs
    identified: np.ndarray      # peptides x runs (subset of present)
    abundance: np.ndarray       # peptides x runs (0 where absent)


def peak_scans(rt_grid, apex, sigma, height):
    return height * np.exp(-0.5 * ((rt_grid - apex) / sigma) ** 2)


def make_runs(n_peptides=200, n_runs=3, *, seed=3, scan_step=0.05, gradient=60.0, warps=None,
              absent_rate=0.2, id_rate=0.6, noise_peaks=300, ppm_noise=2.0, sigma=0.08,
              run_scale=None, background=0) -> tuple[dict[str, Ms1Run], pd.DataFrame, Truth]:
    rng = np.random.default_rng(seed)
    masses = rng.uniform(800, 3000, n_peptides)
    charges = rng.choice([2, 3], n_peptides)
    ref_rt = np.sort(rng.uniform(3, gradient - 3, n_peptides))
    peptides = [f"PEPT{i:04d}IDEK" for i in range(n_peptides)]
    base = np.exp(rng.normal(np.log(1e6), 1.0, n_peptides))
    present = rng.random((n_peptides, n_runs)) >= absent_rate
    present[:, 0] |= ~present.any(axis=1)
    identified = present & (rng.random((n_peptides, n_runs)) < id_rate)
    # every present peptide identified in at least one run
    for i in range(n_peptides):
        if not identified[i].any():
            identified[i, np.flatnonzero(present[i])[0]] = True
    warps = warps or [lambda t: t] + [(lambda s: (lambda t: t + s + 0.01 * t))(0.3 * r) for r in range(1, n_runs)]
    run_scale = run_scale or [1.0] * n_runs
    abundance = np.where(present, base[:, None] * np.array(run_scale)[None, :]
                         * np.exp(rng.normal(0, 0.1, (n_peptides, n_runs))), 0.0)
    pattern = expected_isotopes(masses)
    # unidentified peptides (present in every run with isotope envelopes, never matched):
    # the crowd in which absent peptides and decoys find their chance features
    bg_mass = rng.uniform(800, 3000, background)
    bg_charge = rng.choice([2, 3], background)
    bg_rt = rng.uniform(1, gradient - 1, background)
    bg_height = np.exp(rng.normal(np.log(3e5), 1.2, background))
    bg_pattern = expected_isotopes(bg_mass) if background else np.zeros((0, 3))
    bg_mz0 = PROTON_MASS + bg_mass / bg_charge
    runs, rows = {}, []
    grid = np.arange(0.0, gradient, scan_step)
    for r in range(n_runs):
        name = f"run{r + 1}.mzML"
        apex = warps[r](ref_rt)
        builder = Ms1Builder(name)
        mz0 = PROTON_MASS + masses / charges
        for t in grid:
            near = np.flatnonzero(present[:, r] & (np.abs(apex - t) < 5 * sigma))
            mzs, ints = [], []
            for i in near:
                h = peak_scans(t, apex[i], sigma, abundance[i, r])
                for k in range(3):
                    value = h * pattern[i, k] * rng.uniform(0.9, 1.1)
                    if value > 1e3:
                        mzs.append((mz0[i] + k * ISOTOPE_SPACING / charges[i]) * (1 + rng.normal(0, ppm_noise) * 1e-6))
                        ints.append(value)
            near_bg = np.flatnonzero(np.abs(warps[r](bg_rt) - t) < 5 * sigma)
            for i in near_bg:
                h = peak_scans(t, warps[r](bg_rt[i]), sigma, bg_height[i])
                for k in range(3):
                    value = h * bg_pattern[i, k]
                    if value > 1e3:
                        mzs.append((bg_mz0[i] + k * ISOTOPE_SPACING / bg_charge[i])
                                   * (1 + rng.normal(0, ppm_noise) * 1e-6))
                        ints.append(value)
            mzs.extend(rng.uniform(350, 1600, noise_peaks))
            ints.extend(np.exp(rng.normal(np.log(2e4), 1.0, noise_peaks)))
            builder.add(t, np.array(mzs), np.array(ints))
        runs[name] = builder.finish()
        for i in np.flatnonzero(identified[:, r]):
            rows.append({"file": name, "peptide": peptides[i], "sequence": peptides[i], "charge": int(charges[i]),
                         "calcmass": float(masses[i]), "rt": float(apex[i] + rng.normal(0, sigma / 2)),
                         "spectrum_q": 0.001, "ppm_offset": 0.0, "ppm_tolerance": 10.0})
    truth = Truth(peptides, masses, charges, ref_rt, present, identified, abundance)
    return runs, pd.DataFrame(rows), truth
