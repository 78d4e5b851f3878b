"""Error control of a whole match table: the three levels on a hand-computed search,
the tables, counts per file, determinism and bad input."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from _match_tables import make_matches
from tovel_mesk import columns
from tovel_mesk.fdr.confidence import assign_confidence, rerank
from tovel_mesk.report.html import accepted as accepted_rows


def hand_table() -> pd.DataFrame:
    """Six spectra and two second-rank matches, scored by hyperscore alone."""
    rows = [
        # file, spec_id, rank, label, peptide, proteins, hyperscore
        ("a", "s1", 1, 1, "PEPAK", "P1", 10.0),
        ("a", "s2", 1, 1, "PEPBK", "P2", 9.0),
        ("a", "s3", 1, -1, "PBPEK", "rev_P2", 8.0),
        ("b", "s4", 1, 1, "PEPAK", "P1", 7.0),
        ("b", "s6", 1, -1, "DCEDK", "rev_P3", 6.5),
        ("b", "s5", 1, 1, "PEPCK", "P1;P3", 6.0),
        ("a", "s1", 2, -1, "XEDRK", "rev_P3", 4.0),
        ("a", "s2", 2, 1, "PEPDK", "P4", 3.0),
    ]
    table = pd.DataFrame(rows, columns=["file", "spec_id", "rank", "label", "peptide", "proteins", "hyperscore"])
    return table.assign(sequence=table["peptide"], file_id=np.where(table["file"] == "a", 0, 1))


@pytest.fixture(scope="module")
def result():
    return assign_confidence(hand_table(), method="hyperscore")


@pytest.fixture(scope="module")
def psms():
    return make_matches(n_spectra=3000, ranks=3, separation=4.0, peptides=600, proteins=300, seed=21)


class TestHandComputed:
    def test_spectrum_q_of_the_best_matches(self, result):
        # Rank 1, best first: T T D T D T; decoys / targets: 0, 0, 1/2, 1/3, 2/3, 1/2.
        # Rank 2 is no identification: 1.
        np.testing.assert_allclose(result.psms["spectrum_q"], [0, 0, 1 / 3, 1 / 3, 0.5, 0.5, 1, 1])
        assert (result.psms["posterior_error"].to_numpy()[6:] == 1.0).all()
        np.testing.assert_array_equal(result.psms["discriminant_score"], hand_table()["hyperscore"])

    def test_peptide_q_from_each_peptides_best_match(self, result):
        # Best rank-1 match per peptide: PEPAK 10, PEPBK 9, PBPEK 8 (D), DCEDK 6.5 (D), PEPCK 6.
        # d / t: 0, 0, 1/2, 1, 2/3 -> q 0, 0, 1/2, 2/3, 2/3. PEPAK's second match
        # shares its q-value; PEPDK and XEDRK are never a best match.
        np.testing.assert_allclose(result.psms["peptide_q"], [0, 0, 0.5, 0, 2 / 3, 2 / 3, 1, 1])
        peptides = result.peptides
        assert peptides["peptide"].tolist() == ["PEPAK", "PEPBK", "PBPEK", "DCEDK", "PEPCK"]
        assert peptides["spec_id"].tolist() == ["s1", "s2", "s3", "s6", "s5"]
        assert list(peptides.columns) == list(hand_table().columns) + list(columns.ERROR_CONTROL)

    def test_protein_groups(self, result):
        # At 1% the accepted peptides are PEPAK (P1) and PEPBK (P2): two groups. P1 scores
        # 10 (its best peptide, PEPCK counts too) and has no decoy; P2 (9) beats rev_P2 (8).
        proteins = result.proteins
        assert list(proteins.columns) == list(columns.PROTEIN_TABLE)
        assert proteins["accessions"].tolist() == ["P1", "P2"]
        assert proteins["peptides_unique"].tolist() == [1, 1] and proteins["peptides_razor"].tolist() == [0, 0]
        # s4 matches PEPAK too, but its own q-value is 1/3.
        assert proteins["spectra"].tolist() == [1, 1]
        np.testing.assert_allclose(proteins["q"], [0, 0])
        # A row takes its best group; rev_P2 lost, P3 and P4 are in no group.
        np.testing.assert_allclose(result.psms["protein_q"], [0, 0, 1, 0, 1, 0, 1, 1])
        # Looser: PEPCK is accepted, P3 (PEPCK alone) joins P1's group and rev_P3 meets it.
        loose = assign_confidence(hand_table(), method="hyperscore", fdr=0.7)
        assert loose.proteins["accessions"].tolist() == ["P1;P3", "P2"]
        assert loose.proteins["peptides_unique"].tolist() == [2, 1]
        np.testing.assert_allclose(loose.psms["protein_q"], [0, 0, 1, 0, 1, 0, 1, 1])

    def test_counts_per_file(self, result):
        counts = result.counts(fdr=0.2)
        assert counts.index.tolist() == ["a", "b"]
        # File b: no spectrum passes (s4 has q 1/3), but PEPAK (accepted through s1) is a best match
        # there, and so is its group.
        assert counts.to_dict("index") == {"a": {"spectra": 2, "peptides": 2, "protein_groups": 2},
                                           "b": {"spectra": 0, "peptides": 1, "protein_groups": 1}}
        assert result.totals(fdr=0.2) == {"spectra": 2, "peptides": 2, "protein_groups": 2}
        assert result.counts(fdr=0.5).loc["b", "spectra"] == 2

    def test_decoy_tag_pairs_proteins(self):
        table = hand_table()
        table["proteins"] = table["proteins"].str.replace("rev_", "DECOY_")
        paired = assign_confidence(table, method="hyperscore", decoy_tag="DECOY_", fdr=0.6)
        assert paired.proteins["accessions"].tolist() == ["P1", "P2"]
        # DECOY_P2 met P2 and lost.
        assert paired.psms.loc[2, "protein_q"] == 1.0
        # With the wrong tag it meets nothing and wins: a decoy group among three winners.
        unpaired = assign_confidence(table, method="hyperscore", fdr=0.6)
        assert unpaired.psms.loc[2, "protein_q"] == 0.5


def chimeric_table() -> pd.DataFrame:
    """Four spectra searched for co-isolated peptides: rank 2 is the best match left once
    rank 1's peaks are gone. Scored by hyperscore alone."""
    rows = [
        ("a", "s1", 1, 1, "PEPAK", "P1", 20.0), ("a", "s1", 2, 1, "PEPBK", "P2", 11.0),
        ("a", "s2", 1, 1, "PEPCK", "P3", 19.0), ("a", "s2", 2, -1, "KCPEK", "rev_P3", 12.0),
        ("a", "s3", 1, 1, "PEPDK", "P4", 18.0), ("a", "s3", 2, 1, "PEPEK", "P5", 10.0),
        ("a", "s4", 1, 1, "PEPFK", "P6", 17.0), ("a", "s4", 2, 1, "PEPFK", "P6", 13.0),
        ("a", "s4", 3, 1, "PEPGK", "P7", 9.0),
    ]
    table = pd.DataFrame(rows, columns=["file", "spec_id", "rank", "label", "peptide", "proteins", "hyperscore"])
    return table.assign(sequence=table["peptide"])


