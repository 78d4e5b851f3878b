"""Runs with MS1 scans for the quantification tests: peptides of a generated proteome elute
as Gaussian peaks (their isotope envelopes in centroided or profile MS1 scans), each
identified by one MS2 spectrum at its apex; half the MS2 spectra come from peptides that
are not in the FASTA, so error control sees wrong targets. Known abundances per run let a
test check the quantities."""

from __future__ import annotations

import base64
import math
import zlib
from dataclasses import dataclass
from pathlib import Path
from xml.sax.saxutils import quoteattr

import numpy as np

from _cluster_support import synthetic

ISOTOPE = 1.0033548
#: Elution peak width (sigma, minutes), MS1 scan spacing (minutes) and peptide spacing.
SIGMA, MS1_STEP, SPACING = 0.15, 0.05, 0.8


@dataclass
class Scan:
    id: str
    level: int
    rt_minutes: float
    mz: np.ndarray
    intensity: np.ndarray
    precursor_mz: float = 0.0
    charge: int = 0
    profile: bool = False


def _array(values, accession: str, name: str) -> str:
    data = base64.b64encode(zlib.compress(np.asarray(values, dtype="<f8").tobytes())).decode()
    return (f'<binaryDataArray encodedLength="{len(data)}"><cvParam cvRef="MS" accession="MS:1000523" '
            f'name="64-bit float"/><cvParam cvRef="MS" accession="MS:1000574" name="zlib compression"/>'
            f'<cvParam cvRef="MS" accession="{accession}" name="{name}"/><binary>{data}</binary></binaryDataArray>')


def write_mzml(path: Path, scans: list[Scan]) -> Path:
    """MS1 and MS2 scans as one mzML run (arrays zlib-compressed 64-bit floats)."""
    parts = ['<?xml version="1.0" encoding="utf-8"?>\n<mzML xmlns="http://psi.hupo.org/ms/mzml" version="1.1.0">'
             '<run id="quant"><spectrumList count="%d">' % len(scans)]
    for index, s in enumerate(scans):
        kind = "MS:1000128\" name=\"profile spectrum" if s.profile else "MS:1000127\" name=\"centroid spectrum"
        precursor = ""
        if s.level == 2:
            precursor = ('<precursorList count="1"><precursor><selectedIonList count="1"><selectedIon>'
                         f'<cvParam cvRef="MS" accession="MS:1000744" name="selected ion m/z" value="{s.precursor_mz!r}"/>'
                         f'<cvParam cvRef="MS" accession="MS:1000041" name="charge state" value="{s.charge}"/>'
                         '</selectedIon></selectedIonList></precursor></precursorList>')
        parts.append(
            f'<spectrum index="{index}" id={quoteattr(s.id)} defaultArrayLength="{len(s.mz)}">'
            f'<cvParam cvRef="MS" accession="MS:1000511" name="ms level" value="{s.level}"/>'
            f'<cvParam cvRef="MS" accession="{kind}"/>'
            '<scanList count="1"><scan><cvParam cvRef="MS" accession="MS:1000016" name="scan start time" '
            f'value="{s.rt_minutes * 60.0!r}" unitCvRef="UO" unitAccession="UO:0000010" unitName="second"/>'
            f'</scan></scanList>{precursor}<binaryDataArrayList count="2">'
            + _array(s.mz, "MS:1000514", "m/z array") + _array(s.intensity, "MS:1000515", "intensity array")
            + "</binaryDataArrayList></spectrum>")
    parts.append("</spectrumList></run></mzML>\n")
    path.write_text("".join(parts), encoding="utf-8")
    return path


def envelope(mass: float, peaks: int = 3) -> np.ndarray:
    lam = mass / 1800.0
    values = np.array([math.exp(-lam) * lam ** k / math.factorial(k) for k in range(peaks)])
    return values / values.sum()


