"""Mutation fuzzing of the spectra readers (mzML and MGF).

Seed files (mzML indexed and plain, zlib-compressed and not, 32- and 64-bit arrays; MGF)
are mutated by a seeded random loop: byte flips, deletions, insertions of markup and
controlled-vocabulary terms, duplicated spans, numbers replaced by extreme values,
truncation, splices of two seeds, byte-order marks and CR line ends, gzip. Each input is
read to the end by `SpectraReader`.

Fails on: any exception other than `SpectraFileError`, or a warning; a spectrum handed out that the core
would mis-score (checked by `check_spectra`, plus finite peaks of positive intensity, precursors
of positive finite m/z and a charge the search takes) or counts that don't add up; a crash of the interpreter; an input that takes longer than the time
limit; resident memory that grows by more than the limit between the warm-up and the end.

The inputs run in a child process; the parent watches it and writes the failing input to
the output folder, from where `--replay FILE` reads it again.

    python -P fuzz/fuzz_spectra.py --runs 100000
"""

from __future__ import annotations

import argparse
import gzip
import os
import random
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from _spectra_files import Ion, Scan, mgf_text, mzml_text  # noqa: E402

INTERESTING_NUMBERS = [b"0", b"-1", b"1", b"2", b"255", b"256", b"-0", b"nan", b"inf", b"-inf", b"1e309",
                       b"4294967296", b"18446744073709551616", b"99999999999999999999", b"2.5", b"", b" ",
                       b"1e-320", b"0x10", b"1_0", b"1e308", b"3.5e38", b"3.4e38", b"1e-50", b"200", b"101"]
TOKENS = [
    b"<spectrum>", b"</spectrum>", b'<spectrum id="x" defaultArrayLength="1">', b"<binary>", b"</binary>",
    b"<binaryDataArray>", b"</binaryDataArrayList>", b"<precursor>", b"<selectedIon>", b"<scan>",
    b"<referenceableParamGroupList><referenceableParamGroup id=\"g\">"
    b"<cvParam accession=\"MS:1000523\"/></referenceableParamGroup></referenceableParamGroupList>",
    b'<referenceableParamGroupRef ref="g"/>', b'<referenceableParamGroupRef ref="none"/>',
    b"<!DOCTYPE mzML [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]>", b"&b;", b"&amp;",
    b"<![CDATA[AAAA]]>", b"<!-- c -->", b"<?pi x?>", b"\x00", b"\xff\xfe", b"\xc3\x28", b"=", b"==", b"\n",
    b"BEGIN IONS\n", b"END IONS\n", b"PEPMASS=", b"CHARGE=", b"CHARGE=2+ and 3+", b"TITLE=", b"RTINSECONDS=",
    b"1e5 1e5\n", b"nan nan\n", b"#", b"\r\n", b"\t",
]
ACCESSIONS = [b"MS:1000511", b"MS:1000514", b"MS:1000515", b"MS:1000521", b"MS:1000523", b"MS:1000519",
              b"MS:1000522", b"MS:1000574", b"MS:1000576", b"MS:1002312", b"MS:1002314", b"MS:1002746",
              b"MS:1000744", b"MS:1000041", b"MS:1000633", b"MS:1000042", b"MS:1000827", b"MS:1000828",
              b"MS:1000829", b"MS:1000016", b"MS:1000285", b"MS:1000579", b"UO:0000010", b"UO:0000031",
              b"UO:0000028", b"UO:9999999"]
_NUMBER = re.compile(rb"-?\d+(?:\.\d+)?(?:e[+-]?\d+)?")
_ACCESSION = re.compile(rb"(?:MS|UO):\d{7}")
_START_TAG = re.compile(rb"<(\w+)(?:\s[^<>]*)?>")


def seeds() -> list[tuple[str, bytes]]:
    """The seed files: (suffix, content)."""
    rng = random.Random(1)

    def scans(n_peaks: int) -> list[Scan]:
        return [
            Scan("scan=1", [rng.uniform(300, 900) for _ in range(n_peaks)], [rng.uniform(0, 1e5) for _ in range(n_peaks)],
                 ms_level=1, rt_seconds=30.0, tic=5e5),
            Scan("scan=2", [rng.uniform(100, 900) for _ in range(n_peaks)], [rng.uniform(0, 1e3) for _ in range(n_peaks)],
                 precursors=[Ion(445.1, 2, 1e4, target=445.3, lower=1.0, upper=1.0)], rt_seconds=31.5),
            Scan("scan=3", [101.0, 102.0, 103.0], [1.0, 0.0, 3.0],
                 precursors=[Ion(512.5, possible_charges=(2, 3))]),
        ]

    out = []
    for indexed in (True, False):
        for compress in (False, True):
            for bits in ((64, 32), (32, 64)):
                out.append((".mzML", mzml_text(scans(6), indexed=indexed, compress=compress, mz_bits=bits[0],
                                               intensity_bits=bits[1], rt_unit=rng.choice(["second", "minute"]))))
    out.append((".mzML", mzml_text(scans(4), namespace=False)))
    out.append((".mgf", mgf_text(scans(5)[1:], header="CHARGE=2+\n#comment")))
    out.append((".mgf", mgf_text(scans(3)[1:], newline="\r\n")))
    return out


