"""Digestion and index building from FASTA files made here, checked against a digestion
written out independently below (masses from elemental formulas, cleavage rules as
regular expressions, modified forms from itertools)."""

from __future__ import annotations

import gzip
import inspect
import itertools
import random
import struct
import re

import numpy as np
import pytest

import _tovel_mesk as tm
import tovel_mesk
from tovel_mesk import _native
from tovel_mesk import build_database, digest_fasta, peptide_proteins, proforma
from tovel_mesk.config import ConfigError
from tovel_mesk.errors import InputError

# ---- the independent digestion ----

ELEMENT = {"C": 12.0, "H": 1.00782503207, "N": 14.0030740048, "O": 15.99491461956, "S": 31.97207100,
           "Se": 79.9165218}
FORMULA = {
    "A": "C3H5NO", "C": "C3H5NOS", "D": "C4H5NO3", "E": "C5H7NO3", "F": "C9H9NO", "G": "C2H3NO",
    "H": "C6H7N3O", "I": "C6H11NO", "K": "C6H12N2O", "L": "C6H11NO", "M": "C5H9NOS", "N": "C4H6N2O2",
    "O": "C12H19N3O2", "P": "C5H7NO", "Q": "C5H8N2O2", "R": "C6H12N4O", "S": "C3H5NO2", "T": "C4H7NO2",
    "U": "C3H5NOSe", "V": "C5H9NO", "W": "C11H10N2O", "Y": "C9H9NO2",
}


def formula_mass(formula: str) -> float:
    return sum(ELEMENT[el] * int(n or 1) for el, n in re.findall(r"([A-Z][a-z]?)(\d*)", formula))


MASS = {aa: formula_mass(f) for aa, f in FORMULA.items()}
WATER = formula_mass("H2O")

# Cleavage rules: a site lies between the two groups of each pattern.
RULES = {
    "trypsin": r"(?<=[KR])(?!P)", "trypsin/p": r"(?<=[KR])", "lys-c": r"(?<=K)(?!P)", "lys-n": r"(?=K)",
    "arg-c": r"(?<=R)(?!P)", "asp-n": r"(?=D)", "glu-c": r"(?<=E)(?!P)", "chymotrypsin": r"(?<=[FWY])(?!P)",
}


def parse_mod(text):
    site, mass = text.split(":")
    letters, _, place = site.partition("@") if "@" in site else (
        ("", "", site) if site.endswith(("nterm", "cterm")) else (site, "", ""))
    return set(letters), place, float(mass)


def spans(seq, enzyme, missed):
    """(start, end, protein_n, protein_c) of every peptide of one stretch of residues."""
    if enzyme == "non-specific":
        return [(b, e) for b in range(len(seq)) for e in range(b + 1, len(seq) + 1)]
    sites = sorted({0, len(seq)} | {m.start() for m in re.finditer(RULES[enzyme], seq)})
    return [(sites[i], sites[j]) for i in range(len(sites)) for j in range(i + 1, min(i + missed + 2, len(sites)))]


def places(seq, letters, place, protein_n, protein_c):
    """Mod-array positions (0 N-terminus, i + 1 residue i, len + 1 C-terminus) a modification takes."""
    n = len(seq)
    if place == "":
        return [i + 1 for i, r in enumerate(seq) if r in letters]
    if place.startswith("protein") and not (protein_n if place.endswith("nterm") else protein_c):
        return []
    if place.endswith("nterm"):
        return [0] if not letters else [1] if seq[0] in letters else []
    return [n + 1] if not letters else [n] if seq[-1] in letters else []


