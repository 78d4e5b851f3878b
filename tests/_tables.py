"""Generated match tables with the columns and dtypes a search produces, for the output
tests and the writing benchmark."""

from __future__ import annotations

import numpy as np
import pandas as pd

from tovel_mesk.columns import CORE_FEATURES, ERROR_CONTROL, KEYS

RESIDUES = np.array(list("ACDEFGHIKLMNPQRSTVWY"))
#: Modified peptides (ProForma with signed masses) and their bare sequences.
MODIFIED = (("PEPM[+15.9949]K", "PEPMK"), ("[+42.0106]-ACDEK", "ACDEK"),
            ("C[+57.0215]AMR", "CAMR"), ("S[+79.9663]TYK", "STYK"))

#: Dtypes of the core's match fields; features not listed are 32-bit floats.
_FEATURE_DTYPES = {
    "hyperscore": np.float64, "delta_next": np.float64, "delta_best": np.float64, "poisson": np.float64,
    "matched_peaks": np.uint32, "longest_b": np.uint32, "longest_y": np.uint32,
    "scored_candidates": np.uint32, "peptide_len": np.uint64, "missed_cleavages": np.uint8,
}


def match_table(n: int, *, seed: int = 0, files: tuple[str, ...] = ("run_a.mzML", "run_b.mzML"),
                extra: tuple[str, ...] = ("xcorr",)) -> pd.DataFrame:
    """`n` matches, two per spectrum (ranks 1 and 2), spread over `files`; about a tenth
    decoys (accessions tagged `rev_`), a quarter with a modified peptide, some with several
    proteins and some without a fragment error (NaN `average_ppm`). `extra` names further
    numeric features."""
    rng = np.random.default_rng(seed)
    spectrum = np.arange(n) // 2
    label = np.where(rng.random(n) < 0.1, -1, 1).astype(np.int32)
    lengths = rng.integers(7, 20, n)
    letters = RESIDUES[rng.integers(0, len(RESIDUES), lengths.sum())]
    bounds = np.concatenate([[0], np.cumsum(lengths)])
    sequence = ["".join(letters[a:b]) for a, b in zip(bounds[:-1], bounds[1:])]
    modified = rng.random(n) < 0.25
    pairs = [MODIFIED[i % len(MODIFIED)] if m else (s, s) for i, (s, m) in enumerate(zip(sequence, modified))]
    peptide, sequence = (list(column) for column in zip(*pairs)) if n else ([], [])
    accession = [f"sp|P{i % 5000:05d}|PROT{i % 5000}" for i in range(n)]
    proteins = [a if i % 7 else f"{a};sp|Q{i % 300:05d}|OTHER" for i, a in enumerate(accession)]
    proteins = [f"rev_{p}" if lab < 0 else p for p, lab in zip(proteins, label)]
    file_index = spectrum * len(files) // max((n + 1) // 2, 1)
    charge = rng.integers(2, 5, n).astype(np.uint8)
    calcmass = rng.uniform(700, 3500, n).astype(np.float32)
    delta = rng.normal(0, 3, n).astype(np.float32)
    frame = pd.DataFrame({
        "file": pd.Categorical.from_codes(file_index, categories=list(files)),
        "spec_id": [f"controllerType=0 controllerNumber=1 scan={s + 1}" for s in spectrum],
        "rank": (np.arange(n) % 2 + 1).astype(np.uint32),
        "label": label,
        "peptide": peptide,
        "sequence": sequence,
        "proteins": proteins,
        "charge": charge,
        "expmass": (calcmass * (1 + delta / 1e6)).astype(np.float32),
        "calcmass": calcmass,
        "delta_mass": delta,
        "isotope_error": np.where(rng.random(n) < 0.05, 1.00335, 0.0).astype(np.float32),
        "rt": (spectrum * 0.01).astype(np.float32),
    })
    for name in CORE_FEATURES:
        dtype = _FEATURE_DTYPES.get(name, np.float32)
        values = rng.gamma(2.0, 10.0, n) if name == "hyperscore" else rng.uniform(0, 30, n)
        frame[name] = values.astype(dtype)
    frame.loc[rng.random(n) < 0.02, "average_ppm"] = np.nan
    frame["hyperscore"] += np.where(label > 0, 8.0, 0.0)
    for name in extra:
        frame[name] = rng.normal(0, 1, n)
    frame["psm_id"] = np.arange(1, n + 1, dtype=np.uint64)
    frame["peptide_idx"] = rng.integers(0, 10**6, n).astype(np.uint32)
    frame["file_id"] = file_index.astype(np.uint64)
    frame = frame[[c for c in frame.columns if c not in KEYS] + list(KEYS)]
    score = frame["hyperscore"].to_numpy()
    order = np.argsort(-score, kind="stable")
    q = np.empty(n)
    q[order] = np.minimum.accumulate(
        (np.cumsum(label[order] < 0) / np.maximum(np.cumsum(label[order] > 0), 1))[::-1])[::-1]
    frame["discriminant_score"] = (score / 10).astype(np.float32)
    frame["posterior_error"] = np.clip(q * 3, 0, 1).astype(np.float32)
    for name in ERROR_CONTROL[2:]:
        frame[name] = q.astype(np.float32)
    return frame


def best_per(psms: pd.DataFrame, key: str, q: str) -> pd.DataFrame:
    """The best-scoring match of each value of `key`, with the columns a peptide or
    protein table carries."""
    best = psms.sort_values("discriminant_score", ascending=False).drop_duplicates(key)
    return best[[key, "label", "discriminant_score", "posterior_error", q]].reset_index(drop=True)