class TestEveryRow:
    """Only the rows that carry an error rate of their own pass a q-value filter."""

    def test_lower_ranks_never_counted(self):
        # Five matches per spectrum: ranks 2 to 5 are second guesses at spectra, whatever
        # their scores among each other.
        psms = make_matches(n_spectra=2000, ranks=5, separation=4.0, seed=31)
        for method in ("hyperscore", "lda"):
            result = assign_confidence(psms, method=method)
            out = result.psms
            lower = out["rank"] > 1
            for name in ("spectrum_q", "peptide_q", "protein_q", "posterior_error"):
                assert (out.loc[lower, name] == 1.0).all(), (method, name)
            chosen = out[(out["label"] == 1) & (out["spectrum_q"] <= 0.01)]
            assert len(chosen) == result.totals()["spectra"] == result.counts()["spectra"].sum() > 0
            assert accepted_rows(out, 0.01).sum() == len(chosen)
            assert not chosen.duplicated(["file", "spec_id"]).any()
            assert (out.loc[out["peptide_q"] < 1.0, "rank"] == 1).all()

    def test_chimeric_ranks_compete_among_themselves(self):
        result = assign_confidence(chimeric_table(), method="hyperscore", chimera=True)
        out = result.psms
        # Rank 1: four targets, q 0. Rank 2, best first: PEPFK (13, the same peptide as its
        # rank 1: not counted), D (12), T (11), T (10): 1/0, 1/1, 1/2, so q 1/2 for all
        # three. Rank 3: one target, 0.
        np.testing.assert_allclose(out["spectrum_q"], [0, 0.5, 0, 0.5, 0, 0.5, 0, 1, 0])
        assert out.loc[7, "peptide_q"] == out.loc[7, "protein_q"] == out.loc[7, "posterior_error"] == 1.0
        # Pooled with rank 1, the rank-2 decoy would sit below four targets and rank-2
        # targets would borrow their q-value; on their own they pay for their decoy.
        assert result.totals(fdr=0.5)["spectra"] == 7 and result.totals(fdr=0.1)["spectra"] == 5
        assert (out["label"].eq(1) & out["spectrum_q"].le(0.5)).sum() == 7
        # The co-isolated peptides are peptides in their own right.
        assert {"PEPBK", "PEPEK", "PEPGK"} <= set(result.peptides["peptide"])
        # Without the chimeric setting the same table counts rank 1 only.
        plain = assign_confidence(chimeric_table(), method="hyperscore")
        assert (plain.psms.loc[plain.psms["rank"] > 1, "spectrum_q"] == 1.0).all()
        assert plain.totals(fdr=0.5)["spectra"] == 4

    def test_chimeric_rank_k_error_rate_on_generated_matches(self):
        # Rank 2 holds a correct co-isolated peptide in a quarter of the spectra, else a
        # chance match, all scoring below rank 1 (fewer peaks are left); accepted rank-2
        # matches are the correct ones at about the rate asked.
        psms = make_matches(n_spectra=4000, ranks=2, separation=5.0, seed=32)
        rng = np.random.default_rng(3)
        second = (psms["rank"] == 2).to_numpy()
        correct = second & (rng.random(len(psms)) < 0.25)
        psms.loc[second, "hyperscore"] -= 20.0
        psms.loc[correct, "label"] = 1
        psms.loc[correct, "hyperscore"] += 12.0
        psms.loc[correct, "peptide"] = [f"CHIMERA{k}K" for k in range(int(correct.sum()))]
        out = assign_confidence(psms, method="hyperscore", chimera=True).psms
        second &= (out["rank"] == 2).to_numpy()   # all but a few, whose rank 1 scored lower
        assert second.sum() > 3900
        chosen = second & (out["label"].to_numpy() == 1) & (out["spectrum_q"].to_numpy() <= 0.05)
        assert chosen.sum() > 0.8 * correct.sum()
        assert (chosen & ~correct).sum() <= 0.1 * chosen.sum()