def reference_digest(proteins, *, enzyme="trypsin", missed_cleavages=2, min_length=7, max_length=50,
                     min_mass=500.0, max_mass=5000.0, fixed_mods=("C:+57.021464",), variable_mods=(),
                     max_variable_mods=2, remove_initiator_met=True):
    """{(sequence, rounded mod array): [mass, accessions in file order]} and the skipped sequences."""
    fixed = [parse_mod(m) for m in fixed_mods]
    variable = [parse_mod(m) for m in variable_mods]
    found, skipped, order = {}, set(), {}
    for accession, protein in proteins:
        order.setdefault(accession, len(order))
        forms = [(protein, True)]
        if remove_initiator_met and protein.startswith("M") and len(protein) > 1:
            forms.append((protein[1:], True))
        for form, at_n in forms:
            stretches = form.split("*")
            for k, stretch in enumerate(stretches):
                for b, e in spans(stretch, enzyme, missed_cleavages):
                    seq = stretch[b:e]
                    if not min_length <= len(seq) <= max_length:
                        continue
                    if any(r in "BJXZ" for r in seq):
                        skipped.add(seq)
                        continue
                    pn, pc = at_n and k == 0 and b == 0, k == len(stretches) - 1 and e == len(stretch)
                    base = [0.0] * (len(seq) + 2)
                    for letters, place, mass in fixed:
                        for p in places(seq, letters, place, pn, pc):
                            base[p] += mass
                    options = [(p, mass) for letters, place, mass in variable
                               for p in places(seq, letters, place, pn, pc)]
                    for count in range(max_variable_mods + 1):
                        for chosen in itertools.combinations(options, count):
                            if len({p for p, _ in chosen}) < count:
                                continue
                            mods = list(base)
                            for p, mass in chosen:
                                mods[p] += mass
                            total = WATER + sum(MASS[r] for r in seq) + sum(mods)
                            if min_mass <= total <= max_mass:
                                key = (seq, tuple(round(m, 3) for m in mods))
                                found.setdefault(key, [total, set()])[1].add(accession)
    return ({k: (mass, sorted(acc, key=order.get)) for k, (mass, acc) in found.items()}, skipped)


def digest_table(digest):
    peptides = digest.peptides
    assert len(peptides) == len(digest) == digest.peptide_count
    return {(p.sequence, tuple(round(m, 3) for m in p.mod_array)): (mass, accessions)
            for p, mass, accessions in zip(peptides, digest.masses, digest.proteins)}


# ---- FASTA files made here ----

LETTERS = "ACDEFGHIKLMNPQRSTVWY" * 3 + "U"


def random_proteins(seed=7, count=40):
    """Proteins with shared stretches (for duplicates), initiator methionines, letters
    without mass, a selenocysteine, and stop marks."""
    rng = random.Random(seed)
    shared = ["".join(rng.choice(LETTERS) for _ in range(25)) for _ in range(5)]
    proteins = []
    for i in range(count):
        parts = ["M" if i % 3 else ""]
        for _ in range(rng.randint(2, 6)):
            parts.append(rng.choice(shared) if rng.random() < 0.3 else
                         "".join(rng.choice(LETTERS) for _ in range(rng.randint(5, 40))))
        seq = "".join(parts)
        if i % 7 == 3:
            pos = rng.randrange(len(seq))
            seq = seq[:pos] + rng.choice("BJXZ") + seq[pos + 1:]
        if i % 11 == 5:
            seq = seq[:10] + "*" + seq[10:]
        proteins.append((f"sp|P{i:05d}|PROT{i}_HUMAN" if i % 2 else f"P{i}", seq))
    return proteins


def write_fasta(path, proteins, decoys=(), compress=False):
    lines = []
    for i, (accession, seq) in enumerate(list(proteins) + list(decoys)):
        lines.append(f">{accession} protein number {i} OS=Testus")
        body = seq.lower() if i % 4 == 1 else seq
        lines += [body[k:k + 13] for k in range(0, len(body), 13)] + ([""] if i % 5 == 0 else [])
    text = ("\n".join(lines) + "\n").encode()
    path.write_bytes(gzip.compress(text) if compress else text)
    return path


PROTEINS = random_proteins()
DECOYS = [("rev_" + a, s[::-1]) for a, s in PROTEINS[:3]] + [(a + "_rev", s[::-1]) for a, s in PROTEINS[3:6]]


@pytest.fixture(scope="module")
def fasta(tmp_path_factory):
    return write_fasta(tmp_path_factory.mktemp("fasta") / "proteins.fasta", PROTEINS, DECOYS)


