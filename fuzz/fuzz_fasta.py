"""Mutation fuzzing of FASTA digestion: seeded mutations of small FASTA files, plain and
gzip, fed to `tovel_mesk.digest_fasta` with varied settings (and some results on to
`build_database` and the peptide labels), and to the protein catalogue's native reader,
which must read each file as the reference reading does.

Fails on any exception other than the documented ValueError for bad content, on a crash
(the input being digested stays in the file named at start), on an input that takes longer
than --time-limit seconds, and on resident memory that keeps growing."""

from __future__ import annotations

import argparse
import collections
import faulthandler
import gzip
import os
import random
import sys
import tempfile
import threading
import time
import traceback

import tovel_mesk
from tovel_mesk.io import fasta

PAGE = os.sysconf("SC_PAGE_SIZE")
ENZYMES = ("trypsin", "trypsin/p", "lys-c", "lys-n", "arg-c", "asp-n", "glu-c", "chymotrypsin", "non-specific")
MODS = ("M:+15.9949", "protein-nterm:+42.010565", "Q@peptide-nterm:-17.026549", "STY:+79.966331",
        "peptide-cterm:-0.984016", "K@protein-cterm:+8.014199", "C:+3")
TOKENS = (b">", b"\n", b"\r\n", b"\r", b"*", b"X", b"B", b"U", b";", b" ", b"\t", b"\x00", b"\x01", b"\x7f",
          b"\xc2\x85", b"\xef\xbb\xbf", b"\xff", b"\xc3\xa9", b"rev_",
          b"_rev", b">rev_P9 decoy\n", b">sp|Q1|N_HUMAN\n", b"M", b"K", b"R", b"P", b"D", b"1", b"-", b"\x1f\x8b")


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def seed_files(rng: random.Random) -> list[bytes]:
    letters = "ACDEFGHIKLMNPQRSTVWY"

    def protein(n):
        return "".join(rng.choice(letters) for _ in range(n))

    seeds = [
        b">sp|P02769|ALBU_BOVIN Albumin OS=Bos taurus\nMKWVTFISLLLLFSSAYSRGVFRRDTHKSEIAHRFKDLGEEHFKGLVLIAF\n"
        b"SQYLQQCPFDEHVKLVNELTEFAKTCVADESHAGCEKSLHTLFGDELCKVASLRETYGDMADCCEKQEPERNECF\n",
        b">P1\nPEPTIDEKLSAMPLER\n>P2 second\nmkpeptidek\n\n>rev_P1\nREPLMASLKEDITPEP\n",
        b"; comment\r\n>P1\r\nACDEFGHIK*LMNPQR\r\n>P2_rev\r\nUUUKXXXKBBZJ*\r\n",
    ]
    for _ in range(5):
        records = []
        for k in range(rng.randint(1, 6)):
            seq = protein(rng.randint(1, 120))
            records.append(f">P{k} desc\n" + "\n".join(seq[i:i + 60] for i in range(0, len(seq), 60)) + "\n")
        seeds.append("".join(records).encode())
    return seeds


def mutate(data: bytes, rng: random.Random, seeds: list[bytes]) -> bytes:
    buf = bytearray(data)
    for _ in range(rng.randint(1, 4)):
        op = rng.randrange(10)
        pos = rng.randint(0, len(buf))
        if op == 0 and buf:
            buf[min(pos, len(buf) - 1)] ^= 1 << rng.randrange(8)
        elif op == 1 and buf:
            buf[min(pos, len(buf) - 1)] = rng.randrange(256)
        elif op == 2:
            buf[pos:pos] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
        elif op == 3:
            del buf[pos:pos + rng.randint(1, 32)]
        elif op == 4:
            end = min(len(buf), pos + rng.randint(1, 64))
            buf[pos:pos] = buf[pos:end] * rng.randint(1, 4)
        elif op == 5:
            buf[pos:pos] = rng.choice(TOKENS)
        elif op == 6:
            del buf[pos:]
        elif op == 8:                                          # a byte-order mark
            buf[0:0] = b"\xef\xbb\xbf"
        elif op == 9:                                          # CR or CRLF line ends
            buf[:] = buf.replace(b"\r\n", b"\n").replace(b"\n", rng.choice([b"\r", b"\r\n"]))
        else:
            other = rng.choice(seeds)
            cut = rng.randint(0, len(other))
            buf[pos:] = other[cut:]
    return bytes(buf)


def settings(rng: random.Random) -> dict:
    enzyme = rng.choice(ENZYMES)
    low = rng.randint(1, 8)
    return {
        "enzyme": enzyme,
        "missed_cleavages": rng.randint(0, 3),
        "min_length": low,
        "max_length": low + rng.randint(0, 6 if enzyme == "non-specific" else 40),
        "min_mass": rng.choice((0.0, 300.0, 500.0)),
        "max_mass": rng.choice((2000.0, 5000.0)),
        "fixed_mods": rng.sample(("C:+57.021464", "peptide-nterm:+229.162932"), rng.randint(0, 2)),
        "variable_mods": rng.sample(MODS, rng.randint(0, 3)),
        "max_variable_mods": rng.randint(0, 3),
        "remove_initiator_met": rng.random() < 0.5,
        "drop_decoys": rng.random() < 0.7,
    }


