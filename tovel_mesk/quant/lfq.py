"""Label-free quantification of the accepted precursor ions from the MS1 scans.

Interim form: the monoisotopic trace of each identified ion, summed over the elution
around its identifications, rolled up by summing. Alignment, match-between-runs and the
MaxLFQ roll-up replace it; the interface below stays.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from ..conventions import PROTON_MASS
from .ms1 import Ms1Run

__all__ = ["LfqOptions", "LfqResult", "quantify_lfq"]

#: Half-width of the retention-time window searched around an ion's identifications (minutes).
RT_WINDOW = 1.0


@dataclass(frozen=True)
class LfqOptions:
    mbr: bool | None = None
    protein_quant: str = "maxlfq"
    fdr: float = 0.01
    normalise: bool = True
    seed: int = 0


@dataclass
class LfqResult:
    precursors: pd.DataFrame
    peptides: pd.DataFrame
    proteins: pd.DataFrame
    diagnostics: dict[str, Any] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)


def _trace(run: Ms1Run, mz: float, ppm: float, lo: float, hi: float) -> tuple[np.ndarray, np.ndarray]:
    scans = np.flatnonzero((run.rt >= lo) & (run.rt <= hi))
    values = np.zeros(scans.size)
    width = mz * ppm * 1e-6
    for k, i in enumerate(scans):
        peaks, intensity = run.scan(int(i))
        a, b = np.searchsorted(peaks, [mz - width, mz + width])
        values[k] = float(intensity[a:b].max()) if b > a else 0.0
    return run.rt[scans], values


def quantify_lfq(runs: Mapping[str, Ms1Run], ions: pd.DataFrame, protein_of: Mapping[str, int], *,
                 design: Any = None, options: LfqOptions = LfqOptions()) -> LfqResult:
    names = list(runs)
    notes = ["match-between-runs not done: not part of this build", "runs not normalised: not part of this build"]
    keys = ions.groupby(["peptide", "charge"], sort=True)
    rows, examples = [], []
    for (peptide, charge), group in keys:
        row: dict[str, Any] = {"peptide": peptide, "sequence": group["sequence"].iloc[0], "charge": int(charge),
                               "mz": (float(group["calcmass"].iloc[0]) + charge * PROTON_MASS) / charge,
                               "isotope_quality": np.nan}
        for name in names:
            mine = group[group["file"] == name]
            row[f"intensity_{name}"], row[f"source_{name}"], row[f"apex_rt_{name}"] = np.nan, "", np.nan
            if mine.empty:
                continue
            offset = float(mine["ppm_offset"].median())
            mz = row["mz"] * (1 + offset * 1e-6)
            rt = float(mine["rt"].median())
            times, values = _trace(runs[name], mz, max(float(mine["ppm_tolerance"].median()), 5.0),
                                   rt - RT_WINDOW, rt + RT_WINDOW)
            if values.any():
                row[f"intensity_{name}"] = float(values.sum())
                row[f"source_{name}"] = "identified"
                row[f"apex_rt_{name}"] = float(times[int(values.argmax())])
                examples.append({"label": f"{peptide}/{int(charge)}+", "run": name, "quality": float(values.max()),
                                 "rt": times.tolist(), "intensity": values.tolist()})
        rows.append(row)
    precursors = pd.DataFrame(rows, columns=["peptide", "sequence", "charge", "mz", "isotope_quality",
                                             *[f"{k}_{n}" for n in names for k in ("intensity", "source", "apex_rt")]])
    intensity = [f"intensity_{n}" for n in names]
    peptides = precursors.groupby(["peptide", "sequence"], sort=True)[intensity].sum(min_count=1).reset_index()
    peptides.insert(2, "protein_group", peptides["peptide"].map(protein_of).astype("Int64"))
    grouped = peptides.dropna(subset=["protein_group"])
    proteins = grouped.groupby("protein_group")[intensity].sum(min_count=1)
    samples = getattr(design, "samples", None) or {n: [n] for n in names}
    proteins = pd.DataFrame({f"intensity_{sample}": proteins[[f"intensity_{r}" for r in members if r in names]]
                             .sum(axis=1, min_count=1) for sample, members in samples.items()}, index=proteins.index)
    proteins.insert(0, "peptides_used", grouped.groupby("protein_group").size())
    proteins = proteins.reset_index().rename(columns={"protein_group": "group"})
    examples.sort(key=lambda e: -e["quality"])
    picked = [examples[i] for i in sorted({0, len(examples) // 2, len(examples) - 1})] if examples else []
    values = np.log2(precursors[intensity].to_numpy(dtype=float)) if len(precursors) else np.empty((0, len(names)))
    matrix = pd.DataFrame(values, columns=names).corr().to_numpy().tolist()
    diagnostics = {"chromatograms": picked, "samples": samples, "correlation": {"runs": names, "matrix": matrix},
                   "missing_before_mbr": int(precursors[intensity].isna().sum().sum()),
                   "missing_after_mbr": int(precursors[intensity].isna().sum().sum()),
                   "transfers": 0, "decoy_transfers": 0}
    return LfqResult(precursors, peptides, proteins, diagnostics, notes)