CONFIGS = [
    {},
    {"enzyme": "lys-c", "missed_cleavages": 1, "min_length": 5, "max_length": 30,
     "variable_mods": ("M:+15.9949", "protein-nterm:+42.010565")},
    {"enzyme": "trypsin/p", "missed_cleavages": 3, "fixed_mods": (), "remove_initiator_met": False},
    {"enzyme": "lys-n", "missed_cleavages": 0, "min_length": 4},
    {"enzyme": "arg-c", "min_mass": 800.0, "max_mass": 2500.0},
    {"enzyme": "asp-n", "missed_cleavages": 1, "variable_mods": ("Q@peptide-nterm:-17.026549", "M:+15.9949")},
    {"enzyme": "glu-c", "variable_mods": ("STY:+79.966331",), "max_variable_mods": 3},
    {"enzyme": "chymotrypsin", "fixed_mods": ("C:+57.021464", "peptide-nterm:+229.162932"),
     "variable_mods": ("K@protein-cterm:+8.014199", "peptide-cterm:-0.984016")},
    {"enzyme": "non-specific", "min_length": 6, "max_length": 9, "min_mass": 700.0, "max_mass": 800.0},
]


@pytest.mark.parametrize("settings", CONFIGS, ids=lambda s: s.get("enzyme", "defaults"))
def test_digestion_matches_independent_count(fasta, settings):
    digest = digest_fasta(fasta, **settings)
    expected, skipped = reference_digest(PROTEINS, **settings)
    found = digest_table(digest)
    assert sorted(found) == sorted(expected)
    for key, (mass, accessions) in expected.items():
        # A 32-bit mass is within half its spacing of the exact one (1.2e-4 Da above 2048 Da).
        assert abs(found[key][0] - mass) <= max(1e-4, np.spacing(np.float32(mass)) / 2 + 1e-6), key
        assert found[key][1] == accessions, key
    assert digest.skipped == len(skipped)
    assert digest.protein_count == len(PROTEINS)
    assert digest.dropped_decoys == len(DECOYS)
    # Ascending by mass; equal masses by sequence.
    order = [(m, p.sequence) for m, p in zip(digest.masses, digest.peptides)]
    assert [m for m, _ in order] == sorted(m for m, _ in order)
    assert all(a <= b for a, b in zip(order, order[1:]) if a[0] == b[0])


def isobaric_proteins(seed=5, count=300):
    """Proteins made of tryptic peptides that share their residues in other orders and
    often their first eight residues: many peptides of equal mass, whose order the
    digestion decides by sequence and modifications, some found in several proteins."""
    rng = random.Random(seed)
    cores = ["".join(rng.choice("ACDEFGHILMNPQSTVWY") for _ in range(rng.randint(6, 14))) for _ in range(12)]
    pieces = []
    for core in cores:
        head, tail = core[:8], list(core[8:])
        for _ in range(6):
            rng.shuffle(tail)
            pieces.append(head + "".join(tail) + "K")
            letters = list(core)
            rng.shuffle(letters)
            pieces.append("".join(letters) + rng.choice("KR"))
    return [(f"P{i}", "M" + "".join(rng.choice(pieces) for _ in range(rng.randint(3, 9)))) for i in range(count)]


def peptide_order_key(peptide, mass):
    """The digest's order: mass, then residue bytes, then modifications (place, then the
    32-bit mass's bits)."""
    mods = [(place, struct.unpack("<I", struct.pack("<f", m))[0]) for place, m in enumerate(peptide.mod_array) if m]
    return (mass, peptide.sequence, mods)


@pytest.mark.parametrize("settings", [{}, {"variable_mods": ("M:+15.9949", "STY:+79.966331"), "max_variable_mods": 2}],
                         ids=["fixed", "variable"])
def test_equal_masses_are_ordered_and_merged_whatever_the_split(tmp_path, settings):
    """Peptides of equal mass, shared among workers and among proteins, come out merged
    (one per sequence and modifications, every accession once in file order) and in the
    digest's order, as the independent count has them."""
    proteins = isobaric_proteins()
    path = write_fasta(tmp_path / "isobaric.fasta", proteins)
    digest = digest_fasta(path, **settings)
    expected, _ = reference_digest(proteins, **settings)
    found = digest_table(digest)
    assert sorted(found) == sorted(expected)
    assert all(found[key][1] == accessions for key, (_, accessions) in expected.items())
    keys = [peptide_order_key(p, m) for p, m in zip(digest.peptides, digest.masses)]
    assert sum(a[0] == b[0] for a, b in zip(keys, keys[1:])) > len(keys) // 4  # equal masses abound
    assert keys == sorted(keys) and len(set(map(repr, keys))) == len(keys)


