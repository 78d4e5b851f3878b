"""Realistic simulated data with known truth, for benchmarks and measurements that real
files cannot give: a proteome of human size with families of similar sequences, and runs of
tandem spectra as an Orbitrap (high-resolution fragments, HCD) or a linear ion trap
(unit-resolution fragments, CID) would record them.

    python bench/simulate.py proteome --proteins 20000 --out human_like.fasta
    python bench/simulate.py run --fasta human_like.fasta --spectra 20000 --analyzer orbitrap \
        --out run.mzML          # also writes run.truth.tsv

What makes a run hard, as real ones are:
- noise peaks outnumber fragment peaks 2 to 6 times; 30-75% of the fragment ions are missing,
  and the signal's strength varies from spectrum to spectrum, so that weak spectra hold only a
  few ions above the noise;
- fragment isotope peaks and water/ammonia losses;
- a systematic mass offset plus a spread, on precursors and on fragments;
- about 10% of precursors picked at the +1 isotope peak;
- chimeric spectra (a second peptide co-isolated);
- a share of spectra from peptides that are not in the database (from another proteome);
- optional MS1 scans with the isotope envelopes of eluting peptides (`--ms1`).

Peaks are written as observed m/z (not less a proton). The truth file has one row per MS2
spectrum: its native id, scan number, the true peptide (with `M[+15.9949]` for oxidised
methionine), whether it is in the database, its charge, the isotope peak picked, and the
co-isolated peptide if any.
"""

from __future__ import annotations

import argparse
import base64
import csv
import math
import re
import sys
import zlib
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

PROTON = 1.00727646688
WATER = 18.0105646837
AMMONIA = 17.0265491
ISOTOPE = 1.0033548378
CARBAMIDOMETHYL = 57.021464
OXIDATION = 15.994915

RESIDUE = {
    "A": 71.037113805, "C": 103.009184505, "D": 115.026943065, "E": 129.042593135, "F": 147.068413945,
    "G": 57.021463735, "H": 137.058911875, "I": 113.084064015, "K": 128.094963050, "L": 113.084064015,
    "M": 131.040484645, "N": 114.042927470, "P": 97.052763875, "Q": 128.058577540, "R": 156.101111050,
    "S": 87.032028435, "T": 101.047678505, "V": 99.068413945, "W": 186.079312980, "Y": 163.063328575,
}
#: Residue frequencies (percent) of reviewed human protein sequences.
FREQUENCY = {
    "A": 7.02, "R": 5.64, "N": 3.59, "D": 4.73, "C": 2.30, "Q": 4.77, "E": 7.10, "G": 6.57, "H": 2.63,
    "I": 4.33, "L": 9.97, "K": 5.72, "M": 2.13, "F": 3.65, "P": 6.31, "S": 8.33, "T": 5.36, "W": 1.22,
    "Y": 2.66, "V": 5.97,
}
#: Retention coefficients (minutes per residue, roughly) for a composition model of elution.
HYDROPHOBICITY = {
    "A": 0.8, "R": -1.3, "N": -1.2, "D": -0.9, "C": 0.3, "Q": -0.9, "E": -0.7, "G": -0.3, "H": -1.3,
    "I": 4.3, "L": 4.8, "K": -1.9, "M": 2.9, "F": 5.3, "P": 0.1, "S": -0.6, "T": -0.2, "W": 6.1,
    "Y": 2.4, "V": 2.9,
}
_LETTERS = np.array(list(FREQUENCY))
_WEIGHTS = np.array(list(FREQUENCY.values())) / sum(FREQUENCY.values())


# ----------------------------------------------------------------------------------------
# Proteomes

def _random_sequences(rng: np.random.Generator, lengths: np.ndarray) -> list[str]:
    residues = rng.choice(_LETTERS, size=int(lengths.sum()), p=_WEIGHTS).view(f"<U{1}")
    text = "".join(residues.tolist())
    out, start = [], 0
    for length in lengths:
        out.append(text[start:start + int(length)])
        start += int(length)
    return out


