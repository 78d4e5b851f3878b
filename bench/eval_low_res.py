"""How well each match feature separates targets from decoys on the real ion-trap runs,
against Comet on the same spectra with matched settings.

For each run (BSA2, BSA3 and the four fractions, 18-protein FASTA with its in-file decoys
dropped and the index's own reversed decoys; fragment tolerance +-0.5 Da, precursor 10 ppm,
wide window and chimera off, trypsin, 2 missed cleavages, fixed carbamidomethyl C) it prints
the spectra accepted at 1% FDR by target-decoy competition on the best of each spectrum's
reported matches (5), ranked by each feature alone and by a cross-validated linear discriminant over all
features, the entrapment share of the discriminant's accepted matches (proteins all
Sorangium `SORC` accessions), Comet's count, and the processor time per spectrum that the
low-resolution features add. A last row pools every run, the discriminant trained on all.

Usage: python -P bench/eval_low_res.py [--runs BSA2,BSA3,...] [--threads N]
Skips (exit status 0) when the data or Comet is absent.
"""

from __future__ import annotations

import argparse
import base64
import os
import shutil
import sys
import time
import xml.etree.ElementTree as ET
import zlib
from pathlib import Path

import numpy as np

import _tovel_mesk as tm

sys.path.insert(0, str(Path(__file__).resolve().parent))
import realdata  # noqa: E402  (Comet's settings and runner, shared with the real-data comparison)
from tovel_mesk.columns import CORE_FEATURES, LOW_RES_FEATURES
from tovel_mesk.search.scoring import score_columns

EXAMPLES = Path("/usr/share/doc/openms/examples")
RUNS = {
    "BSA2": EXAMPLES / "BSA/BSA2.mzML",
    "BSA3": EXAMPLES / "BSA/BSA3.mzML",
    "BSA2_F1": EXAMPLES / "FRACTIONS/BSA2_F1.mzML",
    "BSA2_F2": EXAMPLES / "FRACTIONS/BSA2_F2.mzML",
    "BSA3_F1": EXAMPLES / "FRACTIONS/BSA3_F1.mzML",
    "BSA3_F2": EXAMPLES / "FRACTIONS/BSA3_F2.mzML",
}
FASTA = EXAMPLES / "TOPPAS/data/BSA_Identification/18Protein_SoCe_Tr_detergents_trace_target_decoy.fasta"
IN_FILE_DECOY_SUFFIX = "_rev"
WORK = Path(os.environ.get("TMPDIR", "/tmp")) / "tovel_mesk_eval_low_res"

PROTON = 1.007276466812
WATER = 18.010565
CARBAMIDOMETHYL = 57.021464
RESIDUES = {
    "G": 57.02146, "A": 71.03711, "S": 87.03203, "P": 97.05276, "V": 99.06841, "T": 101.04768,
    "C": 103.00919, "L": 113.08406, "I": 113.08406, "N": 114.04293, "D": 115.02694, "Q": 128.05858,
    "K": 128.09496, "E": 129.04259, "M": 131.0405, "H": 137.05891, "F": 147.0684, "R": 156.1011,
    "Y": 163.06332, "W": 186.07932,
}
TOP_PEAKS = 150
REPORT_PSMS = 5
FDR = 0.01
# Features where a lower value is better.
LOWER_IS_BETTER = {"log10_evalue", "abs_delta_mass", "delta_best", "poisson"}


# ---- inputs (until the package reads FASTA and mzML itself) ----

def read_targets(path: Path) -> dict[str, str]:
    proteins, name, chunks = {}, None, []
    for line in path.read_text().splitlines():
        if line.startswith(">"):
            if name is not None:
                proteins[name] = "".join(chunks)
            name, chunks = line[1:].split()[0], []
        else:
            chunks.append(line.strip())
    if name is not None:
        proteins[name] = "".join(chunks)
    return {k: v for k, v in proteins.items() if not k.endswith(IN_FILE_DECOY_SUFFIX)}


def tryptic_peptides(proteins: dict[str, str], missed=2, min_len=7, max_len=50):
    """Sequence -> accessions, for full tryptic peptides of standard residues."""
    found: dict[str, set[str]] = {}
    for accession, protein in proteins.items():
        sites = [0] + [i + 1 for i in range(len(protein) - 1)
                       if protein[i] in "KR" and protein[i + 1] != "P"] + [len(protein)]
        for a in range(len(sites) - 1):
            for b in range(a + 1, min(a + 2 + missed, len(sites))):
                seq = protein[sites[a]:sites[b]]
                if min_len <= len(seq) <= max_len and all(r in RESIDUES for r in seq):
                    found.setdefault(seq, set()).add(accession)
    return found


