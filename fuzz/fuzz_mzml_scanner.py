"""Differential mutation fuzzing of the mzML reader's native scanner against its reference path.

Seed files (those of `fuzz_spectra.py`, plus random files of the scanner's test: parameter
groups, 32/64-bit float and integer arrays, zlib, empty arrays, missing optional terms, CDATA,
comments, entities, several binary elements) are mutated by the same operations as
`fuzz_spectra.py`, then read twice, by `MzmlReader` with the scanner and without it, in chunks
of random sizes. Fails when the two differ: records (id, level, time, precursors, peaks to the
bit, or the error asking for the peaks raises), MS1 scans handed on, MS1 scans left out, the
stated count, or the error of the pass (a pass that fails on malformed XML may hand on more
spectra before the error than the reference, which reports the fault before the spectra it
parsed ahead of it); on any exception other than `SpectraFileError`; on resident memory that
grows by more than the limit after the warm-up. A crash of the interpreter shows as the
process's death: `--replay N` reads input N of the seed again.

    python -P fuzz/fuzz_mzml_scanner.py --runs 20000
"""

from __future__ import annotations

import argparse
import faulthandler
import io
import random
import resource
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE.parent / "tests" / "package" / "io"))

from fuzz_spectra import mutate, seeds  # noqa: E402
from test_mzml_scanner import disagreement, random_mzml  # noqa: E402

from tovel_mesk.errors import SpectraFileError  # noqa: E402
from tovel_mesk.io import mzml  # noqa: E402

MEMORY_LIMIT_MB = 64


def outcome(data: bytes, native: bool, ms_level, with_ms1: bool):
    handed = []

    def sink(rt, mz, intensity, *, centroided, scan_id):
        handed.append((repr(rt), mz.dtype.str, mz.tobytes(), intensity.dtype.str, intensity.tobytes(),
                       centroided, scan_id))

    reader = mzml.MzmlReader("run.mzML", io.BytesIO(data), ms_level, sink if with_ms1 else None, native=native)
    records = []
    try:
        for raw in reader:
            try:
                mz, intensity = raw.peaks()
                peaks = (mz.dtype.str, mz.tobytes(), intensity.dtype.str, intensity.tobytes())
            except SpectraFileError as error:
                peaks = ("error", str(error))
            records.append((raw.id, raw.ms_level, repr(raw.rt), repr(raw.tic), repr(raw.precursors), raw.scan, peaks))
    except SpectraFileError as error:
        records.append(("error", str(error)))
    return records, handed, reader.ms1_left_out, reader.total


def make_input(corpus, seed: int, index: int):
    rng = random.Random(f"{seed}:{index}")
    data = rng.choice(corpus)
    if rng.random() < 0.9:
        data = mutate(rng, data, [(".mzML", c) for c in corpus])
    options = (rng.choice([None, 1, 2, 2]), rng.random() < 0.5, rng.choice([64, 333, 4096, 1 << 16]))
    return data, options


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--replay", type=int, default=None, help="read input N of the seed again")
    parser.add_argument("--out", type=Path, default=Path("fuzz-failures"))
    options = parser.parse_args()
    faulthandler.enable()
    corpus = [data for suffix, data in seeds() if suffix == ".mzML"]
    corpus += [random_mzml(seed, faults=seed % 3 == 0) for seed in range(40)]
    indices = [options.replay] if options.replay is not None else range(options.runs)
    warm_up = min(1000, options.runs // 10)
    baseline = 0
    scanned = 0
    for n, index in enumerate(indices):
        if n == warm_up:
            baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        data, (ms_level, with_ms1, chunk) = make_input(corpus, options.seed, index)
        mzml.SCAN_BYTES = chunk
        try:
            expected = outcome(data, False, ms_level, with_ms1)
            got = outcome(data, True, ms_level, with_ms1)
        except Exception:  # noqa: BLE001 - any other exception is a finding
            import traceback  # noqa: PLC0415

            traceback.print_exc()
            why = "an exception other than SpectraFileError"
        else:
            why = disagreement(data, got, expected)
            scanned += 1
        if why:
            options.out.mkdir(exist_ok=True)
            saved = options.out / f"scanner-{options.seed}-{index}.mzML"
            saved.write_bytes(data)
            print(f"input {index}: {why} (ms_level {ms_level}, MS1 {with_ms1}, chunk {chunk}); saved as {saved}",
                  file=sys.stderr)
            return 1
    grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - baseline) / 1024
    if options.replay is None and grown > MEMORY_LIMIT_MB:
        print(f"resident memory grew by {grown:.0f} MB after the warm-up", file=sys.stderr)
        return 1
    print(f"mzML scanner: {len(indices)} inputs, the scanner and the reference agree; memory grew by {grown:.1f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
