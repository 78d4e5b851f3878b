"""How much the real-data figures owe to the draw of generated peptides behind the
expectation value (`log10_evalue`): the runs of `realdata.py`, searched with the same
settings as its `tovel-mesk search` command, once per seed of that draw, each run alone and
all six in one call.

For each search it prints, as mean [lowest-highest] over the seeds: spectra and unique
peptides at 1% FDR, entrapped spectra (proteins all Sorangium, false by construction), and
the spectra and peptides left when the entrapped matches are taken out; then Comet's figures
on the same runs. A difference from Comet smaller than the spread is not a result.

With `--fold-seeds 1,2,3,4,5` it searches once (the usual draw) and varies instead the seed
of rescoring's fold splits: per search, the accepted count (target rows of every rank with
spectrum_q <= 1%) for each seed, its spread (highest less lowest, over the mean; the target
is at most 3%), the entrapped rows for each seed, the processor seconds of error control
(rescoring, q-values, protein groups; mean over the seeds), the fold splits the ensemble
averaged for each seed, and the rescoring path taken. The deals are fixed by the
peptides and `tovel_mesk.fdr.rescore.DEAL_SALT`, not by the seed (which seeds mokapot
only): with `--deal-salts 0,1,2,3,4` the same table is printed for each salt of the deals
instead, which shows what the averaged score still owes to the draw of its deals.

Usage: python -P bench/null_seed_spread.py [--seeds usual,1,2,3,4,5] [--fold-seeds 1,2,3,4,5]
       [--deal-salts 0,1,2,3,4] [--threads N]
Needs Debian's openms-doc and comet-ms (`make realdata` installs them).
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import realdata  # noqa: E402  (the runs, the command's settings, Comet's runner and the counting)
from tovel_mesk.cli import build_parser  # noqa: E402
from tovel_mesk.config import load_settings  # noqa: E402
from tovel_mesk.search.database import prepare_database  # noqa: E402
from tovel_mesk.search.finish import finish_search  # noqa: E402
from tovel_mesk.search.scoring import make_scorer, search_file  # noqa: E402
from tovel_mesk.progress import Progress  # noqa: E402

MATCH_FIELDS = ["rank", "label", "spectrum_q", "file", "spec_id", "sequence", "proteins"]


def figures(accepted: dict) -> tuple[int, int, int, int, int]:
    """Spectra, peptides, entrapped spectra, and spectra and peptides without the entrapped."""
    kept = {k: v for k, v in accepted.items() if not realdata.entrapped(v[1])}
    return (len(accepted), len({seq for seq, _ in accepted.values()}), len(accepted) - len(kept),
            len(kept), len({seq for seq, _ in kept.values()}))


def summary(values: list[int]) -> str:
    if len(values) == 1:
        return f"{values[0]:>5}"
    return f"{statistics.mean(values):5.1f} [{min(values)}-{max(values)}]"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seeds", default="usual,1,2,3,4,5",
                        help="comma-separated seeds; 'usual' is the command's own draw")
    parser.add_argument("--fold-seeds", default="",
                        help="comma-separated seeds of rescoring's fold splits (then the null's draw is the usual)")
    parser.add_argument("--deal-salts", default="",
                        help="comma-separated salts of rescoring's fold deals (seed 1; the null's draw is the usual)")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()
    if args.deal_salts:
        return fold_seed_spread([int(s) for s in args.deal_salts.split(",")], args.threads, salts=True)
    if args.fold_seeds:
        return fold_seed_spread([int(s) for s in args.fold_seeds.split(",")], args.threads)
    seeds = [None if s == "usual" else int(s) for s in args.seeds.split(",")]
    examples = realdata.examples_folder()
    if examples is None or shutil.which("comet-ms") is None:
        print("null_seed_spread: needs Debian's openms-doc and comet-ms (make realdata installs them)")
        return 2
    runs = [examples / r for r in realdata.RUNS]
    fasta = examples / realdata.FASTA
    scans = {r.name: realdata.scan_numbers(r) for r in runs}
    searches = [(r.stem, [i]) for i, r in enumerate(runs)] + [("all six", list(range(len(runs))))]

    with tempfile.TemporaryDirectory(prefix="tovel-spread-") as tmp:
        work = Path(tmp)
        params = realdata.comet_params(work, realdata.targets_only(fasta, work), args.threads)
        comet = {r.stem: realdata.run_comet([r], params, work).accepted for r in runs}
        flags = vars(build_parser().parse_args(realdata.search_arguments(runs, fasta, work / "ours", args.threads)))
        flags.pop("command")
        settings = load_settings(flags)
    quiet = Progress(False)
    db, database_counts = prepare_database(settings, quiet)
    scorer = make_scorer(settings)

    ours: dict[str, list[tuple[int, ...]]] = {name: [] for name, _ in searches}
    for seed in seeds:
        files = [search_file(settings, scorer, db, run, i, null_seed=seed) for i, run in enumerate(runs)]
        for name, members in searches:
            psms = finish_search(settings, [files[i] for i in members], database_counts, quiet).psms
            best = psms.loc[(psms["rank"] == 1) & (psms["label"] == 1), MATCH_FIELDS]
            ours[name].append(figures(realdata.accepted_matches(best.to_dict("records"), scans)))
        print(f"  seed {'usual' if seed is None else seed}: done", file=sys.stderr)

    header = (f"{'search':<9} {'engine':<10} {'spectra':>16} {'peptides':>16} {'entrapped':>14} "
              f"{'spectra, not entrapped':>23} {'peptides, not entrapped':>24}")
    print(f"{len(seeds)} seeds of the null's draw: mean [lowest-highest]")
    print(header)
    print("-" * len(header))
    for name, members in searches:
        theirs = figures({k: v for i in members for k, v in comet[runs[i].stem].items()})
        for engine, rows in (("tovel-mesk", ours[name]), ("Comet", [theirs])):
            cells = [summary([row[j] for row in rows]) for j in range(5)]
            print(f"{name if engine == 'tovel-mesk' else '':<9} {engine:<10} {cells[0]:>16} {cells[1]:>16} "
                  f"{cells[2]:>14} {cells[3]:>23} {cells[4]:>24}")
    return 0


def fold_seed_spread(seeds: list[int], threads: int, salts: bool = False) -> int:
    """The accepted count, entrapment and rescoring path of each search for each fold seed
    (with `salts`: for each salt of the fold deals, at seed 1)."""
    import numpy as np
    import pandas as pd

    from tovel_mesk.fdr import rescore as rescoring
    from tovel_mesk.fdr.confidence import assign_confidence

    examples = realdata.examples_folder()
    if examples is None:
        print("null_seed_spread: needs Debian's openms-doc (make realdata installs it)")
        return 2
    runs = [examples / r for r in realdata.RUNS]
    fasta = examples / realdata.FASTA
    flags = vars(build_parser().parse_args(realdata.search_arguments(runs, fasta, Path("unused"), threads)))
    flags.pop("command")
    settings = load_settings(flags)
    quiet = Progress(False)
    db, _ = prepare_database(settings, quiet)
    scorer = make_scorer(settings)
    files = [search_file(settings, scorer, db, run, i) for i, run in enumerate(runs)]
    searches = [(r.stem, [i]) for i, r in enumerate(runs)] + [("all six", list(range(len(runs))))]
    what = "salts of the fold deals" if salts else "seeds of the fold splits"
    print(f"{len(seeds)} {what} ({', '.join(map(str, seeds))}); accepted = target rows of "
          f"every rank at spectrum_q <= {realdata.FDR:g}")
    per = "salt" if salts else "seed"
    header = (f"{'search':<9} {'accepted per ' + per:<28} {'spread':>7} {'entrapped per ' + per:<22} "
              f"{'cpu s':>6} {'splits per ' + per:<22} path")
    print(header)
    print("-" * 100)
    worst = 0.0
    for name, members in searches:
        psms = pd.concat([pd.DataFrame(files[i].columns) for i in members], ignore_index=True)
        psms["psm_id"] = np.arange(1, len(psms) + 1, dtype=np.uint64)
        counts, trapped, path, cpu, splits = [], [], "", [], []
        usual_salt = getattr(rescoring, "DEAL_SALT", 0)
        for seed in seeds:
            if salts:
                rescoring.DEAL_SALT, seed = seed, 1
            started = time.process_time()
            result = assign_confidence(psms, method=settings.rescore, decoy_tag=settings.decoy_tag, seed=seed,
                                       chimera=settings.chimera, fdr=realdata.FDR)
            cpu.append(time.process_time() - started)
            splits.append(result.rescoring.splits)
            out = result.psms
            chosen = out[(out["label"] == 1) & (out["spectrum_q"] <= realdata.FDR)]
            counts.append(len(chosen))
            trapped.append(int(chosen["proteins"].astype(str).map(realdata.entrapped).sum()))
            path = path or realdata.rescoring_path(result.rescoring.as_dict())
        rescoring.DEAL_SALT = usual_salt
        spread = (max(counts) - min(counts)) / max(statistics.mean(counts), 1.0)
        worst = max(worst, spread)
        print(f"{name:<9} {str(counts):<28} {100 * spread:>6.1f}% {str(trapped):<22} "
              f"{statistics.mean(cpu):>6.2f} {str(splits):<22} {path}")
    print(f"largest spread {100 * worst:.1f}% (target: at most 3% on every search)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
