"""Simulated isobaric-labelled runs with known reporter ratios and reagent impurities.

Each protein of the FASTA gets its own channel ratios; every MS2 spectrum of one of its
peptides carries b and y ions of the tagged peptide (tag on the N-terminus and on every
lysine), and reporter ions whose intensities are the protein's ratios, scaled, mixed by
the impurity matrix (`true` -> `matrix @ true`) and measured with a little noise. Each
MS2 scan follows an MS1 scan holding its precursor's isotope envelope and, for a chosen
share of the scans, an interfering ion inside the isolation window. With `ms3=True` the
reporters sit in an MS3 spectrum after each MS2 (whose precursor names the MS2 scan), as
in an SPS-MS3 run, and the MS2 carries none.

    python examples/isobaric_runs.py OUT_DIR --plex tmt10 --spectra 2000
"""

from __future__ import annotations

import argparse
import base64
import sys
import zlib
from dataclasses import dataclass, field
from pathlib import Path
from xml.sax.saxutils import quoteattr

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import synthetic  # noqa: E402

PROTON = synthetic.PROTON
ISOTOPE = 1.0033548

#: The reporter m/z of each plex (singly charged ions), and the tag's mass.
PLEX_MZ = {
    "tmt6": ([126.127726, 127.124761, 128.134436, 129.131471, 130.141145, 131.138180], 229.162932),
    "tmt10": ([126.127726, 127.124761, 127.131081, 128.128116, 128.134436, 129.131471, 129.137790,
               130.134825, 130.141145, 131.138180], 229.162932),
    "itraq4": ([114.111228, 115.108263, 116.111618, 117.114973], 144.102063),
}


@dataclass
class Spectrum:
    id: str
    ms_level: int
    rt_seconds: float
    mz: np.ndarray
    intensity: np.ndarray
    precursor_mz: float | None = None
    charge: int | None = None
    ref: str | None = None
    filter: str = ""
    half_width: float = 1.0


@dataclass
class Truth:
    """What a run holds: the ratios of each protein (accession -> channel ratios), the
    accession of each MS2 spectrum, and the impurity matrix used."""

    ratios: dict[str, np.ndarray] = field(default_factory=dict)
    spectrum_protein: dict[str, str] = field(default_factory=dict)
    matrix: np.ndarray | None = None


def impurity_percentages(n: int, seed: int = 3) -> list[list[float]]:
    """Lot-sheet percentages (-2, -1, +1, +2) of `n` channels, as vendor sheets show them."""
    rng = np.random.default_rng(seed)
    return [[round(float(rng.uniform(0, 0.5)), 2), round(float(rng.uniform(0.5, 6)), 2),
             round(float(rng.uniform(0.5, 8)), 2), round(float(rng.uniform(0, 0.6)), 2)] for _ in range(n)]


def write_impurities(path: Path, channels: list[str], percentages: list[list[float]]) -> Path:
    lines = ["channel\t-2\t-1\tmonoisotopic\t+1\t+2"]
    for name, (m2, m1, p1, p2) in zip(channels, percentages):
        lines.append(f"{name}\t{m2}\t{m1}\t{100 - m2 - m1 - p1 - p2:.2f}\t{p1}\t{p2}")
    path.write_text("\n".join(lines) + "\n")
    return path


def mixing_matrix(reporter_mz: list[float], percentages: list[list[float]]) -> np.ndarray:
    """A[i, j]: share of channel j's signal seen at channel i (13C shifts; a shift that lands
    on no channel is lost)."""
    n = len(reporter_mz)
    matrix = np.zeros((n, n))
    mz = np.asarray(reporter_mz)
    for j, row in enumerate(percentages):
        matrix[j, j] = 1 - sum(row) / 100
        for shift, share in zip((-2, -1, 1, 2), row):
            distance = np.abs(mz - (mz[j] + shift * ISOTOPE))
            if distance.min() <= 0.01:
                matrix[int(distance.argmin()), j] += share / 100
    return matrix


def tagged(sequence: str, tag: float) -> synthetic.Peptide:
    mods = [(synthetic.CARBAMIDOMETHYL if r == "C" else 0.0) + (tag if r == "K" else 0.0) for r in sequence]
    mods[0] += tag
    mass = sum(synthetic.RESIDUE_MASS[r] for r in sequence) + sum(mods) + synthetic.WATER
    return synthetic.Peptide(sequence, mods, mass)