def test_duplicates_letters_without_mass_and_selenocysteine(tmp_path):
    path = write_fasta(tmp_path / "small.fasta", [
        ("B1", "MLSAMPLEKGGGGGGK"), ("A2", "PEPTIDEKLSAMPLEK"), ("C3", "AAAXAAAKUUUUUUUK"), ("D4", "LSAMPLEK")])
    digest = digest_fasta(path, min_length=5, fixed_mods=())
    table = {p.sequence: accessions for p, accessions in zip(digest.peptides, digest.proteins)}
    assert table["LSAMPLEK"] == ["B1", "A2", "D4"]
    assert table["MLSAMPLEK"] == ["B1"]
    assert "UUUUUUUK" in table and not any("X" in s for s in table)
    assert digest.skipped == 2  # AAAXAAAK, AAAXAAAKUUUUUUUK


def test_gzip_file_digests_like_the_plain_one(tmp_path, fasta):
    packed = write_fasta(tmp_path / "proteins.fasta.gz", PROTEINS, DECOYS, compress=True)
    assert digest_table(digest_fasta(packed)) == digest_table(digest_fasta(fasta))


def test_decoys_of_the_file_kept_when_asked(fasta):
    kept = digest_fasta(fasta, drop_decoys=False)
    assert kept.dropped_decoys == 0 and kept.protein_count == len(PROTEINS) + len(DECOYS)
    decoy_only = [i for i, acc in enumerate(kept.proteins) if all("rev" in a for a in acc)]
    assert decoy_only
    with pytest.raises(ValueError, match=r"come only from decoy proteins .* generate_decoys=False"):
        build_database(kept)
    db = build_database(kept, generate_decoys=False)
    assert len(db.peptides) == len(kept)
    assert peptide_proteins(db, decoy_only[0]) == kept.proteins[decoy_only[0]]
    # Without markers every protein is an ordinary one.
    plain = digest_fasta(fasta, decoy_prefixes=(), decoy_suffixes=())
    assert plain.dropped_decoys == 0 and len(build_database(plain).peptides) > len(plain)


def test_digest_object(fasta):
    digest = digest_fasta(fasta)
    assert isinstance(digest, tovel_mesk.Digest)
    assert digest.peptides is not digest.peptides
    assert repr(digest).startswith(f"<Digest: {len(digest)} peptides from {len(PROTEINS)} proteins")
    with pytest.raises(TypeError, match="No constructor defined for Digest"):
        tovel_mesk.Digest()
    for name in ("peptides", "proteins", "masses", "protein_count", "peptide_count", "skipped", "dropped_decoys"):
        assert getattr(tovel_mesk.Digest, name).__doc__
    for public in tovel_mesk.__all__:
        assert getattr(tovel_mesk, public).__doc__


# ---- bad input ----

@pytest.mark.parametrize("content, message", [
    (b"", r"empty\.fasta: the file is empty"),
    (b"\n  \n", r"empty\.fasta: the file is empty"),
    (b"PEPTIDEK\n>P1\nAAAK\n", r"empty\.fasta, line 1: sequence data before the first header line"),
    (b">P1\nPEPT1DEK\n", r"empty\.fasta, line 2: unexpected character '1' in the sequence of protein P1"),
    (b">\nPEPTIDEK\n", r"empty\.fasta, line 1: header line without an accession"),
    (b">rev_P1\nPEPTIDEK\n", r"empty\.fasta: every protein is a decoy"),
    (gzip.compress(b">P1\nPEPTIDEK\n")[:-9], r"empty\.fasta: the gzip data cannot be decompressed"),
    # An accession is written into the proteins column, where ';' separates accessions.
    (b">P1\nPEPTIDEK\n>P2;P3 desc\nPEPTIDEK\n", r"empty\.fasta, line 3: the accession 'P2;P3' holds ';'"),
    (b">P1\x1b[31m\nPEPTIDEK\n", r"empty\.fasta, line 1: the accession 'P1\\x1B\[31m' holds the control character 0x1B"),
    (b">P1\nPEPK\n>P2\nXXXXXXXK\n", r"empty\.fasta: its 2 proteins yield no peptide of 7 to 50 residues and "
                                       r"500 to 5000 Da with trypsin \(1 left out for letters without a mass\)"),
])
def test_bad_fasta_files_name_file_and_line(tmp_path, content, message):
    path = tmp_path / "empty.fasta"
    path.write_bytes(content)
    with pytest.raises(InputError, match=message):
        digest_fasta(path)