def mutate(rng: random.Random, data: bytes, corpus: list[tuple[str, bytes]]) -> bytes:
    data = bytearray(data)
    for _ in range(rng.choice([1, 1, 1, 2, 2, 3, 4, 8])):
        size = len(data)
        choice = rng.randrange(17)
        at = rng.randrange(size + 1)
        if choice == 0 and size:                               # flip bits
            data[min(at, size - 1)] ^= 1 << rng.randrange(8)
        elif choice == 1 and size:                             # random byte
            data[min(at, size - 1)] = rng.randrange(256)
        elif choice == 2:                                      # delete a span
            del data[at:at + rng.choice([1, 2, 4, 16, 100, 1000])]
        elif choice == 3:                                      # insert markup or a term
            data[at:at] = rng.choice(TOKENS + ACCESSIONS)
        elif choice == 4 and size:                             # duplicate a span
            span = data[at:at + rng.choice([8, 64, 512, 4096])]
            where = rng.randrange(len(data) + 1)
            data[where:where] = span * rng.choice([1, 2, 10])
        elif choice == 5:                                      # truncate
            del data[at:]
        elif choice in (6, 7, 11, 12):                         # a number becomes an extreme value
            numbers = list(_NUMBER.finditer(data))
            if numbers:
                match = rng.choice(numbers)
                data[match.start():match.end()] = rng.choice(INTERESTING_NUMBERS)
        elif choice in (8, 13):                                # another accession
            terms = list(_ACCESSION.finditer(data))
            if terms:
                match = rng.choice(terms)
                data[match.start():match.end()] = rng.choice(ACCESSIONS)
        elif choice == 9:                                      # splice with another seed
            other = rng.choice(corpus)[1]
            cut = rng.randrange(len(other) + 1)
            data[at:] = other[cut:]
        elif choice == 14:                                     # a whole element copied into another
            starts = list(_START_TAG.finditer(data))
            if starts:
                first = rng.choice(starts)
                close = data.find(b"</" + first.group(1) + b">", first.end())
                if close >= 0:
                    element = bytes(data[first.start():close + len(first.group(1)) + 3])
                    into = rng.choice(starts).end()
                    data[into:into] = element
        elif choice == 15:                                     # a byte-order mark
            data[0:0] = b"\xef\xbb\xbf"
        elif choice == 16:                                     # CR or CRLF line ends
            data[:] = data.replace(b"\r\n", b"\n").replace(b"\n", rng.choice([b"\r", b"\r\n"]))
        else:                                                  # damage base64 text
            binaries = [m.end() for m in re.finditer(rb"<binary>", data)]
            if binaries:
                start = rng.choice(binaries)
                data[start:start + rng.randrange(1, 12)] = bytes(rng.choice(b"A+/=*\n -") for _ in range(rng.randrange(1, 12)))
    return bytes(data)


def make_input(seed: int, index: int, corpus) -> tuple[str, bytes, dict]:
    """Input `index` of the run with `seed`: always the same for the same pair."""
    rng = random.Random(f"{seed}:{index}")
    suffix, data = rng.choice(corpus)
    data = mutate(rng, data, corpus)
    if rng.random() < 0.1:
        suffix = rng.choice([".mzML", ".mgf", ""])
    if rng.random() < 0.05:
        data = gzip.compress(data, mtime=0)
        data = data[:rng.randrange(len(data) + 1)] if rng.random() < 0.3 else data
        suffix += ".gz"
    options = {"ms_level": rng.choice([1, 2, 2, 2]), "top_peaks": rng.choice([1, 2, 150, None]),
               "chunk_size": rng.choice([1, 2, 1000])}
    return suffix, data, options


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def read_one(path: str, options: dict) -> None:
    """Reads one input to the end; raises AssertionError for anything but a clean result or
    a SpectraFileError."""
    import numpy as np

    from tovel_mesk import SpectraFileError, SpectraReader, check_spectra
    from tovel_mesk.io.spectra import MAX_PRECURSOR_CHARGE
    try:
        reader = SpectraReader(path, **options)
        for chunk in reader:
            assert 1 <= len(chunk) <= options["chunk_size"], "chunk size"
            check_spectra(chunk)
            for spectrum in chunk:
                peaks = np.array(spectrum.peaks, dtype=np.float32).reshape(-1, 2)
                assert peaks.size and np.all(np.isfinite(peaks)) and np.all(peaks[:, 1] > 0), "kept peaks"
                for precursor in spectrum.precursors:
                    assert 0 < precursor.mz < float("inf"), f"precursor m/z {precursor.mz}"
                    assert precursor.charge is None or 1 <= precursor.charge <= MAX_PRECURSOR_CHARGE, "charge"
    except SpectraFileError:
        return
    counts = reader.counts
    assert counts.read == counts.kept + sum(counts.skipped.values()), f"counts {counts}"