def write_quant_inputs(folder: Path, abundances: list[dict[int, float]], *, peptides: int = 30,
                       profile: bool = False, seed: int = 5) -> tuple[Path, list[Path], list[synthetic.Peptide]]:
    """A FASTA and one run per entry of `abundances` (protein index -> abundance factor;
    proteins not named: 1). Every run holds the same `peptides` peptides of the FASTA (at
    the same retention times), eluting one after another, each at charge 2 with one MS2
    spectrum at its apex. Returns the FASTA, the runs and the peptides used, in elution order."""
    proteins = synthetic.random_proteome(12, seed=seed, mean_length=300.0)
    fasta = folder / "proteins.fasta"
    fasta.write_text("".join(f">sp|Q{i:04d}|Q{i:04d}_TEST quant protein {i}\n{p}\n" for i, p in enumerate(proteins)))
    rng = np.random.default_rng(seed)
    chosen: list[tuple[synthetic.Peptide, int]] = []
    seen: set[str] = set()
    for index, protein in enumerate(proteins):
        candidates = [p for p in synthetic.peptide_records(synthetic.tryptic_peptides([protein], missed_cleavages=0))
                      if 900.0 <= p.mass <= 2500.0 and p.sequence not in seen]
        for p in candidates[: max(1, peptides // len(proteins) + 1)]:
            seen.add(p.sequence)
            chosen.append((p, index))
    chosen = chosen[:peptides]
    rng.shuffle(chosen)
    absent = synthetic.peptide_records(synthetic.tryptic_peptides(synthetic.random_proteome(20, seed=seed + 50)))
    absent = [p for p in absent if 900.0 <= p.mass <= 2500.0]
    runs = []
    for run, factors in enumerate(abundances):
        run_rng = np.random.default_rng(100 + run)
        apex = [2.0 + SPACING * i for i in range(len(chosen))]
        height = [1e6 * (1 + (i % 5)) * factors.get(protein, 1.0) for i, (_, protein) in enumerate(chosen)]
        end = apex[-1] + 2.0
        events: list[Scan] = []
        for k in range(int(end / MS1_STEP)):
            rt = k * MS1_STEP
            mz, intensity = [], []
            for (peptide, _), top, h in zip(chosen, apex, height):
                shape = math.exp(-0.5 * ((rt - top) / SIGMA) ** 2)
                if shape < 1e-3:
                    continue
                for j, share in enumerate(envelope(peptide.mass)):
                    mz.append((peptide.mass + j * ISOTOPE) / 2 + synthetic.PROTON)
                    intensity.append(h * shape * share)
            mz += list(run_rng.uniform(350.0, 1500.0, 40))
            intensity += list(run_rng.lognormal(8.0, 0.5, 40))
            mz_arr, in_arr = np.asarray(mz), np.asarray(intensity)
            order = np.argsort(mz_arr)
            mz_arr, in_arr = mz_arr[order], in_arr[order]
            if profile:
                mz_arr, in_arr = _profile(mz_arr, in_arr)
            events.append(Scan(f"scan={len(events) + 1}", 1, rt, mz_arr, in_arr, profile=profile))
        for i, ((peptide, _), top) in enumerate(zip(chosen, apex)):
            for offset, source in ((0.01, peptide), (0.4, absent[int(run_rng.integers(len(absent)))])):
                s = synthetic.simulate_spectrum(run_rng, "", [source], 2)
                events.append(Scan("", 2, top + offset, s.mz.astype(np.float64) + synthetic.PROTON,
                                   s.intensity.astype(np.float64), s.precursor_mz, 2))
        events.sort(key=lambda s: (s.rt_minutes, s.level))
        for number, scan in enumerate(events, 1):
            scan.id = f"controllerType=0 controllerNumber=1 scan={number}"
        runs.append(write_mzml(folder / f"quant{run}.mzML", events))
    return fasta, runs, [p for p, _ in chosen]


def _profile(mz: np.ndarray, intensity: np.ndarray, points: int = 7, step: float = 0.002):
    """Each centroid spread over `points` profile points (a triangle) around its m/z."""
    offsets = (np.arange(points) - points // 2) * step
    weights = 1.0 - np.abs(np.arange(points) - points // 2) / (points // 2 + 1)
    out_mz = (mz[:, None] + offsets[None, :]).ravel()
    out_in = (intensity[:, None] * weights[None, :] / weights.sum()).ravel()
    order = np.argsort(out_mz, kind="stable")
    return out_mz[order], out_in[order]