@pytest.mark.parametrize("convert", [
    lambda text: text.replace(b"\n", b"\r\n"),
    lambda text: text.replace(b"\n", b"\r"),
    lambda text: b"\xef\xbb\xbf" + text,
    lambda text: gzip.compress(b"\xef\xbb\xbf" + text.replace(b"\n", b"\r")),
], ids=["crlf", "cr", "bom", "gzip-bom-cr"])
def test_line_ends_and_byte_order_mark_read_as_plain_text(tmp_path, fasta, convert):
    other = tmp_path / "other.fasta"
    other.write_bytes(convert(fasta.read_bytes()))
    assert digest_table(digest_fasta(other)) == digest_table(digest_fasta(fasta))


def test_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError, match="nothing.fasta"):
        digest_fasta(tmp_path / "nothing.fasta")


@pytest.mark.parametrize("settings, error, message", [
    ({"enzyme": "pepsin"}, ConfigError, r"unknown enzyme 'pepsin'; accepted: trypsin, trypsin/p, .*non-specific"),
    ({"variable_mods": ("M+15.99",)}, ConfigError, r"bad modification 'M\+15\.99': no ':'.*SITE:MASS"),
    ({"fixed_mods": ("C:+57", "Q@middle:+1")}, ConfigError, r"'middle' after '@' is not a terminus"),
    ({"variable_mods": "M:abc"}, ConfigError, r"bad modification 'M:abc': 'abc' is not a number"),
    ({"variable_mods": 15.99}, TypeError, r"variable_mods must be a str or a sequence of str"),
    ({"missed_cleavages": -1}, ConfigError, r"missed_cleavages must not be negative, not -1"),
    ({"max_variable_mods": 256}, ConfigError, r"max_variable_mods must be between 0 and 255, not 256"),
    ({"min_length": 10, "max_length": 5}, ConfigError, r"peptide lengths 10 to 5"),
    ({"min_mass": float("nan")}, ConfigError, r"peptide masses"),
])
def test_bad_settings(tmp_path, settings, error, message):
    missing = tmp_path / "never-read.fasta"  # settings are checked before the file is read
    with pytest.raises(error, match=message):
        digest_fasta(missing, **settings)


# ---- the index ----

def ladder(sequence, mod_array, mass):
    """Neutral b and y fragment masses (every ordinal) of a peptide, ascending."""
    steps = np.array([MASS[r] for r in sequence]) + np.array(mod_array[1:-1])
    b = mod_array[0] + np.cumsum(steps[:-1])
    return np.sort(np.concatenate([b, mass - b])).astype(np.float32)


def best_match(db, sequence, mod_array, mass):
    mz = ladder(sequence, mod_array, mass)
    spectrum = tm.PyProcessedSpectrum("scan=1", 0, 1.0, mz, np.full(mz.shape, 100.0, np.float32),
                                      [tm.PyPrecursor(mass / 2 + 1.0072764, charge=2)], 100.0 * len(mz))
    scorer = tm.PyScorer(tm.PyTolerance.Ppm(-10, 10), tm.PyTolerance.Da(-0.01, 0.01), chimera=False)
    return scorer.score_many_spectra(db, [spectrum])[0][0]