def worker(args) -> int:
    warnings.simplefilter("error")   # a warning from the readers is a case they do not handle
    corpus = seeds()
    folder = tempfile.mkdtemp(prefix="fuzz-spectra-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    warm_up = min(2000, max(args.runs // 10, 1))
    rss_start = None
    try:
        for index in range(args.runs):
            if index == warm_up:
                rss_start = rss_kib()
            suffix, data, options = make_input(args.seed, index, corpus)
            path = os.path.join(folder, "input" + suffix)
            with open(path, "wb") as f:
                f.write(data)
            try:
                read_one(path, options)
            except Exception:
                print(f"fail {index}", flush=True)
                traceback.print_exc()
                return 1
            os.remove(path)
            print(f"ok {index}", flush=True)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print(f"done {rss_start or rss_kib()} {rss_kib()}", flush=True)
    return 0


def save(args, index: int, why: str) -> None:
    suffix, data, options = make_input(args.seed, index, seeds())
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    path = out / f"seed{args.seed}-input{index}{suffix}"
    path.write_bytes(data)
    print(f"{why}: input {index} ({options}) written to {path}; replay with --replay {path} "
          f'--options "{options}"', file=sys.stderr)


def parent(args) -> int:
    started = time.monotonic()
    command = [sys.executable, "-P", os.path.abspath(__file__), "--worker", "--runs", str(args.runs),
               "--seed", str(args.seed)]
    child = subprocess.Popen(command, stdout=subprocess.PIPE, text=True, bufsize=1)
    last = -1
    try:
        while True:
            ready, _, _ = select.select([child.stdout], [], [], args.timeout)
            if not ready:
                child.kill()
                child.wait()
                save(args, last + 1, f"hang (no answer in {args.timeout} s)")
                return 1
            line = child.stdout.readline()
            if not line:
                break
            word, *rest = line.split()
            if word == "ok":
                last = int(rest[0])
                if (last + 1) % 10000 == 0:
                    print(f"fuzz: {last + 1} inputs, {time.monotonic() - started:.0f} s", flush=True)
            elif word == "fail":
                child.wait()
                save(args, int(rest[0]), "unexpected result")
                return 1
            elif word == "done":
                start_kib, end_kib = int(rest[0]), int(rest[1])
                growth = (end_kib - start_kib) / 1024
                print(f"fuzz: {last + 1} inputs without a crash, hang or unexpected error in "
                      f"{time.monotonic() - started:.0f} s; resident memory {start_kib / 1024:.0f} MiB after "
                      f"the warm-up, {end_kib / 1024:.0f} MiB at the end")
                if growth > args.max_growth:
                    print(f"fuzz: memory grew by {growth:.0f} MiB (limit {args.max_growth} MiB)", file=sys.stderr)
                    return 1
        code = child.wait()
    except KeyboardInterrupt:
        child.send_signal(signal.SIGINT)
        child.wait()
        raise
    if code != 0:
        save(args, last + 1, f"crash (exit status {code})")
        return 1
    return 0


def replay(args) -> int:
    import ast
    read_one(args.replay, ast.literal_eval(args.options))
    print("replay: clean")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=100000, help="number of inputs (default 100000)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the mutation loop (default 0)")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds allowed per input (default 10)")
    parser.add_argument("--max-growth", type=float, default=32.0,
                        help="MiB of resident memory growth allowed after the warm-up (default 32)")
    parser.add_argument("--out", default=os.path.join(tempfile.gettempdir(), "fuzz-spectra-findings"),
                        help="folder for failing inputs")
    parser.add_argument("--replay", help="read one saved input again, in this process")
    parser.add_argument("--options", default="{'ms_level': 2, 'top_peaks': 150, 'chunk_size': 1000}",
                        help="reader options of --replay")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.replay:
        return replay(args)
    return worker(args) if args.worker else parent(args)


if __name__ == "__main__":
    sys.exit(main())