def simulate(folder: Path, *, plex: str = "tmt10", spectra: int = 600, proteins: int = 40, seed: int = 11,
             impurities: bool = True, ms3: bool = False, interfered: float = 0.0,
             ratio_noise: float = 0.0) -> tuple[Path, Path, Path | None, Truth]:
    """Writes proteins.fasta, run.mzML and (with `impurities`) impurities.tsv into `folder`;
    returns their paths and the truth. `interfered`: share of spectra with an equally intense
    interfering ion in their isolation window. `ratio_noise`: relative noise of each
    observed reporter intensity."""
    rng = np.random.default_rng(seed)
    reporter_mz, tag = PLEX_MZ[plex]
    n = len(reporter_mz)
    sequences = synthetic.random_proteome(proteins, seed=seed, mean_length=300.0)
    fasta = folder / "proteins.fasta"
    fasta.write_text("".join(f">sp|Q{i:04d}|Q{i:04d}_TEST protein {i}\n{s}\n" for i, s in enumerate(sequences)))
    truth = Truth()
    pool = []
    for i, protein in enumerate(sequences):
        accession = f"sp|Q{i:04d}|Q{i:04d}_TEST"
        truth.ratios[accession] = np.round(rng.uniform(0.2, 1.0, n), 3)
        for peptide in synthetic.tryptic_peptides([protein], missed_cleavages=0, min_length=7, max_length=25):
            record = tagged(peptide, tag)
            if 800.0 <= record.mass <= 3500.0:
                pool.append((accession, record))
    # Peptides shared by proteins are left out: their truth would be a mixture.
    owners: dict[str, set[str]] = {}
    for accession, record in pool:
        owners.setdefault(record.sequence, set()).add(accession)
    pool = [(a, r) for a, r in pool if len(owners[r.sequence]) == 1]
    percentages = impurity_percentages(n, seed) if impurities else [[0.0] * 4 for _ in range(n)]
    matrix = mixing_matrix(reporter_mz, percentages)
    truth.matrix = matrix
    scans: list[Spectrum] = []
    number = 0
    for k in range(spectra):
        accession, peptide = pool[int(rng.integers(len(pool)))]
        charge = int(rng.choice([2, 3]))
        precursor = peptide.mass / charge + PROTON
        rt = 2.0 * k
        number += 1
        envelope = precursor + np.arange(-1, 4) * ISOTOPE / charge
        heights = np.array([0.0, 1.0, 0.8, 0.4, 0.15]) * 1e7
        ms1_mz = list(envelope[1:])
        ms1_int = list(heights[1:])
        if rng.random() < interfered:
            ms1_mz.append(precursor + 0.37 / charge)
            ms1_int.append(float(heights[1:].sum()))
        background = rng.uniform(300, 1500, 60)
        ms1_mz += list(background)
        ms1_int += list(rng.lognormal(10, 1, 60))
        order = np.argsort(ms1_mz)
        scans.append(Spectrum(f"controllerType=0 controllerNumber=1 scan={number}", 1, rt,
                              np.asarray(ms1_mz)[order], np.asarray(ms1_int)[order],
                              filter="FTMS + p NSI Full ms [350.00-1800.00]"))
        simulated = synthetic.simulate_spectrum(rng, "", [peptide], charge)
        true = truth.ratios[accession] * rng.lognormal(12, 0.5)
        observed = matrix @ true
        if ratio_noise:
            observed = observed * (1 + rng.normal(0, ratio_noise, n))
        reporter_obs = np.asarray(reporter_mz) * (1 + rng.normal(0, 2.0, n) * 1e-6)
        number += 1
        ms2_id = f"controllerType=0 controllerNumber=1 scan={number}"
        mz = simulated.mz.astype(np.float64) + PROTON
        intensity = simulated.intensity.astype(np.float64)
        if not ms3:
            mz = np.concatenate([mz, reporter_obs])
            intensity = np.concatenate([intensity, observed])
        order = np.argsort(mz)
        truth.spectrum_protein[ms2_id] = accession
        scans.append(Spectrum(ms2_id, 2, rt + 0.3, mz[order], intensity[order], precursor, charge,
                              filter=("ITMS + c NSI d Full ms2 " if ms3 else "FTMS + p NSI d Full ms2 ")
                              + f"{precursor:.2f}@" + ("cid35.00" if ms3 else "hcd35.00")))
        if ms3:
            number += 1
            noise_mz = rng.uniform(140, 600, 30)
            mz3 = np.concatenate([reporter_obs, noise_mz])
            int3 = np.concatenate([observed, rng.lognormal(8, 0.5, 30)])
            order = np.argsort(mz3)
            scans.append(Spectrum(f"controllerType=0 controllerNumber=1 scan={number}", 3, rt + 0.6,
                                  mz3[order], int3[order], precursor, charge, ref=ms2_id,
                                  filter=f"FTMS + p NSI sps d Full ms3 {precursor:.2f}@cid35.00 hcd55.00"))
    run = folder / "run.mzML"
    write_mzml(run, scans)
    impurity_file = None
    if impurities:
        names = ["126", "127N", "127C", "128N", "128C", "129N", "129C", "130N", "130C", "131"] if plex == "tmt10" else \
            [str(round(m)) for m in reporter_mz]
        impurity_file = write_impurities(folder / "impurities.tsv", names, percentages)
    return fasta, run, impurity_file, truth


