"""Scores a search of a simulated run against the simulation's truth.

    python bench/eval_truth.py RESULTS_DIR run.truth.tsv [--fdr 0.01]

A match is correct when its peptide is the spectrum's true peptide or its co-isolated one
(I and L taken as the same residue, modifications compared by their rounded masses). Prints
the accepted spectra, the correct ones, the true false discovery proportion, and the share of
correct spectra by charge and by the number of true fragment ions in the spectrum.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

import pandas as pd

_MOD = re.compile(r"\[([+-]?\d+(?:\.\d+)?)\]")


def canonical(peptide: str) -> str:
    """ProForma text with I as L, each modification mass rounded to 2 decimals, and the fixed
    carbamidomethyl of C left unwritten (the truth does not write it)."""
    text = _MOD.sub(lambda m: f"[{float(m.group(1)):+.2f}]", str(peptide))
    return text.replace("C[+57.02]", "C").replace("I", "L")


def evaluate(results: Path, truth_path: Path, fdr: float = 0.01) -> dict:
    psms = pd.read_csv(results / "psms.tsv", sep="\t", usecols=lambda c: c in {
        "spec_id", "rank", "label", "peptide", "spectrum_q", "charge"})
    return evaluate_table(psms, truth_path, fdr)


def evaluate_table(psms: pd.DataFrame, truth_path: Path, fdr: float = 0.01) -> dict:
    """`evaluate` of a match table (columns `spec_id`, `label`, `peptide`, `spectrum_q`)
    of any engine, whose `spec_id` is the simulation's native id."""
    truth = pd.read_csv(truth_path, sep="\t", keep_default_na=False)
    accepted = psms[(psms["label"] == 1) & (psms["spectrum_q"] <= fdr)]
    merged = accepted.merge(truth, on="spec_id", how="left", suffixes=("", "_true"))
    found = merged["peptide"].map(canonical)
    merged["correct"] = (found == merged["peptide_true"].map(canonical)) | (
        (merged["partner"] != "") & (found == merged["partner"].map(canonical)))
    spectra = merged.drop_duplicates("spec_id")
    in_db = truth[truth["in_database"] == 1]
    out = {"accepted_rows": len(merged), "accepted_spectra": len(spectra),
           "correct_spectra": int(merged.groupby("spec_id")["correct"].any().sum()),
           "false_rows": int((~merged["correct"]).sum()), "identifiable": len(in_db)}
    out["true_fdp"] = out["false_rows"] / max(1, out["accepted_rows"])
    correct_ids = set(merged.loc[merged["correct"], "spec_id"])
    truth["found"] = truth["spec_id"].isin(correct_ids)
    sub = truth[truth["in_database"] == 1]
    out["by_charge"] = sub.groupby("charge")["found"].mean().round(3).to_dict()
    buckets = pd.cut(sub["true_ions"], [-1, 4, 8, 12, 1000], labels=["<=4", "5-8", "9-12", ">12"])
    out["by_true_ions"] = sub.groupby(buckets, observed=True)["found"].mean().round(3).to_dict()
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("results", type=Path)
    parser.add_argument("truth", type=Path)
    parser.add_argument("--fdr", type=float, default=0.01)
    args = parser.parse_args(argv)
    for key, value in evaluate(args.results, args.truth, args.fdr).items():
        print(f"{key:>18}: {value:.4f}" if isinstance(value, float) else f"{key:>18}: {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