def _mutate(rng: np.random.Generator, sequence: str, rate: float) -> str:
    """A family member: point substitutions at `rate`, and a few short insertions or deletions."""
    chars = np.array(list(sequence))
    hits = rng.random(chars.size) < rate
    chars[hits] = rng.choice(_LETTERS, size=int(hits.sum()), p=_WEIGHTS)
    out = "".join(chars.tolist())
    for _ in range(int(rng.poisson(2))):
        at = int(rng.integers(1, max(2, len(out) - 1)))
        if rng.random() < 0.5:
            out = out[:at] + "".join(rng.choice(_LETTERS, size=int(rng.integers(1, 6)), p=_WEIGHTS)) + out[at:]
        else:
            out = out[:at] + out[at + int(rng.integers(1, 6)):]
    return out


def generate_proteome(n_proteins: int, seed: int = 1, mean_length: float = 560.0,
                      family_share: float = 0.35) -> list[tuple[str, str, str]]:
    """(accession, description, sequence) of `n_proteins` proteins: random sequences of
    natural composition and a gamma-distributed length, of which `family_share` are members
    of families (copies of an earlier protein with 2-25% of residues substituted and a few
    indels), as paralogues and isoforms are. Every sequence starts with M."""
    rng = np.random.default_rng(seed)
    lengths = np.clip(rng.gamma(2.2, mean_length / 2.2, n_proteins), 60, 8000).astype(int)
    fresh = _random_sequences(rng, lengths)
    proteins = []
    for i in range(n_proteins):
        if i > 10 and rng.random() < family_share:
            parent = proteins[int(rng.integers(0, i))][2]
            sequence = _mutate(rng, parent, float(rng.uniform(0.02, 0.25)))
        else:
            sequence = fresh[i]
        sequence = "M" + sequence[1:]
        accession = f"Q{i:05d}"
        proteins.append((accession, f"SIM{i}_HUMAN Simulated protein {i} OS=Homo sapiens OX=9606", sequence))
    return proteins


def write_fasta(path: Path, proteins: list[tuple[str, str, str]]) -> None:
    with open(path, "w") as f:
        for accession, description, sequence in proteins:
            f.write(f">sp|{accession}|{description}\n")
            for i in range(0, len(sequence), 60):
                f.write(sequence[i:i + 60] + "\n")


def read_fasta(path: Path) -> list[str]:
    sequences, current = [], []
    with open(path) as f:
        for line in f:
            if line.startswith(">"):
                if current:
                    sequences.append("".join(current))
                current = []
            else:
                current.append(line.strip())
    if current:
        sequences.append("".join(current))
    return sequences


_CLEAVE = re.compile(r"(?<=[KR])(?!P)")


def tryptic_peptides(sequences: list[str], missed: int = 2, min_length: int = 7, max_length: int = 30) -> list[str]:
    """Distinct fully tryptic peptides of standard residues."""
    seen: set[str] = set()
    for protein in sequences:
        pieces = _CLEAVE.split(protein)
        for a in range(len(pieces)):
            text = ""
            for b in range(a, min(a + missed + 1, len(pieces))):
                text += pieces[b]
                if len(text) > max_length:
                    break
                if len(text) >= min_length:
                    seen.add(text)
    return sorted(p for p in seen if all(r in RESIDUE for r in p))


# ----------------------------------------------------------------------------------------
# Spectra

@dataclass
class Analyzer:
    name: str                 # "orbitrap" or "ion-trap"
    filter_prefix: str        # filter string's analyzer
    activation: str           # "hcd28.00" or "cid35.00"
    fragment_ppm: float       # spread of fragment m/z (ppm), when high resolution
    fragment_da: float        # spread of fragment m/z (Da), when low resolution
    fragment_offset_ppm: float
    cv_accession: str
    cv_name: str


ANALYZERS = {
    "orbitrap": Analyzer("orbitrap", "FTMS", "hcd28.00", 3.0, 0.0, 1.0, "MS:1000484", "orbitrap"),
    "ion-trap": Analyzer("ion-trap", "ITMS", "cid35.00", 0.0, 0.15, 0.0, "MS:1000083",
                         "radial ejection linear ion trap"),
}


