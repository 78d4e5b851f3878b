"""Protein groups: parsimony on hand-made protein/peptide graphs (identical proteins,
subsets, shared peptides, covers that greedy picking gets wrong), random graphs against
an exhaustive search, and group q-values from picked competition."""

from __future__ import annotations

import itertools

import numpy as np
import pytest

from tovel_mesk import columns
from tovel_mesk.fdr import groups as groups_module
from tovel_mesk.fdr.groups import bare_sequence, group_confidence, parsimonious_groups, sequence_coverage


def as_sets(found):
    return {group.lead: (set(group.members), set(group.unique), set(group.razor)) for group in found}


class TestParsimony:
    def test_identical_proteins_are_one_group(self):
        # Seven proteins hold the one peptide LAADDFR: one group, whatever their number.
        graph = {f"K{i}": ["LAADDFR"] for i in range(7, 0, -1)}
        found = parsimonious_groups(graph)
        assert len(found) == 1
        assert found[0].members == tuple(f"K{i}" for i in range(1, 8))
        assert found[0].unique == {"LAADDFR"} and not found[0].razor

    def test_subset_joins_the_group_that_explains_it(self):
        graph = {"ALBU": ["A", "B", "C"], "FRAG": ["B", "C"], "TWIN": ["A", "B", "C"], "OTHER": ["D"]}
        assert as_sets(parsimonious_groups(graph)) == {
            "ALBU": ({"ALBU", "TWIN", "FRAG"}, {"A", "B", "C"}, set()),
            "OTHER": ({"OTHER"}, {"D"}, set()),
        }
        # The lead and member order follow the given order: indistinguishable first.
        order = {"TWIN": 0, "FRAG": 1, "ALBU": 2}
        found = parsimonious_groups(graph, order=lambda a: order.get(a, 9))
        assert found[0].members == ("TWIN", "ALBU", "FRAG")

    def test_shared_peptide_is_razor_for_the_group_with_most_evidence(self):
        # S is held by both groups: BIG has more peptides and takes it.
        graph = {"BIG": ["S", "B1", "B2"], "SMALL": ["S", "M1"]}
        assert as_sets(parsimonious_groups(graph)) == {
            "BIG": ({"BIG"}, {"B1", "B2"}, {"S"}),
            "SMALL": ({"SMALL"}, {"M1"}, set()),
        }
        # Equal peptide counts: accepted spectra decide.
        graph = {"X": ["S", "X1"], "Y": ["S", "Y1"]}
        found = as_sets(parsimonious_groups(graph, spectra={"S": 1, "X1": 1, "Y1": 4}))
        assert found["Y"][2] == {"S"} and found["X"][2] == set()
        # A protein needing two groups to explain it joins the one holding most of it.
        graph = {"P": ["A", "B", "C"], "Q": ["D", "E"], "R": ["A", "B", "D"]}
        found = as_sets(parsimonious_groups(graph))
        assert set(found) == {"P", "Q"} and "R" in found["P"][0]

    def test_smallest_cover_where_greedy_picking_takes_more(self):
        # The classic trap: T2 holds the most peptides, but S1 and S2 alone explain all.
        graph = {"S1": range(1, 8), "S2": range(8, 15), "T1": [1, 2, 8, 9], "T2": [3, 4, 5, 6, 10, 11, 12, 13],
                 "T3": [7, 14]}
        found = parsimonious_groups({k: [str(p) for p in v] for k, v in graph.items()})
        assert sorted(g.lead for g in found) == ["S1", "S2"]
        members = sorted(m for g in found for m in g.members)
        assert members == ["S1", "S2", "T1", "T2", "T3"]

    def test_greedy_cover_of_large_parts_still_explains_everything(self, monkeypatch):
        monkeypatch.setattr(groups_module, "EXACT_CANDIDATES", 0)
        graph = {"S1": range(1, 8), "S2": range(8, 15), "T1": [1, 2, 8, 9], "T2": [3, 4, 5, 6, 10, 11, 12, 13],
                 "T3": [7, 14]}
        found = parsimonious_groups({k: [str(p) for p in v] for k, v in graph.items()})
        assert set().union(*(g.peptides for g in found)) == {str(p) for p in range(1, 15)}
        assert len(found) <= 3

    @pytest.mark.parametrize("seed", range(30))
    def test_random_graphs_against_exhaustive_search(self, seed):
        rng = np.random.default_rng(seed)
        graph = {f"P{i}": {f"pep{p}" for p in rng.choice(12, size=rng.integers(1, 5), replace=False)}
                 for i in range(rng.integers(2, 10))}
        found = parsimonious_groups(graph, spectra={f"pep{p}": int(rng.integers(0, 4)) for p in range(12)})
        everything = set().union(*graph.values())
        # Every protein in exactly one group; identical proteins together; every peptide
        # explained and counted (unique or razor) for exactly one group.
        members = [m for g in found for m in g.members]
        assert sorted(members) == sorted(graph)
        home = {m: g.lead for g in found for m in g.members}
        for a, b in itertools.combinations(graph, 2):
            if graph[a] == graph[b]:
                assert home[a] == home[b]
        for g in found:
            assert g.peptides == graph[g.lead]
        counted = [p for g in found for p in g.unique | g.razor]
        assert sorted(counted) == sorted(everything)
        # No smaller set of proteins explains every peptide.
        smallest = next(size for size in range(1, len(graph) + 1)
                        if any(set().union(*(graph[p] for p in combo)) == everything
                               for combo in itertools.combinations(graph, size)))
        assert len(found) == smallest

    def test_no_peptides_no_groups(self):
        assert parsimonious_groups({}) == []
        assert parsimonious_groups({"P": []}) == []