def build_index(peptides: dict[str, set[str]]):
    records = []
    for seq in peptides:
        mono = sum(RESIDUES[r] for r in seq) + WATER + CARBAMIDOMETHYL * seq.count("C")
        if 400.0 <= mono <= 10000.0:
            records.append((mono, seq))
    records.sort()
    peps = [tm.PyPeptide(seq, mono, [CARBAMIDOMETHYL if r == "C" else 0.0 for r in seq], None, None)
            for mono, seq in records]
    kinds = [tm.PyKind.B(), tm.PyKind.Y()]
    return tm.PyIndexedDatabase.from_peptides_and_config(peps, 8192, kinds, 2, True, "rev_", 400.0, 10000.0)


def read_mzml(path: Path, file_id: int):
    ns = "{http://psi.hupo.org/ms/mzml}"
    spectra = []
    for _, elem in ET.iterparse(path, events=("end",)):
        if elem.tag != ns + "spectrum":
            continue
        params = {p.get("accession"): p for p in elem.iter(ns + "cvParam")}
        if params.get("MS:1000511") is None or params["MS:1000511"].get("value") != "2":
            elem.clear()
            continue
        arrays = {}
        for array in elem.iter(ns + "binaryDataArray"):
            acc = {p.get("accession") for p in array.iter(ns + "cvParam")}
            raw = base64.b64decode(array.find(ns + "binary").text or "")
            if "MS:1000574" in acc:
                raw = zlib.decompress(raw)
            values = np.frombuffer(raw, "<f8" if "MS:1000523" in acc else "<f4")
            arrays["mz" if "MS:1000514" in acc else "intensity"] = values
        rt_param = params.get("MS:1000016")
        rt = float(rt_param.get("value")) if rt_param is not None else 0.0
        if rt_param is not None and rt_param.get("unitAccession") == "UO:0000010":
            rt /= 60.0
        mz = float(params["MS:1000744"].get("value"))
        charge = int(params["MS:1000041"].get("value")) if "MS:1000041" in params else None
        order = np.argsort(arrays["intensity"])[::-1][:TOP_PEAKS]
        order = order[np.argsort(arrays["mz"][order], kind="stable")]
        masses = (arrays["mz"][order] - PROTON).astype(np.float32)
        intensities = arrays["intensity"][order].astype(np.float32)
        spectra.append(tm.PyProcessedSpectrum(elem.get("id"), file_id, rt, masses, intensities,
                                              [tm.PyPrecursor(mz, charge=charge)],
                                              float(intensities.sum(dtype=np.float32))))
        elem.clear()
    return spectra


# ---- error control (a quick stand-in for the package's own) ----

def accepted(scores: np.ndarray, labels: np.ndarray, fdr=FDR) -> np.ndarray:
    """Mask of targets accepted by target-decoy competition (one match per spectrum)."""
    order = np.argsort(-scores, kind="stable")
    decoy = labels[order] < 0
    targets = np.cumsum(~decoy)
    decoys = np.cumsum(decoy)
    q = decoys / np.maximum(targets, 1)
    q = np.minimum.accumulate(q[::-1])[::-1]
    mask = np.zeros(len(scores), bool)
    mask[order] = (q <= fdr) & ~decoy
    return mask


def feature_matrix(cols: dict[str, np.ndarray], names) -> np.ndarray:
    x = np.column_stack([cols[n].astype(np.float64) for n in names])
    for j in range(x.shape[1]):
        bad = ~np.isfinite(x[:, j])
        if bad.any():
            x[bad, j] = np.median(x[~bad, j]) if (~bad).any() else 0.0
    return x


def lda_scores(x: np.ndarray, cols, folds=3, seed=0) -> np.ndarray:
    """Cross-validated linear discriminant, target vs decoy, on standardised features; the
    matches of one spectrum share a fold."""
    labels = cols["label"]
    keep = x.std(axis=0) > 0
    x = x[:, keep]
    spectrum = cols["file_id"].astype(np.int64) * (1 << 32) + np.unique(cols["spec_id"], return_inverse=True)[1]
    _, spectrum = np.unique(spectrum, return_inverse=True)
    fold = (np.random.default_rng(seed).permutation(spectrum.max() + 1) % folds)[spectrum]
    out = np.empty(len(x))
    for k in range(folds):
        train, test = fold != k, fold == k
        mu, sd = x[train].mean(0), x[train].std(0)
        sd[sd == 0] = 1.0
        z = (x - mu) / sd
        t, d = z[train & (labels > 0)], z[train & (labels < 0)]
        cov = np.cov(np.vstack([t - t.mean(0), d - d.mean(0)]).T) + 1e-3 * np.eye(z.shape[1])
        w = np.linalg.solve(cov, t.mean(0) - d.mean(0))
        out[test] = z[test] @ w
    return out


