"""Mutation fuzzing of the native decoder of mzML binary arrays.

Seed arrays (32- and 64-bit floats and integers, zlib-compressed or not, empty and long)
are encoded, then mutated by a seeded random loop: base64 characters flipped, replaced by
bytes outside the alphabet or by non-ASCII characters, padding added or removed,
whitespace inserted, the compressed bytes flipped or cut, declared lengths changed. Each
input is decoded natively and by the reference decoder.

Fails on: a crash of the interpreter (the script dies), any exception other than
`SpectraFileError`, a native result that differs from the reference (values or error),
and resident memory that grows by more than the limit between the warm-up and the end.

    python -P fuzz/fuzz_binary_arrays.py --runs 100000
"""

from __future__ import annotations

import argparse
import base64
import random
import resource
import sys
import zlib

import numpy as np

from tovel_mesk import SpectraFileError
from tovel_mesk.io import mzml

DTYPES = [np.dtype("<f4"), np.dtype("<f8"), np.dtype("<i4"), np.dtype("<i8")]
MEMORY_LIMIT_MB = 64


def _fail(reason: str) -> SpectraFileError:
    return SpectraFileError("fuzz.mzML", "scan=1", reason)


def decode(entry: tuple, native: bool):
    try:
        values = mzml._decode(entry, "m/z array", "0", _fail, native=native)
    except SpectraFileError as error:
        return ("error", str(error))
    return ("values", values.dtype.str, values.tobytes())


def mutate(rng: random.Random, text: str) -> str:
    chars = list(text)
    for _ in range(rng.choice([1, 1, 2, 3, 8])):
        choice = rng.randrange(8)
        at = rng.randrange(len(chars) + 1)
        if choice == 0 and chars:
            chars[min(at, len(chars) - 1)] = rng.choice("ABCDEFGHabcdefgh0123+/=")
        elif choice == 1:
            chars.insert(at, rng.choice(["!", "\x00", "é", "\ud800", "\x1c", "-", "_", "~"]))
        elif choice == 2:
            chars.insert(at, rng.choice([" ", "\n", "\r\n", "\t", "\x0b", "\x0c", "  \n"]))
        elif choice == 3:
            del chars[at:at + rng.choice([1, 2, 3, 4, 50])]
        elif choice == 4:
            chars.extend(rng.choice(["=", "==", "===", "A=", "AA==", "QR=="]))
        elif choice == 5:  # the decoded bytes flipped or cut, re-encoded
            try:
                data = bytearray(base64.b64decode("".join(chars)))
            except ValueError:
                continue
            if data:
                if rng.random() < 0.5:
                    data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
                else:
                    del data[rng.randrange(len(data)):]
            chars = list(base64.b64encode(bytes(data)).decode())
        elif choice == 6:
            chars = chars[: rng.randrange(len(chars) + 1)]
    return "".join(chars)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=100000)
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()
    rng = random.Random(options.seed)
    warm_up = min(2000, options.runs // 10)
    baseline = 0
    for run in range(options.runs):
        if run == warm_up:
            baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        dtype = rng.choice(DTYPES)
        n = rng.choice([0, 1, 2, 7, rng.randrange(1, 3000)])
        raw = rng.randbytes(n * dtype.itemsize)
        compressed = rng.random() < 0.5
        text = base64.b64encode(zlib.compress(raw) if compressed else raw).decode()
        if rng.random() < 0.8:
            text = mutate(rng, text)
        declared = str(max(0, n + rng.choice([0, 0, 0, -1, 1, 1000])))
        entry = (text, dtype, mzml.ZLIB if compressed else mzml.NO_COMPRESSION, declared, None)
        native, reference = decode(entry, True), decode(entry, False)
        if native != reference:
            print(f"run {run}: native {native[:2]} differs from the reference {reference[:2]} on "
                  f"{entry[:2]!r} (declared {declared}, {'zlib' if compressed else 'plain'})", file=sys.stderr)
            return 1
    grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - baseline) / 1024
    if grown > MEMORY_LIMIT_MB:
        print(f"resident memory grew by {grown:.0f} MB after the warm-up", file=sys.stderr)
        return 1
    print(f"binary arrays: {options.runs} inputs, native and reference agree; memory grew by {grown:.1f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