def test_coverage_and_bare_sequences():
    assert bare_sequence("[+42.0106]-AC[+57.0215]DKM[+15.9949]R-[-0.9840]") == "ACDKMR"
    # Overlapping and repeated occurrences count each residue once.
    assert sequence_coverage("AAKAAKGG", ["AAK", "KAA"]) == pytest.approx(6 / 8)
    assert np.isnan(sequence_coverage("", ["AAK"]))
    assert sequence_coverage("MPEPTIDE", ["XYZ"]) == 0.0


class TestGroupConfidence:
    # peptide, proteins, score, decoy, accepted
    ENTRIES = [
        ("AAAK", "K1;K2;K3", 10.0, False, True),
        ("BBBK", "P1", 9.0, False, True),
        ("CCCK", "P1;P2", 8.0, False, True),
        ("KDDD", "rev_P3", 7.5, True, True),    # beats P3's group
        ("DDDK", "P3", 7.0, False, True),
        ("XXXK", "rev_Z9", 6.5, True, True),    # a decoy protein no target group mirrors
        ("EEEK", "P3;P4", 6.0, False, True),    # shared: razor for P3 (more spectra)
        ("FFFK", "P4", 5.0, False, True),
        ("GGGK", "P5", 4.0, False, False),      # not accepted: no group
        ("KBBB", "rev_P1", 3.0, True, False),   # P1's decoy group loses
    ]

    def result(self, **options):
        peptide, proteins, score, decoy, accepted = zip(*self.ENTRIES)
        spectra = {"AAAK": 2, "BBBK": 1, "CCCK": 1, "DDDK": 3, "EEEK": 1, "FFFK": 1}
        return group_confidence(peptide, proteins, score, decoy, accepted, spectra=spectra, **options)

    def test_group_table(self):
        grouped = self.result(descriptions={"K2": "Keratin, type II"},
                              protein_sequences={"K2": "MAAAKGGG", "P1": "BBBKCCCK"},
                              order={"K3": 0, "K2": 1, "K1": 2, "P2": 3, "P1": 4})
        table = grouped.table
        assert list(table.columns) == list(columns.PROTEIN_TABLE)
        # Winners by score: K 10 (T), P1 9 (T), rev_P3 7.5 (D), rev_Z9 6.5 (D), P4 6 (T):
        # d / t 0, 0, 1/2, 1, 2/3, so q 0, 0, 1/2, 2/3, 2/3. P3's group lost: q 1.
        assert table["lead"].tolist() == ["K3", "P1", "P4", "P3"]
        assert table["group"].tolist() == [1, 2, 3, 4]
        # P2's one peptide is P1's too: it joins P1's group, behind the lead.
        assert table["accessions"].tolist() == ["K3;K2;K1", "P1;P2", "P4", "P3"]
        np.testing.assert_allclose(table["q"], [0, 0, 2 / 3, 1])
        assert table["peptides_unique"].tolist() == [1, 2, 1, 1]
        assert table["peptides_razor"].tolist() == [0, 0, 0, 1]
        assert table["spectra"].tolist() == [2, 2, 1, 4]
        assert table["description"].tolist() == ["", "", "", ""]

    def test_lead_description_and_coverage_from_the_fasta(self):
        grouped = self.result(descriptions={"K2": "Keratin, type II", "P1": "Albumin"},
                              protein_sequences={"K2": "MAAAKGGG", "P1": "BBBKCCCKAAAA"},
                              order={"K2": 0, "K1": 1, "K3": 2})
        first = grouped.table.iloc[:2]
        assert first["lead"].tolist() == ["K2", "P1"]
        assert first["accessions"].tolist() == ["K2;K1;K3", "P1;P2"]
        assert first["description"].tolist() == ["Keratin, type II", "Albumin"]
        np.testing.assert_allclose(first["coverage"], [4 / 8, 8 / 12])
        assert np.isnan(grouped.table["coverage"].iloc[2])

    def test_protein_and_peptide_lookups(self):
        grouped = self.result()
        q = grouped.protein_q
        assert q[("K2", False)] == 0 and q[("P2", False)] == 0 and q[("P3", False)] == 1
        assert q[("rev_P3", True)] == pytest.approx(1 / 2)     # won against P3
        assert q[("rev_Z9", True)] == pytest.approx(2 / 3)     # a group of its own
        assert q[("rev_P1", True)] == 1                         # lost against P1
        assert ("P5", False) not in q.index
        by_peptide = grouped.peptide_group.to_dict()
        lead_of = dict(zip(grouped.table["group"], grouped.table["lead"]))
        assert {p: lead_of[g] for p, g in by_peptide.items()} == {
            "AAAK": "K1", "BBBK": "P1", "CCCK": "P1", "DDDK": "P3", "EEEK": "P3", "FFFK": "P4"}

    def test_decoy_wins_a_tie_and_empty_input(self):
        grouped = group_confidence(["AK", "KA"], ["P1", "rev_P1"], [5.0, 5.0], [False, True], [True, True])
        assert grouped.table["q"].tolist() == [1.0]
        empty = group_confidence([], [], [], [], [])
        assert empty.table.empty and list(empty.table.columns) == list(columns.PROTEIN_TABLE)
        assert empty.protein_q.empty and empty.peptide_group.empty
