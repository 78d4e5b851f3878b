"""Processor time of scoring a simulated high-resolution run, by what is computed: the
search alone, and the search with the match features of low-resolution spectra (each
variant the core offers), one thread, the best of `--repeat` tries.

    python -P bench/bench_hires_features.py [--folder DIR] [--proteins 5000] [--spectra 4000]

`--folder`: a folder that `bench/comet_simulated.py --keep DIR` left (its proteome.fasta and
sim_orbitrap.mzML); without it a smaller run is generated (`bench/simulate.py`). The file is
searched with the settings its analyzer gets by default (no calibration). Prints
milliseconds of processor time per spectrum of each variant and of its features (its time
less that of the search alone), and checks that every variant reports the same matches.
"""

from __future__ import annotations

import argparse
import dataclasses
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import simulate  # noqa: E402

from tovel_mesk import _native  # noqa: E402
from tovel_mesk.config import load_settings  # noqa: E402
from tovel_mesk.io.analyzer import detect_analyzer  # noqa: E402
from tovel_mesk.io.spectra import SpectraReader  # noqa: E402
from tovel_mesk.search.database import prepare_database  # noqa: E402
from tovel_mesk.search.plan import settings_for  # noqa: E402
from tovel_mesk.search.scoring import make_scorer  # noqa: E402

# (label, score_columns keywords)
VARIANTS = [
    ("search alone", dict(low_res=False)),
    ("features, adaptive null", dict(low_res=True, adaptive_null=True)),
    ("features, whole null", dict(low_res=True, adaptive_null=False)),
    ("as searched: no delta_xcorr", dict(low_res=True, adaptive_null=True, delta_xcorr=False)),
]


def cpu_seconds(scorer, db, spectra, repeat: int, **keywords) -> tuple[float, dict]:
    best, columns = float("inf"), {}
    for _ in range(repeat):
        started = time.process_time()
        scored = _native.score_columns(scorer, db, spectra, 1, **keywords)
        best = min(best, time.process_time() - started)
        columns = {name: np.frombuffer(buffer, dtype=dtype) for name, dtype, buffer in scored}
    return best, columns


def run(folder: Path, repeat: int, limit: int, top_peaks: int | None = None) -> int:
    fasta, mzml = folder / "proteome.fasta", folder / "sim_orbitrap.mzML"
    base = load_settings({"fasta": fasta})
    settings = settings_for(base, detect_analyzer(mzml, ms_level=2))
    if top_peaks:
        settings = dataclasses.replace(settings, top_peaks=top_peaks)
    db, counts = prepare_database(settings)
    scorer = make_scorer(settings)
    spectra = [s for chunk in SpectraReader(mzml, ms_level=2, top_peaks=settings.top_peaks) for s in chunk][:limit]
    print(f"{len(spectra):,} spectra, {counts['indexed_peptides']:,} peptides, fragment tolerance "
          f"{settings.fragment_tol}, {settings.top_peaks} peaks kept; one thread; processor ms per spectrum (best of {repeat})")
    alone = None
    reference = None
    failures = []
    for label, keywords in VARIANTS:
        seconds, columns = cpu_seconds(scorer, db, spectra, repeat, **keywords)
        if alone is None:
            alone, reference = seconds, columns
            print(f"{label:<28} {1000 * seconds / len(spectra):8.3f}")
            continue
        for name in ("peptide_idx", "hyperscore", "rank"):
            if columns[name].tobytes() != reference[name].tobytes():
                failures.append(f"{label}: {name} differs from the search alone")
        print(f"{label:<28} {1000 * seconds / len(spectra):8.3f}   features {1000 * (seconds - alone) / len(spectra):8.3f}")
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--folder", type=Path)
    parser.add_argument("--proteins", type=int, default=5000)
    parser.add_argument("--spectra", type=int, default=4000)
    parser.add_argument("--limit", type=int, default=4000, help="score at most this many spectra of the run")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--top-peaks", type=int, help="most intense peaks kept (default: the file's setting)")
    args = parser.parse_args()
    if args.folder:
        return run(args.folder, args.repeat, args.limit, args.top_peaks)
    with tempfile.TemporaryDirectory(prefix="tovel-hires-") as tmp:
        folder = Path(tmp)
        simulate.write_fasta(folder / "proteome.fasta", simulate.generate_proteome(args.proteins, 1))
        scans = simulate.simulate_run(folder / "proteome.fasta", args.spectra, analyzer="orbitrap", seed=7)
        simulate.write_mzml(folder / "sim_orbitrap.mzML", scans, "orbitrap")
        return run(folder, args.repeat, args.limit, args.top_peaks)


if __name__ == "__main__":
    sys.exit(main())