def test_rerank_orders_each_spectrum_by_score():
    spectrum = np.array([0, 0, 0, 1, 1, 2])
    scores = np.array([1.0, 3.0, 2.0, 5.0, 5.0, np.nan])
    rank = np.array([1, 2, 3, 2, 1, 1])
    # Spectrum 1 ties on score: the search's rank decides.
    np.testing.assert_array_equal(rerank(spectrum, scores, rank), [3, 1, 2, 2, 1, 1])


class TestSearchSized:
    def test_every_row_filled_and_input_untouched(self, psms):
        before = psms.copy()
        result = assign_confidence(psms)
        pd.testing.assert_frame_equal(psms, before)
        out = result.psms
        assert out.index.equals(psms.index)
        kept = [name for name in psms.columns if name not in columns.ERROR_CONTROL + ("rank",)]
        pd.testing.assert_frame_equal(out[kept], psms[kept])
        assert out["rank"].dtype == psms["rank"].dtype
        for name in columns.ERROR_CONTROL:
            values = out[name].to_numpy()
            assert values.dtype == np.float64 and np.isfinite(values).all(), name
        for name in ("posterior_error", "spectrum_q", "peptide_q", "protein_q"):
            assert out[name].between(0.0, 1.0).all(), name
        assert result.rescoring.used == "lda"
        # Each spectrum's matches are ranked 1, 2, ... by the final score.
        ranked = out.sort_values(["file", "spec_id", "discriminant_score"], ascending=[True, True, False])
        assert (ranked["rank"].to_numpy() == np.tile([1, 2, 3], 3000)).all()
        assert (out["rank"] != psms["rank"]).any()
        # Within a rank a better score never has a worse q-value.
        for _, group in out.groupby("rank"):
            ranked = group.sort_values("discriminant_score", ascending=False)
            assert ranked["spectrum_q"].is_monotonic_increasing
            assert ranked["posterior_error"].is_monotonic_increasing

    def test_accepted_matches_are_the_correct_ones(self, psms):
        result = assign_confidence(psms)
        best = result.psms[(result.psms["rank"] == 1)]
        accepted = best[(best["spectrum_q"] <= 0.01) & (best["label"] == 1)]
        totals = result.totals()
        assert totals["spectra"] == len(accepted) > 0.9 * 0.4 * 3000
        counts = result.counts()
        assert counts["spectra"].sum() == totals["spectra"]
        assert counts.index.tolist() == ["a.mzML", "b.mzML"]
        assert (counts["peptides"] <= totals["peptides"]).all() and totals["protein_groups"] > 0
        assert (counts["protein_groups"] <= totals["protein_groups"]).all()
        # Peptide table: one row per peptide (and label); group table: each protein once.
        assert not result.peptides.duplicated(["peptide", "label"]).any()
        members = result.proteins["accessions"].str.split(";").explode()
        assert not members.duplicated().any()
        assert result.proteins["group"].tolist() == list(range(1, len(result.proteins) + 1))
        assert result.peptides["discriminant_score"].is_monotonic_decreasing
        assert result.proteins["q"].is_monotonic_increasing
        # Every accepted target peptide counts for one group that holds it.
        accepted = result.peptides[(result.peptides["label"] == 1) & (result.peptides["peptide_q"] <= 0.01)]
        assert set(result.peptide_group.index) == set(accepted["peptide"])
        assert result.proteins[["peptides_unique", "peptides_razor"]].to_numpy().sum() == len(accepted)

    def test_shuffled_rows_give_the_same_results(self, psms):
        first = assign_confidence(psms)
        shuffled = assign_confidence(psms.sample(frac=1.0, random_state=5))
        pd.testing.assert_frame_equal(shuffled.psms.sort_index(), first.psms)
        pd.testing.assert_frame_equal(shuffled.peptides, first.peptides)
        pd.testing.assert_frame_equal(shuffled.proteins, first.proteins)
        pd.testing.assert_frame_equal(shuffled.counts(), first.counts())


