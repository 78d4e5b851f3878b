"""The protein side of a FASTA file: descriptions and residues as the digestion names the
proteins, and decoys already in the file found whatever their tag."""

from __future__ import annotations

import gzip
import pickle
import random

import pytest

from tovel_mesk.config import SearchSettings
from tovel_mesk.errors import InputError
from tovel_mesk.io.fasta import catalog_of, find_decoy_tag, read_fasta, read_fasta_ahead, reference_catalog
from tovel_mesk.progress import Progress
from tovel_mesk.search.database import prepare_database

RESIDUES = "ACDEFGHIKLMNPQRSTVWY"


def proteins(count=60, seed=3):
    rng = random.Random(seed)
    return [(f"sp|P{i:05d}|PROT{i}_HUMAN", "M" + "".join(rng.choice(RESIDUES) for _ in range(rng.randint(60, 300))))
            for i in range(count)]


def shuffled(sequence: str, seed: int) -> str:
    letters = list(sequence)
    random.Random(seed).shuffle(letters)
    return "".join(letters)


def fasta_text(entries) -> str:
    return "".join(f">{accession} some protein {i}\n{seq[:50]}\n{seq[50:]}\n" for i, (accession, seq) in
                   enumerate(entries))


def test_read_fasta_descriptions_and_residues(tmp_path):
    text = ("\ufeff>sp|P1|A_HUMAN Serum albumin OS=Bos taurus\r\nmkwv\r\n; a comment\r\nTFIS*\r\n"
            ">  P2\tsecond\n\nPEPTIDE\n>sp|P1|A_HUMAN repeated\nAAAA\n")
    path = tmp_path / "p.fasta.gz"
    path.write_bytes(gzip.compress(text.encode()))
    catalog = read_fasta(path)
    assert catalog.accessions == ["sp|P1|A_HUMAN", "P2"] and catalog.entries == 3
    assert catalog.descriptions == {"sp|P1|A_HUMAN": "Serum albumin OS=Bos taurus", "P2": "second"}
    assert catalog.sequences == {"sp|P1|A_HUMAN": "MKWVTFIS", "P2": "PEPTIDE"}
    assert catalog.order == {"sp|P1|A_HUMAN": 0, "P2": 1}
    # A changed file is read again.
    path.write_bytes(b">P3 third\nAAA\n")
    assert read_fasta(path).accessions == ["P3"]
    path.write_bytes(b"\x1f\x8b not gzip")
    with pytest.raises(InputError, match="p.fasta.gz: the gzip data cannot be decompressed"):
        read_fasta(path)


#: Pieces of FASTA text that the catalogue's rules treat specially: line ends, comments,
#: white space that Python's str.split() and str.strip() know (ASCII and not), bytes that
#: are not UTF-8, a byte-order mark, stop marks and lower case.
PIECES = (b">", b"\n", b"\r\n", b"\r", b"*", b";", b" ;", b" ", b"\t", b"\x1c", b"\x1f", b"\x0b", b"\x00",
          b"\x7f", b"\xc2\x85", b"\xc2\xa0", b"\xe3\x80\x80", b"\xef\xbb\xbf", b"\xff", b"\xc3\xa9", b"\xc3",
          b"\xc3\x9f", b"P1", b"P2", b"sp|Q9|N_HUMAN", b" desc ", b"mkwv", b"PEPTIDEK", b"ACDEFGHIK" * 3, b"-", b"1")


def random_fasta(rng: random.Random) -> bytes:
    text = bytearray()
    if rng.random() < 0.2:
        text += b"\xef\xbb\xbf"
    for _ in range(rng.randint(0, 8)):
        text += b">" + b"".join(rng.choice(PIECES) for _ in range(rng.randint(0, 4))) + b"\n"
        for _ in range(rng.randint(0, 4)):
            text += b"".join(rng.choice(PIECES[4:]) for _ in range(rng.randint(0, 6))) + rng.choice((b"\n", b"\r\n"))
    if rng.random() < 0.3:  # a stray byte anywhere
        at = rng.randrange(len(text) + 1)
        text[at:at] = rng.choice(PIECES)
    return bytes(text)


def test_native_catalogue_matches_the_reference_reading():
    """The catalogue read in native code equals the straightforward reading entry for
    entry, over random texts with every special piece."""
    rng = random.Random(11)
    for _ in range(3000):
        data = random_fasta(rng)
        fast, slow = catalog_of(data), reference_catalog(data)
        assert fast.accessions == slow.accessions, data
        assert fast.descriptions == slow.descriptions, data
        assert fast.order == slow.order and fast.entries == slow.entries, data
        assert dict(fast.sequences) == slow.sequences, data
        assert all(a in fast.sequences for a in slow.accessions) and "absent" not in fast.sequences
    with pytest.raises(KeyError):
        catalog_of(b">P1\nAAA\n").sequences["P2"]


