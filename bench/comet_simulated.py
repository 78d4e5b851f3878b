"""A simulated high-resolution run with known truth: `tovel-mesk search` with its defaults
against Comet, both scored by the simulation's truth.

    python -P bench/comet_simulated.py [--proteins 20000] [--spectra 20000] [--seed 7] [--threads N]
        [--comet-bins 0.02,0.05] [--keep DIR [--reuse]] [--no-comet] [--ours-args "--top-peaks 150"]

Writes a proteome and an Orbitrap HCD run (`simulate.py`: noise, missing ions, isotope
mis-picks, chimeric spectra, 30% of spectra from peptides outside the database, a precursor
offset), searches it with `tovel-mesk search` and nothing but `--fasta` and `--output` (the
defaults read the analyzer from the file), and with Comet at settings matched to ours:
precursor 10 ppm, isotope errors 0 to 3 (Comet 2019 has no -1), trypsin with 2 missed
cleavages, 7 to 50 residues, 500 to 5000 Da neutral, initiator methionine clipped too,
carbamidomethyl C fixed, no variable modification, b and y ions up to charge 2, Comet's
internal reversed decoys, and a high-resolution fragment bin (each of `--comet-bins`, in Da,
offset 0; the best one counts). Comet reads the run as MGF (it cannot read mzML without an
index). Comet's rank-1 e-values compete target against decoy over the run, as ours do.

Prints per engine: wall and processor seconds, accepted spectra at 1%, correct ones, the true
false discovery proportion, the share of identifiable spectra found by charge and by true
ions; then the ratio of our correct spectra to Comet's (target: at least 1.2), our true FDP
(target: at most 1%), our time over Comet's, and how much of the identifiable spectra 1.2
times Comet's correct ones would be (more than all of them, when Comet finds over 83%).
`--keep DIR --reuse` searches a run kept earlier again (e.g. with `--ours-args` and
`--no-comet`, to compare settings on the same spectra; `bench/eval_hires_features.py` then
measures each feature on the match table left in DIR/ours).
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import re
import shutil
import subprocess
import sys
import shlex
import tempfile
from collections.abc import Sequence
from pathlib import Path

import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent))
import eval_truth  # noqa: E402
import realdata  # noqa: E402  (process measurement, Comet's parameter template, q-values)
import simulate  # noqa: E402

COMET_SETTINGS = {
    "decoy_search": "1", "peptide_mass_tolerance": "10.00", "peptide_mass_units": "2", "isotope_error": "3",
    "search_enzyme_number": "1", "allowed_missed_cleavage": "2", "variable_mod01": "0.0 X 0 3 -1 0 0 0.0",
    "fragment_bin_offset": "0.0", "theoretical_fragment_ions": "0",
    "use_B_ions": "1", "use_Y_ions": "1", "max_fragment_charge": "2", "output_txtfile": "1",
    "output_pepxmlfile": "0", "output_sqtfile": "0", "num_output_lines": "1",
    "peptide_length_range": "7 50", "add_C_cysteine": "57.021464", "clip_nterm_methionine": "1",
    # Comet's mass range is of the singly protonated peptide; ours (500-5000 Da) is neutral.
    "digest_mass_range": "501.007276 5001.007276",
}


#: Runs a command and prints its exit status, wall seconds, processor seconds (user and
#: system, the command and its children) and peak resident KiB.
MEASURE = ("import resource, subprocess, sys, time\n"
           "t = time.perf_counter()\n"
           "status = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode\n"
           "use = resource.getrusage(resource.RUSAGE_CHILDREN)\n"
           "print(status, time.perf_counter() - t, use.ru_utime + use.ru_stime, use.ru_maxrss)\n")


def measure(command: list[str]) -> tuple[float, float]:
    """Wall and processor seconds of a command (on a loaded machine the processor seconds
    are the steadier figure)."""
    out = subprocess.run([sys.executable, "-c", MEASURE, *command], capture_output=True, text=True, check=True)
    status, wall, cpu, _ = out.stdout.split()
    if int(status) != 0:
        raise SystemExit(f"failed ({status}): {' '.join(command)}")
    return float(wall), float(cpu)


def write_mgf(path: Path, scans: list[simulate.Scan]) -> None:
    """The MS2 scans as MGF; TITLE and SCANS carry the scan number of the native id."""
    with open(path, "w", encoding="ascii") as f:
        for s in scans:
            if s.ms_level != 2:
                continue
            number = int(s.native_id.rsplit("=", 1)[1])
            f.write(f"BEGIN IONS\nTITLE=sim.{number}.{number}.{s.charge}\nSCANS={number}\n"
                    f"RTINSECONDS={s.rt_seconds:.4f}\nPEPMASS={s.precursor_mz:.6f}\nCHARGE={s.charge}+\n")
            for mz, intensity in zip(s.mz.tolist(), s.intensity.tolist()):
                f.write(f"{mz:.6f} {intensity:.2f}\n")
            f.write("END IONS\n")


def comet_params(work: Path, fasta: Path, threads: int, bin_tol: float) -> Path:
    template = work / "comet.params.new"
    if not template.exists():
        subprocess.run(["comet-ms", "-p"], cwd=work, capture_output=True, check=True)
    text = template.read_text()
    settings = dict(COMET_SETTINGS, database_name=str(fasta), num_threads=str(threads),
                    fragment_bin_tol=f"{bin_tol:g}")
    for key, value in settings.items():
        text, n = re.subn(rf"^{key} = .*$", f"{key} = {value}", text, flags=re.M)
        if n != 1:
            raise SystemExit(f"Comet's parameter file has no single '{key}' line")
    params = work / f"comet_{bin_tol:g}.params"
    params.write_text(text)
    return params


def native_ids(truth: Path) -> dict[int, str]:
    """Scan number -> the simulation's native id, from its truth file."""
    table = pd.read_csv(truth, sep="\t", usecols=["spec_id", "scan"])
    return dict(zip(table["scan"].astype(int), table["spec_id"]))