class Watchdog(threading.Thread):
    """Ends the process when one input runs longer than the limit, leaving the input on disk."""

    def __init__(self, limit: float, path: str):
        super().__init__(daemon=True)
        self.limit, self.path, self.started = limit, path, None

    def run(self):
        while True:
            time.sleep(0.2)
            started = self.started
            if started is not None and time.monotonic() - started > self.limit:
                print(f"fuzz_fasta: HANG: one input ran over {self.limit} s; it is in {self.path}", flush=True)
                os._exit(2)


def same_catalogue(path: str) -> None:
    """The native catalogue of the file equals the reference reading's."""
    try:
        data = fasta.read_fasta_bytes(path)
    except ValueError:
        return
    fast, slow = fasta.catalog_of(data), fasta.reference_catalog(data)
    assert (fast.accessions, fast.descriptions, fast.order, fast.entries) == \
        (slow.accessions, slow.descriptions, slow.order, slow.entries), "catalogue differs"
    assert dict(fast.sequences) == slow.sequences, "catalogue residues differ"


def exercise(path: str, options: dict, rng: random.Random) -> str:
    """Digests the file; returns how it ended ("ok" or the first words of the clean error)."""
    same_catalogue(path)
    try:
        digest = tovel_mesk.digest_fasta(path, **options)
    except ValueError as error:
        return "ValueError: " + " ".join(str(error).split(": ", 1)[-1].split()[:4])
    assert len(digest) == len(digest.masses) == len(digest.proteins)
    if len(digest) and rng.random() < 0.1:
        try:
            db = tovel_mesk.build_database(digest, bucket_size=rng.choice((1, 7, 8192)),
                                           generate_decoys=options["drop_decoys"])
        except ValueError:
            return "ok"  # a digest that kept the file's decoys
        count = len(db.peptides)
        for index in (0, count - 1):
            tovel_mesk.proforma(db, index)
            tovel_mesk.peptide_proteins(db, index)
    return "ok"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=100_000, help="inputs to try (default 100000)")
    parser.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    parser.add_argument("--time-limit", type=float, default=10.0, help="seconds one input may take (default 10)")
    parser.add_argument("--max-growth-mib", type=float, default=64.0,
                        help="resident memory growth allowed after warm-up (default 64 MiB)")
    args = parser.parse_args()

    rng = random.Random(args.seed)
    seeds = seed_files(rng)
    # A memory-backed folder when there is one: the input file is rewritten for every run.
    workdir = tempfile.mkdtemp(prefix="fuzz_fasta_", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    path = os.path.join(workdir, "input.fasta")
    print(f"fuzz_fasta: {args.runs} inputs, seed {args.seed}; the current input is kept in {path}", flush=True)
    faulthandler.enable()
    watchdog = Watchdog(args.time_limit, path)
    watchdog.start()

    outcomes: collections.Counter[str] = collections.Counter()
    warmup = min(2_000, args.runs // 10)
    baseline = None
    t0 = time.monotonic()
    for run in range(args.runs):
        data = mutate(rng.choice(seeds), rng, seeds)
        if rng.random() < 0.25:
            data = gzip.compress(data, compresslevel=1)
            if rng.random() < 0.3:
                data = mutate(data, rng, seeds)
        with open(path, "wb") as f:
            f.write(data)
        options = settings(rng)
        watchdog.started = time.monotonic()
        try:
            outcomes[exercise(path, options, rng)] += 1
        except BaseException:  # noqa: BLE001 - anything else is a finding
            traceback.print_exc()
            keep = os.path.join(workdir, f"failure-{run}.fasta")
            os.replace(path, keep)
            print(f"fuzz_fasta: FAILED on input {run} ({keep}) with settings {options}", flush=True)
            return 1
        watchdog.started = None
        if run + 1 == warmup:
            baseline = rss()

    growth = (rss() - baseline) / 2**20 if baseline is not None else 0.0
    elapsed = time.monotonic() - t0
    print(f"fuzz_fasta: {args.runs} inputs in {elapsed:.0f} s, no crash, hang or unexpected error; "
          f"resident memory grew {growth:.1f} MiB after warm-up")
    for outcome, count in outcomes.most_common(12):
        print(f"  {count:7d}  {outcome}")
    if growth > args.max_growth_mib:
        print(f"fuzz_fasta: FAILED: memory grew by more than {args.max_growth_mib} MiB")
        return 1
    os.remove(path)
    os.rmdir(workdir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
