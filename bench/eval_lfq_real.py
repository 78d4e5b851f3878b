"""The label-free engine alone on the real runs: BSA2, BSA3 and their four fractions.

Takes the accepted rank-1 target matches (spectrum q <= 1%) of a finished search (`--results
FOLDER` with its psms.tsv and summary.json, e.g. a folder that `make realdata` or a search
with bench/realdata.py's settings wrote), reads the files' MS1 scans, and times
`quantify_lfq` on its own (reading MS1 is timed apart). Prints the engine's wall time, the
features, transfers and notes, and the BSA protein's ratio between the two samples from the
whole runs and from the fractions (summed by the experimental design).
"""

from __future__ import annotations

import argparse
import re
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE)]

from realdata import RUNS, examples_folder  # noqa: E402
from tovel_mesk.io.mzml import MzmlReader  # noqa: E402
from tovel_mesk.quant.design import read_design  # noqa: E402
from tovel_mesk.quant.lfq import LfqOptions, quantify_lfq  # noqa: E402
from tovel_mesk.quant.ms1 import Ms1Builder, Ms1Run  # noqa: E402

BSA = "P02769|ALBU_BOVIN"


def read_ms1(path: Path) -> Ms1Run:
    builder = Ms1Builder(path.name)
    with open(path, "rb") as stream:
        for record in MzmlReader(str(path), stream, ms_level=1):
            if record.ms_level == 1:
                mz, intensity = record.peaks()
                builder.add(record.rt, mz, intensity, scan_id=record.id)
    return builder.finish()


def accepted_ions(results: Path) -> pd.DataFrame:
    import json
    psms = pd.read_csv(results / "psms.tsv", sep="\t")
    psms = psms[(psms["label"] == 1) & (psms["rank"] == 1) & (psms["spectrum_q"] <= 0.01)].copy()
    summary = json.loads((results / "summary.json").read_text())
    offset, tolerance = {}, {}
    for entry in summary["files"]:
        match = re.match(r"([-+0-9.]+) ->", entry.get("calibration") or "")
        offset[entry["file"]] = float(match.group(1)) if match else 0.0
        tol = re.match(r"([0-9.]+)ppm", entry.get("precursor_tol") or "")
        tolerance[entry["file"]] = float(tol.group(1)) if tol else 10.0
    psms["ppm_offset"] = psms["file"].map(offset)
    psms["ppm_tolerance"] = psms["file"].map(tolerance)
    return psms


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--results", type=Path, required=True, help="a finished search's output folder")
    args = parser.parse_args()
    folder = examples_folder()
    if folder is None:
        print("real data: the examples folder is not installed; skipped")
        return 0
    files = [folder / r for r in RUNS]
    ions = accepted_ions(args.results)
    proteins = pd.read_csv(args.results / "proteins.tsv", sep="\t")
    peptides = pd.read_csv(args.results / "peptides.tsv", sep="\t") if (args.results / "peptides.tsv").exists() else None
    group_of_accession = {}
    for g, accs in zip(proteins["group"], proteins["accessions"]):
        for acc in str(accs).split(";"):
            group_of_accession[acc] = int(g)
    protein_of = {}
    for pep, accs in zip(ions["peptide"], ions["proteins"]):
        groups = sorted({group_of_accession[a] for a in str(accs).split(";") if a in group_of_accession})
        if groups:
            protein_of[pep] = groups[0]
    bsa_group = group_of_accession.get(BSA)
    t = time.perf_counter()
    runs = {f.name: read_ms1(f) for f in files}
    reading = time.perf_counter() - t
    peaks = sum(r.peaks for r in runs.values())
    print(f"MS1: {sum(r.scans for r in runs.values()):,} scans, {peaks:,} peaks, "
          f"{sum(r.nbytes for r in runs.values()) / peaks:.2f} bytes per peak stored; read in {reading:.1f} s "
          f"(bench reader, not the search's pass)")
    print(f"accepted ions: {len(ions):,} matches, {ions[['peptide', 'charge']].drop_duplicates().shape[0]} "
          f"precursor ions; protein groups known for {len(protein_of)} peptides")
    whole = {k: runs[k] for k in ("BSA2.mzML", "BSA3.mzML")}
    fractions = {k: v for k, v in runs.items() if "_F" in k}
    for label, subset, design in (
            ("all six files, one sample each", runs, None),
            ("whole runs BSA2, BSA3", whole, None),
            ("fractions by the design", fractions, read_design(folder / "FRACTIONS" / "BSA_design.tsv", list(fractions)))):
        sub_ions = ions[ions["file"].isin(subset)]
        t = time.perf_counter()
        result = quantify_lfq(subset, sub_ions, protein_of, design=design, options=LfqOptions())
        wall = time.perf_counter() - t
        d = result.diagnostics
        print(f"{label}: engine {wall:.2f} s; {d['ions']} ions, {d['identified_features']} identified features; "
              f"transfers {d['transfers']}; missing {d['missing_values']}")
        quality = result.precursors["isotope_quality"]
        print(f"  isotope quality median {quality.median():.3f}; alignment "
              f"{ {k: (v['model'], v['points'], v['residual_sd_min']) for k, v in d['alignment'].items()} }")
        for note in result.notes:
            print(f"  note: {note}")
        if bsa_group is not None and len(result.proteins):
            row = result.proteins[result.proteins["protein_group"] == bsa_group]
            cols = [c for c in result.proteins.columns if c.startswith("intensity_")]
            if len(row):
                values = row[cols].to_numpy(dtype=float)[0]
                print(f"  BSA (group {bsa_group}): " + ", ".join(f"{c[10:]} {v:.3g}" for c, v in zip(cols, values))
                      + f"; peptides used {int(row['peptides_used'].iloc[0])}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