class TestBadInput:
    def test_errors_name_the_column_and_row(self):
        table = hand_table()
        with pytest.raises(ValueError, match="lacks column\\(s\\) 'proteins'"):
            assign_confidence(table.drop(columns="proteins"))
        bad = table.assign(label=[1, 1, 0, 1, -1, 1, -1, 1])
        with pytest.raises(ValueError, match="'label' must hold 1 \\(target\\) or -1 \\(decoy\\); 1 row\\(s\\) "
                                             "hold something else, first at index 2 \\(file 'a', spectrum 's3'\\): 0$"):
            assign_confidence(bad)
        with pytest.raises(ValueError, match="'rank' must hold whole numbers from 1"):
            assign_confidence(table.assign(rank=0.5))
        with pytest.raises(ValueError, match="fdr must lie between 0 and 1, got 1.5"):
            assign_confidence(table, fdr=1.5)

    def test_empty_table_and_missing_text(self):
        empty = assign_confidence(hand_table().iloc[:0])
        assert empty.psms.empty and empty.peptides.empty and empty.proteins.empty
        assert list(empty.proteins.columns) == list(columns.PROTEIN_TABLE)
        assert empty.counts().empty and empty.totals() == {"spectra": 0, "peptides": 0, "protein_groups": 0}
        table = hand_table()
        table.loc[1, "proteins"] = None
        result = assign_confidence(table, method="hyperscore")
        assert result.psms.loc[1, "protein_q"] == 1.0 and "P2" not in result.proteins["accessions"].tolist()