def run_comet(mgf: Path, params: Path, work: Path,
              native: dict[int, str]) -> tuple[tuple[float, float], pd.DataFrame]:
    """Wall and processor seconds, and Comet's rank-1 matches as a match table that `eval_truth` scores:
    `spec_id` (the simulation's native id, from the scan number through `native`), `rank`,
    `label`, `peptide`, `charge`, `spectrum_q`."""
    folder = work / "comet"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir()
    link = folder / mgf.name
    link.symlink_to(mgf)
    seconds = measure(["comet-ms", f"-P{params}", str(link)])
    result = link.with_suffix(".txt")
    if not result.exists():
        raise SystemExit(f"Comet loaded no spectra from {mgf.name} (no results file)")
    lines = result.read_text().splitlines()[1:]   # the first line is Comet's banner
    rows = [r for r in csv.DictReader(lines, delimiter="\t") if r["num"] == "1"]
    if not rows:
        raise SystemExit(f"Comet reported no matches for {mgf.name}")
    rows.sort(key=lambda r: float(r["e-value"]))
    decoy = [all(p.startswith("DECOY_") for p in r["protein"].split(",")) for r in rows]
    q = realdata.q_values(decoy)
    return seconds, pd.DataFrame({
        "spec_id": [native[int(r["scan"])] for r in rows], "rank": 1,
        "label": [-1 if d else 1 for d in decoy], "peptide": [r["plain_peptide"] for r in rows],
        "charge": [int(r["charge"]) for r in rows], "spectrum_q": q})


