"""Finding decoys already in a FASTA file: seconds to read the file's proteins and to find
the tag, on generated files of 20,000 target proteins (with 20,000 decoys under a prefix,
under a suffix, and none), and on any FASTA files given as arguments.

    .venv/bin/python bench/bench_fasta_decoys.py [FASTA ...]
"""

from __future__ import annotations

import random
import sys
import tempfile
import time
from pathlib import Path

from tovel_mesk.io import fasta

RESIDUES = "ACDEFGHIKLMNPQRSTVWY"


def generated(path: Path, count: int, tag: str | None, prefix: bool) -> Path:
    rng = random.Random(5)
    lines = []
    entries = []
    for i in range(count):
        sequence = "M" + "".join(rng.choices(RESIDUES, k=rng.randint(100, 900)))
        accession = f"sp|Q{i:05d}|PROT{i}_HUMAN"
        entries.append((accession, sequence))
        if tag is not None:
            decoy = sequence[::-1] if i % 2 else "".join(rng.sample(sequence, len(sequence)))
            entries.append(((tag + accession) if prefix else (accession + tag), decoy))
    for accession, sequence in entries:
        lines.append(f">{accession} Generated protein OS=Homo sapiens")
        lines.extend(sequence[k:k + 60] for k in range(0, len(sequence), 60))
    path.write_text("\n".join(lines) + "\n")
    return path


def measure(path: Path) -> None:
    started = time.perf_counter()
    catalog = fasta._read_catalog(path)
    read = time.perf_counter() - started
    started = time.perf_counter()
    found = fasta.find_decoy_tag(catalog.accessions, [catalog.sequences[a] for a in catalog.accessions])
    search = time.perf_counter() - started
    what = f"{found.position} {found.tag!r}, {found.entries:,} entries" if found else "no tag"
    print(f"{path.name:<60} {len(catalog.accessions):>7,} entries  read {read:5.2f} s  find {search:5.2f} s  "
          f"({what})")


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        for name, tag, prefix in (("prefix", "REV__", True), ("suffix", "_REVERSED", False), ("none", None, True)):
            measure(generated(Path(folder) / f"generated_20000_{name}.fasta", 20_000, tag, prefix))
    for argument in sys.argv[1:]:
        measure(Path(argument))


if __name__ == "__main__":
    main()