def entrapped(rows, cols, accessions) -> int:
    """Accepted target rows whose proteins are all Sorangium accessions."""
    return sum(all("SORC" in a for a in accessions.get(cols["sequence"][i], ())) for i in rows)


def best_per_spectrum(score: np.ndarray, cols) -> np.ndarray:
    """Row of each spectrum's best match by `score` (ties: the lower rank)."""
    key = cols["file_id"].astype(np.int64) * (1 << 32) + np.unique(cols["spec_id"], return_inverse=True)[1]
    order = np.lexsort((cols["rank"], -score, key))
    return order[np.r_[True, key[order][1:] != key[order][:-1]]]


def spectra_at_fdr(score: np.ndarray, cols, accessions) -> tuple[int, int]:
    """Targets accepted at 1% FDR, re-ranking each spectrum's matches by `score`, and how many
    of them are entrapment matches."""
    rows = best_per_spectrum(score, cols)
    mask = accepted(score[rows], cols["label"][rows])
    return int(mask.sum()), entrapped(rows[mask], cols, accessions)


def print_row(run, n_spectra, cols, singles, accessions, comet, added_ms):
    counts = []
    for name in singles:
        score = cols[name].astype(np.float64)
        score = -score if name in LOWER_IS_BETTER else score
        score = np.where(np.isfinite(score), score, -np.inf)
        counts.append(spectra_at_fdr(score, cols, accessions)[0])
    core = [n for n in CORE_FEATURES if n in cols]
    lda_core = spectra_at_fdr(lda_scores(feature_matrix(cols, core), cols), cols, accessions)[0]
    lda_all, trapped = spectra_at_fdr(lda_scores(feature_matrix(cols, core + list(LOW_RES_FEATURES)), cols), cols,
                                      accessions)
    print(f"{run:8} {n_spectra:7d} " + " ".join(f"{c:12d}" for c in counts)
          + f" {lda_core:9d} {lda_all:8d} {100.0 * trapped / max(lda_all, 1):5.1f}% {comet:6d} {added_ms:10.3f}",
          flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", default=",".join(RUNS), help="comma-separated runs (default: all six)")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--no-comet", action="store_true", help="skip the Comet comparison")
    args = parser.parse_args()
    runs = args.runs.split(",")
    if not FASTA.exists() or not all(RUNS[r].exists() for r in runs):
        print("eval_low_res: the openms-doc example data is absent; skipped")
        return 0
    use_comet = not args.no_comet and shutil.which("comet-ms") is not None
    WORK.mkdir(parents=True, exist_ok=True)

    start = time.perf_counter()
    proteins = read_targets(FASTA)
    accessions = tryptic_peptides(proteins)
    db = build_index(accessions)
    params = realdata.comet_params(WORK, realdata.targets_only(FASTA, WORK), args.threads) if use_comet else None
    print(f"index: {len(accessions)} target peptides, {time.perf_counter() - start:.1f} s", file=sys.stderr)

    scorer = tm.PyScorer(tm.PyTolerance.Ppm(-10.0, 10.0), tm.PyTolerance.Da(-0.5, 0.5), wide_window=False,
                         chimera=False, report_psms=REPORT_PSMS, min_isotope_err=0, max_isotope_err=3,
                         max_fragment_charge=2)
    singles = ["hyperscore", "poisson", "matched_intensity_pct"] + list(LOW_RES_FEATURES)
    print(f"{'run':8} {'spectra':>7} " + " ".join(f"{n[:12]:>12}" for n in singles)
          + f" {'LDA core':>9} {'LDA all':>8} {'entrap':>6} {'Comet':>6} {'feat ms/sp':>10}")
    tables, comet_total, spectra_total = [], 0, 0
    for file_id, run in enumerate(runs):
        spectra = read_mzml(RUNS[run], file_id)
        t0 = time.perf_counter()
        score_columns(scorer, db, spectra, threads=args.threads, low_res=False)
        t1 = time.perf_counter()
        cols = score_columns(scorer, db, spectra, threads=args.threads, file=run)
        t2 = time.perf_counter()
        # CPU time per spectrum that the features add (both calls keep every thread busy).
        added_ms = ((t2 - t1) - (t1 - t0)) * 1000.0 * args.threads / max(len(spectra), 1)
        comet = len(realdata.run_comet([RUNS[run]], params, WORK).accepted) if use_comet else -1
        tables.append(cols)
        comet_total += comet
        spectra_total += len(spectra)
        print_row(run, len(spectra), cols, singles, accessions, comet, added_ms)
    if len(tables) > 1:
        pooled = {name: np.concatenate([t[name] for t in tables]) for name in tables[0]}
        print_row("all", spectra_total, pooled, singles, accessions, comet_total if use_comet else -1, float("nan"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