def test_catalogue_read_ahead_is_the_one_read_and_keeps_its_failure(tmp_path):
    """A catalogue read ahead on another thread is what `read_fasta` returns (whole, and
    picklable for the workers); a file it could not read fails where it is needed, naming
    the file."""
    entries = proteins(count=40, seed=8)
    path = tmp_path / "ahead.fasta"
    path.write_text(fasta_text(entries))
    read_fasta_ahead(path)
    catalog = read_fasta(path)
    assert catalog.accessions == [a for a, _ in entries]
    assert dict(catalog.sequences) == dict(entries) == dict(pickle.loads(pickle.dumps(catalog)).sequences)
    read_fasta_ahead(path)  # kept: nothing is read again
    assert read_fasta(path) is catalog
    damaged = tmp_path / "damaged.fasta.gz"
    damaged.write_bytes(b"\x1f\x8b not gzip")
    read_fasta_ahead(damaged)
    with pytest.raises(InputError, match="damaged.fasta.gz: the gzip data cannot be decompressed"):
        read_fasta(damaged)


class TestDecoyTag:
    @pytest.mark.parametrize(("tag", "prefix", "make"), [
        ("REV__", True, lambda s, i: s[::-1]),
        ("XXX_", True, shuffled),
        ("reverse_", True, lambda s, i: s[::-1]),
        ("DECOY", True, shuffled),
        ("_REVERSED", False, lambda s, i: s[::-1]),
        ("-rev", False, shuffled),
    ])
    def test_found_whatever_the_tag(self, tag, prefix, make):
        targets = proteins()
        decoys = [((tag + a) if prefix else (a + tag), make(s, i)) for i, (a, s) in enumerate(targets)]
        entries = targets + decoys
        random.Random(1).shuffle(entries)
        accessions, sequences = zip(*entries)
        found = find_decoy_tag(accessions, sequences)
        assert found is not None
        assert (found.tag, found.prefix, found.entries, found.paired, found.mirrored) == (tag, prefix, 60, 60, 60)
        assert found.checked == 60
        assert found.as_dict()["dropped"] == 60 and repr(tag) in found.message()

    def test_large_file_with_targets_and_decoys_alternating(self):
        # More entries than are sampled, each target followed by its decoy.
        targets = [(f"T{i}", shuffled(RESIDUES * 2, i)) for i in range(1500)]
        entries = [entry for a, s in targets for entry in ((a, s), (a + "_REV", s[::-1]))]
        accessions, sequences = zip(*entries)
        found = find_decoy_tag(accessions, sequences)
        assert (found.tag, found.prefix, found.entries, found.paired) == ("_REV", False, 1500, 1500)
        assert found.checked == found.mirrored == 1500

    def test_nothing_found_without_decoys(self):
        targets = proteins()
        # Isoforms pair by name ("-2"), but their sequences are not reversals or shuffles.
        isoforms = [(a + "-2", s[:40] + "W" + s[40:]) for a, s in targets[:30]]
        accessions, sequences = zip(*(targets + isoforms))
        assert find_decoy_tag(accessions, sequences) is None
        # Tagged entries that hold other proteins are not decoys.
        others = proteins(seed=9)
        unrelated = [("XXX_" + a, s) for (a, _), (_, s) in zip(targets, others)]
        accessions, sequences = zip(*(targets + unrelated))
        assert find_decoy_tag(accessions, sequences) is None
        # Too few tagged entries.
        few = [("REV__" + a, s[::-1]) for a, s in targets[:5]]
        accessions, sequences = zip(*(targets + few))
        assert find_decoy_tag(accessions, sequences) is None
        assert find_decoy_tag(accessions, sequences, min_share=0.05).tag == "REV__"
        assert find_decoy_tag([], []) is None

    def test_markers_already_honoured_are_left_out(self):
        targets = proteins()
        entries = targets + [("rev_" + a, s[::-1]) for a, s in targets]
        accessions, sequences = zip(*entries)
        assert find_decoy_tag(accessions, sequences).tag == "rev_"
        assert find_decoy_tag(accessions, sequences, skip=["rev_"]) is None


def test_search_leaves_out_decoys_under_a_found_tag(tmp_path):
    targets = proteins(count=30)
    fasta = tmp_path / "td.fasta"
    fasta.write_text(fasta_text(targets + [("REV__" + a, s[::-1]) for a, s in targets]))
    progress = Progress(False)
    _, counts = prepare_database(SearchSettings(fasta=fasta), progress)
    assert counts["proteins"] == 30 and counts["dropped_fasta_decoys"] == 30
    assert counts["fasta_decoys"] == {"tag": "REV__", "position": "prefix", "dropped": 30, "paired": 30,
                                      "checked": 30, "mirrored": 30}
    told = [m for m in progress.messages if not m.startswith("index:")]  # the index cache's line aside
    assert len(told) == 1 and "'REV__'" in told[0]
    # Empty marker lists: every entry is a protein, nothing is looked for.
    _, counts = prepare_database(SearchSettings(fasta=fasta, fasta_decoy_prefixes=[], fasta_decoy_suffixes=[]))
    assert counts["proteins"] == 60 and "fasta_decoys" not in counts
    # A file without decoys is searched whole.
    plain = tmp_path / "t.fasta"
    plain.write_text(fasta_text(targets))
    _, counts = prepare_database(SearchSettings(fasta=plain))
    assert counts["proteins"] == 30 and counts["dropped_fasta_decoys"] == 0 and "fasta_decoys" not in counts