def _array(values: np.ndarray, accession: str, name: str) -> str:
    data = base64.b64encode(zlib.compress(np.asarray(values, dtype="<f8").tobytes())).decode()
    return (f'<binaryDataArray encodedLength="{len(data)}">'
            f'<cvParam cvRef="MS" accession="{accession}" name="{name}" value=""/>'
            '<cvParam cvRef="MS" accession="MS:1000523" name="64-bit float" value=""/>'
            '<cvParam cvRef="MS" accession="MS:1000574" name="zlib compression" value=""/>'
            f'<binary>{data}</binary></binaryDataArray>')


def write_mzml(path: Path, scans: list[Spectrum]) -> None:
    """MS1, MS2 and MS3 spectra with filter strings and, for MS3, the MS2 they come from."""
    parts = ['<?xml version="1.0" encoding="utf-8"?>\n<mzML xmlns="http://psi.hupo.org/ms/mzml" version="1.1.0">'
             '<cvList count="1"><cv id="MS" fullName="PSI-MS"/></cvList>'
             f'<run id="isobaric"><spectrumList count="{len(scans)}" defaultDataProcessingRef="DP1">']
    for index, s in enumerate(scans):
        precursor = ""
        if s.precursor_mz is not None:
            ref = f" spectrumRef={quoteattr(s.ref)}" if s.ref else ""
            charge = (f'<cvParam cvRef="MS" accession="MS:1000041" name="charge state" value="{s.charge}"/>'
                      if s.charge else "")
            precursor = (
                f'<precursorList count="1"><precursor{ref}><isolationWindow>'
                f'<cvParam cvRef="MS" accession="MS:1000827" name="isolation window target m/z" '
                f'value="{s.precursor_mz!r}"/>'
                f'<cvParam cvRef="MS" accession="MS:1000828" name="isolation window lower offset" '
                f'value="{s.half_width!r}"/>'
                f'<cvParam cvRef="MS" accession="MS:1000829" name="isolation window upper offset" '
                f'value="{s.half_width!r}"/></isolationWindow>'
                '<selectedIonList count="1"><selectedIon>'
                f'<cvParam cvRef="MS" accession="MS:1000744" name="selected ion m/z" value="{s.precursor_mz!r}"/>'
                f'{charge}</selectedIon></selectedIonList></precursor></precursorList>')
        parts.append(
            f'<spectrum index="{index}" id={quoteattr(s.id)} defaultArrayLength="{len(s.mz)}">'
            f'<cvParam cvRef="MS" accession="MS:1000511" name="ms level" value="{s.ms_level}"/>'
            '<cvParam cvRef="MS" accession="MS:1000127" name="centroid spectrum" value=""/>'
            '<scanList count="1"><scan>'
            f'<cvParam cvRef="MS" accession="MS:1000016" name="scan start time" value="{s.rt_seconds!r}" '
            'unitCvRef="UO" unitAccession="UO:0000010" unitName="second"/>'
            f'<cvParam cvRef="MS" accession="MS:1000512" name="filter string" value={quoteattr(s.filter)}/>'
            f'</scan></scanList>{precursor}<binaryDataArrayList count="2">'
            + _array(s.mz, "MS:1000514", "m/z array") + _array(s.intensity, "MS:1000515", "intensity array")
            + "</binaryDataArrayList></spectrum>")
    parts.append("</spectrumList></run></mzML>\n")
    Path(path).write_text("".join(parts), encoding="utf-8")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", type=Path)
    parser.add_argument("--plex", default="tmt10", choices=sorted(PLEX_MZ))
    parser.add_argument("--spectra", type=int, default=2000)
    parser.add_argument("--ms3", action="store_true")
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    fasta, run, impurities, _ = simulate(args.out, plex=args.plex, spectra=args.spectra, ms3=args.ms3)
    print(fasta, run, impurities)
    return 0


if __name__ == "__main__":
    sys.exit(main())