@dataclass
class Simulated:
    """One simulated peptide ion."""
    sequence: str
    oxidised: tuple[int, ...]
    mass: float
    rt: float                # minutes, apex
    in_database: bool
    abundance: float

    @property
    def proforma(self) -> str:
        out = []
        for i, r in enumerate(self.sequence):
            out.append(r + ("[+15.9949]" if i in self.oxidised else ""))
        return "".join(out)


@dataclass
class Scan:
    native_id: str
    ms_level: int
    rt_seconds: float
    mz: np.ndarray
    intensity: np.ndarray
    filter_string: str
    precursor_mz: float = 0.0
    charge: int = 0
    truth: dict = field(default_factory=dict)


def _residue_masses(peptide: Simulated) -> np.ndarray:
    steps = np.array([RESIDUE[r] + (CARBAMIDOMETHYL if r == "C" else 0.0) for r in peptide.sequence])
    for i in peptide.oxidised:
        steps[i] += OXIDATION
    return steps


def peptide_mass(sequence: str, oxidised: tuple[int, ...] = ()) -> float:
    return (sum(RESIDUE[r] + (CARBAMIDOMETHYL if r == "C" else 0.0) for r in sequence) + OXIDATION * len(oxidised)
            + WATER)


def retention_time(sequence: str, gradient: float) -> float:
    """A composition model of elution, scaled to a gradient of `gradient` minutes."""
    score = sum(HYDROPHOBICITY[r] for r in sequence) / math.sqrt(len(sequence))
    return float(np.clip(gradient * (0.5 + score / 30.0), 2.0, gradient - 2.0))


def _fragments(rng: np.random.Generator, peptide: Simulated, charge: int, analyzer: Analyzer,
               missing: float, scale: float) -> tuple[list[float], list[float], int]:
    """b and y ions (with isotope peaks and neutral losses) of one peptide, observed m/z."""
    steps = _residue_masses(peptide)
    b = np.cumsum(steps[:-1])
    y = peptide.mass - b
    mz, inten, kept = [], [], 0
    for series, bonus in ((b, 0.7), (y, 1.0)):
        for neutral in series:
            for c in range(1, min(2, max(charge - 1, 1)) + 1):
                if rng.random() < (missing if c == 1 else 1 - (1 - missing) / 2):
                    continue
                kept += 1
                base = scale * bonus * rng.lognormal(9.0, 0.9) / c
                value = neutral / c + PROTON
                if analyzer.fragment_ppm:
                    value *= 1 + (analyzer.fragment_offset_ppm + rng.normal(0, analyzer.fragment_ppm)) * 1e-6
                else:
                    value += rng.normal(0, analyzer.fragment_da)
                mz.append(value)
                inten.append(base)
                if neutral > 400 and rng.random() < 0.7:       # 13C isotope peak
                    mz.append(value + ISOTOPE / c)
                    inten.append(base * min(0.9, neutral / 2500))
                if rng.random() < 0.15:                          # water or ammonia loss
                    mz.append(value - (WATER if rng.random() < 0.6 else AMMONIA) / c)
                    inten.append(base * rng.uniform(0.1, 0.4))
    return mz, inten, kept