def run_ours(run: Path, fasta: Path, output: Path, threads: int,
             extra: Sequence[str] = ()) -> tuple[tuple[float, float], pd.DataFrame, dict]:
    shutil.rmtree(output, ignore_errors=True)
    command = [sys.executable, "-P", "-m", "tovel_mesk", "search", "--quiet", "--fasta", str(fasta),
               "--output", str(output), "--threads", str(threads), *extra, str(run)]
    seconds = measure(command)
    psms = pd.read_csv(output / "psms.tsv", sep="\t", usecols=lambda c: c in {
        "spec_id", "rank", "label", "peptide", "spectrum_q", "charge"})
    summary = json.loads((output / "summary.json").read_text())
    return seconds, psms, summary


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--proteins", type=int, default=20000)
    parser.add_argument("--spectra", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=7, help="seed of the simulated run")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--comet-bins", default="0.02",
                        help="Comet fragment bin widths (Da) to try, comma-separated; the best counts")
    parser.add_argument("--keep", type=Path, help="write the run, the FASTA and the results here")
    parser.add_argument("--json", type=Path, help="also write the figures here")
    parser.add_argument("--reuse", action="store_true",
                        help="with --keep: search the run and FASTA already there instead of simulating them")
    parser.add_argument("--no-comet", action="store_true", help="search with tovel-mesk only")
    parser.add_argument("--ours-args", default="", help="more options of our search, as one string")
    parser.add_argument("--ours-name", default="ours", help="folder of our results under --keep")
    args = parser.parse_args()
    if args.reuse and not args.keep:
        parser.error("--reuse needs --keep")
    if shutil.which("comet-ms") is None and not args.no_comet:
        print("comet_simulated: needs Debian's comet-ms")
        return 2
    with tempfile.TemporaryDirectory(prefix="tovel-sim-comet-") as tmp:
        work = args.keep or Path(tmp)
        work.mkdir(parents=True, exist_ok=True)
        fasta = work / "proteome.fasta"
        run = work / "sim_orbitrap.mzML"
        truth = run.with_suffix(".truth.tsv")
        mgf = run.with_suffix(".mgf")
        if not args.reuse:
            simulate.write_fasta(fasta, simulate.generate_proteome(args.proteins, 1))
            scans = simulate.simulate_run(fasta, args.spectra, analyzer="orbitrap", seed=args.seed)
            simulate.write_mzml(run, scans, "orbitrap")
            simulate.write_truth(truth, scans)
            write_mgf(mgf, scans)
            print(f"  simulated {args.spectra:,} spectra over {args.proteins:,} proteins", file=sys.stderr)

        ours_seconds, ours_psms, summary = run_ours(run, fasta, work / args.ours_name, args.threads,
                                                    shlex.split(args.ours_args))
        ours = eval_truth.evaluate_table(ours_psms, truth)
        stages = ", ".join(f"{k} {v:.1f}" for k, v in summary.get("stages", {}).items())
        print(f"  tovel-mesk: {ours_seconds[0]:.1f} s, {ours_seconds[1]:.1f} s processor ({stages})", file=sys.stderr)
        comets = {}
        for width in ([] if args.no_comet else (float(w) for w in args.comet_bins.split(","))):
            seconds, table = run_comet(mgf, comet_params(work, fasta, args.threads, width), work,
                                       native_ids(truth))
            comets[width] = (seconds, eval_truth.evaluate_table(table, truth))
            print(f"  Comet, bin {width:g} Da: {seconds[0]:.1f} s, {seconds[1]:.1f} s processor", file=sys.stderr)

    if not comets:
        print(f"tovel-mesk {args.ours_args}: {ours_seconds[0]:.1f} s ({ours_seconds[1]:.1f} s processor), accepted {ours['accepted_spectra']}, correct "
              f"{ours['correct_spectra']}, true FDP {100 * ours['true_fdp']:.2f}%, by charge {ours['by_charge']}, "
              f"by true ions {ours['by_true_ions']}, rescoring {realdata.rescoring_path(summary.get('rescoring', {}))}")
        return 0
    best_width = max(comets, key=lambda w: comets[w][1]["correct_spectra"])
    rows = [("tovel-mesk (defaults)", ours_seconds, ours)] + [
        (f"Comet (bin {w:g} Da)", s, e) for w, (s, e) in comets.items()]
    header = (f"{'engine':<22} {'wall s':>7} {'cpu s':>7} {'accepted':>9} {'correct':>8} {'true FDP':>9} "
              f"{'found by charge':<34} found by true ions")
    print(f"{args.spectra:,} simulated Orbitrap spectra, {ours['identifiable']:,} of peptides in the database; "
          "accepted: spectra with a target row at spectrum_q <= 1%")
    print(header)
    print("-" * len(header))
    for name, seconds, e in rows:
        print(f"{name:<22} {seconds[0]:>7.1f} {seconds[1]:>7.1f} {e['accepted_spectra']:>9} {e['correct_spectra']:>8} "
              f"{100 * e['true_fdp']:>8.2f}% {str(e['by_charge']):<34} {e['by_true_ions']}")
    best = comets[best_width][1]
    ratio = ours["correct_spectra"] / max(best["correct_spectra"], 1)
    analyzer = [f.get("analyzer") for f in summary.get("file_settings", [])] if isinstance(
        summary.get("file_settings"), list) else summary.get("file_settings")
    print(f"\ncorrect spectra, ours over Comet's best ({best_width:g} Da): {ratio:.3f} (target: at least 1.2)")
    print(f"our true FDP at 1%: {100 * ours['true_fdp']:.2f}% (target: at most 1%)")
    comet_seconds = comets[best_width][0]
    print(f"time, ours over Comet's ({best_width:g} Da): wall 1/{comet_seconds[0] / ours_seconds[0]:.1f}, "
          f"processor 1/{comet_seconds[1] / ours_seconds[1]:.1f} (target: at most 1/10 of the wall time)")
    identifiable = ours["identifiable"]
    print(f"identifiable spectra (peptide in the database): {identifiable:,}; Comet finds "
          f"{best['correct_spectra'] / identifiable:.1%} of them, so 1.2 times its correct spectra would be "
          f"{1.2 * best['correct_spectra'] / identifiable:.1%} of them")
    print(f"rescoring path: {realdata.rescoring_path(summary.get('rescoring', {}))}")
    print(f"detected per file: {analyzer}")
    if args.json:
        args.json.write_text(json.dumps({"ours": ours | {"seconds": ours_seconds[0], "cpu_seconds": ours_seconds[1],
                                                         "stages": summary.get("stages", {})}, "comet": {
            f"{w:g}": e | {"seconds": s[0], "cpu_seconds": s[1]} for w, (s, e) in comets.items()}, "ratio": ratio},
            indent=2, default=str))
    return 0


if __name__ == "__main__":
    sys.exit(main())
