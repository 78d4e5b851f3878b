"""End-to-end search on built-in data, as a user runs it.

Writes a small random proteome as FASTA and 400 simulated MS2 spectra of its peptides
(every tenth a chimera of two co-isolated peptides) as mzML into a temporary folder, runs
`tovel-mesk search` on them, and reports how many of the simulated peptides the search
found at 1% FDR and where the report is."""

from __future__ import annotations

import csv
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synthetic  # noqa: E402
from mzml_writer import Ms2, write_mzml  # noqa: E402

N_PROTEINS = 400
N_SPECTRA = 400


def write_inputs(folder: Path) -> tuple[Path, Path, list[synthetic.SimulatedSpectrum]]:
    rng = np.random.default_rng(2024)
    proteins = synthetic.random_proteome(N_PROTEINS, seed=11)
    fasta = folder / "demo_proteome.fasta"
    with open(fasta, "w") as f:
        for i, sequence in enumerate(proteins, 1):
            f.write(f">sp|DEMO{i:05d}|DEMO{i:05d}_SYNTH Simulated protein {i}\n")
            for start in range(0, len(sequence), 60):
                f.write(sequence[start:start + 60] + "\n")
    records = synthetic.peptide_records(synthetic.tryptic_peptides(proteins))
    usable = [i for i, p in enumerate(records) if 800.0 <= p.mass <= 4000.0]
    simulated = []
    for n, index in enumerate(rng.choice(usable, size=N_SPECTRA, replace=False)):
        charge = int(rng.choice([2, 3], p=[0.7, 0.3]))
        group = [records[index]]
        if n % 10 == 0:
            partner = synthetic.co_isolated_partner(records, int(index), rng)
            if partner >= 0:
                group.append(records[partner])
        simulated.append(synthetic.simulate_spectrum(rng, f"scan={n + 1}", group, charge))
    run = folder / "demo_run.mzML"
    # The simulation works in the search core's units (m/z minus one proton); a file holds
    # the m/z an instrument observes.
    write_mzml(run, [Ms2(s.id, 6.0 * i, s.precursor_mz, s.charge, s.mz.astype(np.float64) + synthetic.PROTON,
                         s.intensity) for i, s in enumerate(simulated)])
    return fasta, run, simulated


def main() -> int:
    folder = Path(tempfile.mkdtemp(prefix="tovel-mesk-demo-"))
    fasta, run, simulated = write_inputs(folder)
    output = folder / "results"
    arguments = ["search", "--fasta", str(fasta), "--output", str(output), str(run)]
    print("$ tovel-mesk " + " ".join(arguments), flush=True)
    started = time.perf_counter()
    # The same interpreter as this script, so that the demo runs against the build it was started with
    # (-P: the installed package, not the source folder beside this script).
    status = subprocess.run([sys.executable, "-P", "-m", "tovel_mesk", *arguments]).returncode
    if status != 0:
        print(f"the search failed with exit status {status}")
        return 1
    elapsed = time.perf_counter() - started

    truth = {s.id: s.truth for s in simulated}
    found_first = found_second = 0
    with open(output / "psms.tsv", newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            if row["label"] != "1" or float(row["spectrum_q"]) > 0.01:
                continue
            peptides = truth.get(row["spec_id"], [])
            if peptides and row["sequence"] == peptides[0]:
                found_first += 1
            elif row["sequence"] in peptides[1:]:
                found_second += 1
    print(f"\nsimulated peptides found at 1% FDR: {found_first} of {len(simulated)} spectra"
          + (f" (and {found_second} co-isolated second peptides)" if found_second else ""))
    print(f"whole search, start-up included: {elapsed:.1f} s")
    print(f"inputs and results: {folder}")
    print(f"report: {output / 'report.html'}")
    return 0 if found_first >= 0.8 * len(simulated) else 1


if __name__ == "__main__":
    sys.exit(main())