def simulate_run(fasta: Path, n_spectra: int, *, analyzer: str = "orbitrap", seed: int = 7,
                 absent_share: float = 0.3, chimeric_share: float = 0.15, isotope_share: float = 0.1,
                 precursor_offset_ppm: float = 1.5, precursor_ppm: float = 2.0, oxidation_share: float = 0.15,
                 gradient: float = 90.0, ms1: bool = False) -> list[Scan]:
    """MS2 scans (and MS1 scans when `ms1`) of `n_spectra` precursors, in retention order."""
    rng = np.random.default_rng(seed)
    kind = ANALYZERS[analyzer]
    targets = tryptic_peptides(read_fasta(fasta))
    others = tryptic_peptides([s for _, _, s in generate_proteome(max(200, n_spectra // 20), seed + 1000)])
    target_set = set(targets)
    others = [p for p in others if p not in target_set]

    def draw(in_db: bool) -> Simulated:
        pool = targets if in_db else others
        sequence = pool[int(rng.integers(0, len(pool)))]
        ox = tuple(i for i, r in enumerate(sequence) if r == "M" and rng.random() < oxidation_share)
        return Simulated(sequence, ox, peptide_mass(sequence, ox), 0.0, in_db, float(rng.lognormal(0, 1)))

    ions = []
    for _ in range(n_spectra):
        p = draw(rng.random() >= absent_share)
        p.rt = retention_time(p.sequence, gradient) + float(rng.normal(0, 1.5))
        ions.append(p)
    ions.sort(key=lambda p: p.rt)
    masses = np.array([p.mass for p in ions])
    order_by_mass = np.argsort(masses)

    scans: list[Scan] = []
    number = 0
    ms1_every = 10
    for index, peptide in enumerate(ions):
        if ms1 and index % ms1_every == 0:
            number += 1
            scans.append(_ms1_scan(rng, number, peptide.rt, ions))
        number += 1
        charge = int(rng.choice([2, 3, 4], p=[0.55, 0.35, 0.10]))
        length_factor = len(peptide.sequence) / 12
        if length_factor > 1.8 and charge == 2 and rng.random() < 0.6:
            charge = 3
        missing = float(rng.uniform(0.3, 0.75))
        signal = float(rng.lognormal(0.0, 0.8))         # weak and strong spectra
        mz, inten, kept = _fragments(rng, peptide, charge, kind, missing, signal)
        truth = {"peptide": peptide.proforma, "in_database": int(peptide.in_database), "charge": charge,
                 "isotope": 0, "partner": "", "true_ions": kept}
        selected = peptide.mass / charge + PROTON
        if rng.random() < isotope_share:
            selected += ISOTOPE / charge
            truth["isotope"] = 1
        if rng.random() < chimeric_share:
            partner = _partner(rng, ions, masses, order_by_mass, index, charge)
            if partner is not None:
                pz = charge if rng.random() < 0.7 else max(2, charge - 1)
                m2, i2, _ = _fragments(rng, partner, pz, kind, float(rng.uniform(0.4, 0.7)), float(rng.uniform(0.3, 0.8)))
                mz += m2
                inten += i2
                truth["partner"] = partner.proforma
        selected *= 1 + (precursor_offset_ppm + rng.normal(0, precursor_ppm)) * 1e-6
        top = peptide.mass + PROTON
        n_noise = int(len(mz) * rng.uniform(2.0, 6.0)) + 50
        mz += list(rng.uniform(110.0, max(top, 300.0), n_noise))
        inten += list(rng.lognormal(8.3, 1.1, n_noise))
        mz_arr = np.asarray(mz)
        keep = (mz_arr > 100.0) & (mz_arr < 2000.0)
        order = np.argsort(mz_arr[keep])
        mz_arr = mz_arr[keep][order]
        in_arr = np.asarray(inten)[keep][order]
        filter_string = (f"{kind.filter_prefix} + c NSI d Full ms2 {selected:.4f}@{kind.activation} "
                         f"[{max(50.0, selected / 4):.2f}-{min(2000.0, top + 50):.2f}]")
        scans.append(Scan(f"controllerType=0 controllerNumber=1 scan={number}", 2, peptide.rt * 60 + index * 1e-3,
                          mz_arr, in_arr, filter_string, selected, charge, truth))
    return scans


def _partner(rng, ions, masses, order_by_mass, index, charge) -> Simulated | None:
    """Another peptide whose precursor m/z falls within the +-1 m/z isolation window."""
    window = 1.0 * charge
    lo = np.searchsorted(masses[order_by_mass], masses[index] - window)
    hi = np.searchsorted(masses[order_by_mass], masses[index] + window)
    choices = [int(order_by_mass[i]) for i in range(lo, hi) if int(order_by_mass[i]) != index]
    return ions[choices[int(rng.integers(0, len(choices)))]] if choices else None


def isotope_envelope(mass: float, peaks: int = 4) -> np.ndarray:
    """Relative abundances of the first isotope peaks of a peptide of `mass` (averagine-like
    Poisson approximation), normalised to sum 1."""
    lam = mass / 1800.0
    values = np.array([math.exp(-lam) * lam ** k / math.factorial(k) for k in range(peaks)])
    return values / values.sum()


def _ms1_scan(rng, number: int, rt: float, ions: list[Simulated]) -> Scan:
    """Isotope envelopes (charge 2) of every peptide eluting at `rt` (Gaussian elution,
    sigma 0.15 min), plus noise peaks."""
    mz, inten = [], []
    for p in ions:
        shape = math.exp(-0.5 * ((p.rt - rt) / 0.15) ** 2)
        if shape < 1e-3:
            continue
        for charge in (2,):
            for k, share in enumerate(isotope_envelope(p.mass)):
                mz.append((p.mass + k * ISOTOPE) / charge + PROTON)
                inten.append(1e7 * p.abundance * shape * share * rng.lognormal(0, 0.05))
    n_noise = 300
    mz += list(rng.uniform(300, 1600, n_noise))
    inten += list(rng.lognormal(10, 1, n_noise))
    order = np.argsort(mz)
    return Scan(f"controllerType=0 controllerNumber=1 scan={number}", 1, rt * 60, np.asarray(mz)[order],
                np.asarray(inten)[order], "FTMS + p NSI Full ms [300.00-1600.00]")


# ----------------------------------------------------------------------------------------
# Writing

def _array(values: np.ndarray, accession: str, name: str) -> str:
    data = base64.b64encode(zlib.compress(np.asarray(values, dtype="<f8").tobytes())).decode()
    return (f'<binaryDataArray encodedLength="{len(data)}">'
            '<cvParam cvRef="MS" accession="MS:1000523" name="64-bit float" value=""/>'
            '<cvParam cvRef="MS" accession="MS:1000574" name="zlib compression" value=""/>'
            f'<cvParam cvRef="MS" accession="{accession}" name="{name}" value=""/>'
            f'<binary>{data}</binary></binaryDataArray>')


def write_mzml(path: Path, scans: list[Scan], analyzer: str) -> None:
    """An mzML run whose MS2 scans reference an instrument configuration with the fragment
    analyzer, and carry Thermo-style filter strings."""
    kind = ANALYZERS[analyzer]
    head = ('<?xml version="1.0" encoding="utf-8"?>\n<mzML xmlns="http://psi.hupo.org/ms/mzml" version="1.1.0">'
            '<cvList count="2"><cv id="MS" fullName="PSI-MS" URI="psi-ms.obo"/><cv id="UO" fullName="Unit Ontology" '
            'URI="uo.obo"/></cvList><fileDescription><fileContent>'
            '<cvParam cvRef="MS" accession="MS:1000580" name="MSn spectrum" value=""/></fileContent></fileDescription>'
            '<softwareList count="1"><software id="simulate" version="1"/></softwareList>'
            '<instrumentConfigurationList count="2">'
            '<instrumentConfiguration id="IC1"><componentList count="1"><analyzer order="1">'
            '<cvParam cvRef="MS" accession="MS:1000484" name="orbitrap" value=""/></analyzer></componentList>'
            '</instrumentConfiguration>'
            f'<instrumentConfiguration id="IC2"><componentList count="1"><analyzer order="1">'
            f'<cvParam cvRef="MS" accession="{kind.cv_accession}" name="{kind.cv_name}" value=""/></analyzer>'
            '</componentList></instrumentConfiguration></instrumentConfigurationList>'
            '<dataProcessingList count="1"><dataProcessing id="DP1"><processingMethod order="0" softwareRef="simulate">'
            '<cvParam cvRef="MS" accession="MS:1000544" name="Conversion to mzML" value=""/></processingMethod>'
            '</dataProcessing></dataProcessingList>'
            f'<run id="{path.stem}" defaultInstrumentConfigurationRef="IC1">'
            f'<spectrumList count="{len(scans)}" defaultDataProcessingRef="DP1">')
    with open(path, "w", encoding="utf-8") as f:
        f.write(head)
        for index, s in enumerate(scans):
            config = "IC2" if s.ms_level == 2 else "IC1"
            f.write(f'<spectrum index="{index}" id="{s.native_id}" defaultArrayLength="{len(s.mz)}">'
                    f'<cvParam cvRef="MS" accession="MS:1000511" name="ms level" value="{s.ms_level}"/>'
                    '<cvParam cvRef="MS" accession="MS:1000127" name="centroid spectrum" value=""/>'
                    f'<scanList count="1"><cvParam cvRef="MS" accession="MS:1000795" name="no combination" value=""/>'
                    f'<scan instrumentConfigurationRef="{config}">'
                    f'<cvParam cvRef="MS" accession="MS:1000016" name="scan start time" value="{s.rt_seconds:.4f}" '
                    'unitCvRef="UO" unitAccession="UO:0000010" unitName="second"/>'
                    f'<cvParam cvRef="MS" accession="MS:1000512" name="filter string" value="{s.filter_string}"/>'
                    '</scan></scanList>')
            if s.ms_level == 2:
                activation = ('<cvParam cvRef="MS" accession="MS:1000422" name="beam-type collision-induced '
                              'dissociation" value=""/>' if analyzer == "orbitrap" else
                              '<cvParam cvRef="MS" accession="MS:1000133" name="collision-induced dissociation" '
                              'value=""/>')
                f.write('<precursorList count="1"><precursor><isolationWindow>'
                        f'<cvParam cvRef="MS" accession="MS:1000827" name="isolation window target m/z" '
                        f'value="{s.precursor_mz:.6f}"/>'
                        '<cvParam cvRef="MS" accession="MS:1000828" name="isolation window lower offset" value="1.0"/>'
                        '<cvParam cvRef="MS" accession="MS:1000829" name="isolation window upper offset" value="1.0"/>'
                        '</isolationWindow><selectedIonList count="1"><selectedIon>'
                        f'<cvParam cvRef="MS" accession="MS:1000744" name="selected ion m/z" value="{s.precursor_mz:.6f}"/>'
                        f'<cvParam cvRef="MS" accession="MS:1000041" name="charge state" value="{s.charge}"/>'
                        f'</selectedIon></selectedIonList><activation>{activation}</activation></precursor>'
                        '</precursorList>')
            f.write('<binaryDataArrayList count="2">' + _array(s.mz, "MS:1000514", "m/z array")
                    + _array(s.intensity, "MS:1000515", "intensity array") + '</binaryDataArrayList></spectrum>')
        f.write("</spectrumList></run></mzML>\n")


def write_truth(path: Path, scans: list[Scan]) -> None:
    with open(path, "w", newline="") as f:
        w = csv.writer(f, delimiter="\t")
        w.writerow(["spec_id", "scan", "peptide", "in_database", "charge", "isotope", "partner", "true_ions"])
        for s in scans:
            if s.ms_level == 2:
                t = s.truth
                w.writerow([s.native_id, s.native_id.rsplit("=", 1)[1], t["peptide"], t["in_database"], t["charge"],
                            t["isotope"], t["partner"], t["true_ions"]])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("proteome", help="write a generated proteome as FASTA")
    p.add_argument("--proteins", type=int, default=20000)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--out", type=Path, required=True)
    r = commands.add_parser("run", help="write a simulated run as mzML, with its truth beside it")
    r.add_argument("--fasta", type=Path, required=True)
    r.add_argument("--spectra", type=int, default=20000)
    r.add_argument("--analyzer", choices=sorted(ANALYZERS), default="orbitrap")
    r.add_argument("--seed", type=int, default=7)
    r.add_argument("--ms1", action="store_true", help="also write MS1 scans")
    r.add_argument("--out", type=Path, required=True)
    args = parser.parse_args(argv)
    if args.command == "proteome":
        proteins = generate_proteome(args.proteins, args.seed)
        write_fasta(args.out, proteins)
        print(f"{args.out}: {len(proteins):,} proteins, {sum(len(s) for _, _, s in proteins):,} residues")
    else:
        scans = simulate_run(args.fasta, args.spectra, analyzer=args.analyzer, seed=args.seed, ms1=args.ms1)
        write_mzml(args.out, scans, args.analyzer)
        write_truth(args.out.with_suffix(".truth.tsv"), scans)
        print(f"{args.out}: {sum(s.ms_level == 2 for s in scans):,} MS2 scans ({args.analyzer})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
