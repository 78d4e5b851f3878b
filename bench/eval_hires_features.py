"""What each feature gives on a simulated high-resolution run: error control run again on a
search's match table with one feature (or a group) left out, each scored by the truth.

    python -P bench/eval_hires_features.py RESULTS_DIR run.truth.tsv [--drop xcorr,delta_xcorr ...]

RESULTS_DIR holds a search's psms.parquet (`bench/comet_simulated.py --keep DIR` leaves one
in DIR/ours). Prints, per variant, the accepted and correct spectra at 1%, the true false
discovery proportion, the rescoring path and the discriminant's weights.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
import eval_truth  # noqa: E402

from tovel_mesk.columns import ERROR_CONTROL  # noqa: E402
from tovel_mesk.fdr.confidence import assign_confidence  # noqa: E402

VARIANTS = {
    "all": (),
    "no xcorr": ("xcorr",),
    "no delta_xcorr": ("delta_xcorr",),   # a search before this version's high-resolution default
    "no log10_evalue": ("log10_evalue",),
    "no top_peaks_explained": ("top_peaks_explained",),
    "no matched_ion_fraction": ("matched_ion_fraction",),
    "no low-resolution features": ("xcorr", "delta_xcorr", "log10_evalue", "top_peaks_explained",
                                   "matched_ion_fraction"),
}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("results", type=Path)
    parser.add_argument("truth", type=Path)
    parser.add_argument("--drop", action="append", default=[],
                        help="a variant of its own: comma-separated columns left out (repeatable)")
    parser.add_argument("--only", action="append", default=[], help="run only these named variants")
    args = parser.parse_args(argv)
    psms = pd.read_parquet(args.results / "psms.parquet")
    psms = psms.drop(columns=[c for c in ERROR_CONTROL if c in psms.columns])
    variants = {k: v for k, v in VARIANTS.items() if not args.only or k in args.only}
    for spec in args.drop:
        variants[f"drop {spec}"] = tuple(spec.split(","))
    for name, dropped in variants.items():
        if dropped and not set(dropped) & set(psms.columns):
            print(f"{name:<28} (no such column in this table)")
            continue
        table = psms.drop(columns=[c for c in dropped if c in psms.columns])
        confidence = assign_confidence(table, seed=1)
        out = confidence.psms
        e = eval_truth.evaluate_table(out[["spec_id", "rank", "label", "peptide", "spectrum_q", "charge"]],
                                      args.truth)
        r = confidence.rescoring
        weights = ", ".join(f"{k} {v:+.2f}" for k, v in sorted(r.weights.items(), key=lambda kv: -abs(kv[1]))[:8])
        print(f"{name:<28} accepted {e['accepted_spectra']:>6} correct {e['correct_spectra']:>6} "
              f"FDP {100 * e['true_fdp']:.2f}% by charge {e['by_charge']} by ions {e['by_true_ions']} "
              f"[{r.used}; {weights}]", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