def test_built_index_is_searchable_and_names_its_peptides(fasta):
    digest = digest_fasta(fasta, variable_mods=("M:+15.9949", "protein-nterm:+42.010565"))
    db = build_database(digest, bucket_size=64)
    peptides = db.peptides
    assert len(peptides) > len(digest)
    # A modified target: the match finds it, reports it as a target with its accessions.
    i = next(i for i, p in enumerate(digest.peptides) if p.mod_array[0] and "M" in p.sequence[1:-1])
    target = digest.peptides[i]
    match = best_match(db, target.sequence, target.mod_array, digest.masses[i])
    assert match.label == 1
    assert peptides[match.peptide_idx].sequence == target.sequence
    assert peptide_proteins(db, match.peptide_idx) == digest.proteins[i]
    assert proforma(db, match.peptide_idx).startswith("[+42.0106]-")
    # Its decoy: the same accessions with the tag in front, and its own ProForma text.
    d = match.peptide_idx + 1
    decoy = peptides[d]
    assert decoy.sequence == target.sequence[0] + target.sequence[-2:0:-1] + target.sequence[-1]
    decoy_match = best_match(db, decoy.sequence, decoy.mod_array, digest.masses[i])
    assert (decoy_match.label, decoy_match.peptide_idx) == (-1, d)
    assert peptide_proteins(db, d) == ["rev_" + a for a in digest.proteins[i]]
    assert proforma(db, d).startswith("[+42.0106]-" + decoy.sequence[0])
    with pytest.raises(IndexError, match=f"peptide index {len(peptides)} is out of range"):
        proforma(db, len(peptides))
    with pytest.raises(IndexError):
        peptide_proteins(db, -1)


def test_build_from_peptide_lists(fasta):
    digest = digest_fasta(fasta)
    peptides = digest.peptides
    db = build_database(peptides, generate_decoys=False, ion_kinds=("y",), min_ion_index=0)
    assert [p.sequence for p in db.peptides] == [p.sequence for p in peptides]
    assert peptide_proteins(db, 0) == digest.proteins[0]  # a PyPeptide from a digest keeps its accessions
    shuffled = peptides[:5][::-1]
    with pytest.raises(ValueError, match=r"peptides must ascend by mass: peptide 1 \(.* Da\) follows peptide 0"):
        build_database(shuffled)
    with pytest.raises(ValueError, match="unknown ion kind 'c'"):
        build_database(digest, ion_kinds=("b", "c"))
    with pytest.raises(ValueError, match="bucket_size"):
        build_database(digest, bucket_size=0)
    with pytest.raises(TypeError, match="a Digest or a sequence of PyPeptide"):
        build_database("PEPTIDE")
    assert build_database([]).fragment_count() == 0


def test_digest_calls_do_not_leak():
    from _leaks import check_steady
    from tovel_mesk import _native

    text, bad = b">P1\nMKPEPTIDEKLSAMPLERGGGGGGGK\n>rev_P2\nAAAAAAAK\n", b">P1\nPEPT1DEK\n"
    fixed, variable, prefixes, suffixes = ["C:+57.02"], ["M:+15.99", "protein-nterm:+42.01"], ["rev_"], ["_rev"]

    def digest(data=text, mods=variable):
        return _native.digest(data, "x.fasta", "trypsin", 2, 5, 50, 300.0, 5000.0, fixed, mods, 2, True, True,
                              prefixes, suffixes)

    def fails(action):
        def run():
            with pytest.raises(ValueError):
                action()
        return run

    made = digest()
    unsorted = made.peptides[::-1]

    def build_and_read():
        db = build_database(made, bucket_size=4)
        return (proforma(db, 1), peptide_proteins(db, 1), made.peptides, made.proteins, made.masses, repr(made),
                len(made))

    watched = [text, bad, fixed, variable, prefixes, suffixes, made]
    check_steady(digest, watched, rounds=2_000)
    check_steady(fails(lambda: digest(bad)), watched, rounds=2_000)
    check_steady(fails(lambda: digest(mods=["M+15.99"])), watched, rounds=2_000)
    check_steady(build_and_read, watched, rounds=2_000)
    check_steady(fails(lambda: build_database(unsorted)), [unsorted[0]], rounds=2_000)


def test_digest_defaults_agree_with_the_core():
    # Each setting of digest_fasta left out takes the core's own default, but for the fixed
    # modifications: the package adds carbamidomethyl C, the core none.
    core = _native.digest_defaults()
    package = {name: list(p.default) if isinstance(p.default, tuple) else p.default
               for name, p in inspect.signature(digest_fasta).parameters.items() if p.kind is p.KEYWORD_ONLY}
    assert core.keys() == package.keys()
    assert core.pop("fixed_mods") == [] and package.pop("fixed_mods") == ["C:+57.021464"]
    assert core == package
