"""The index without its fragment list: the same search results as the listed index, and
the setting that chooses between them."""

from __future__ import annotations

import dataclasses

import pandas as pd
import pytest

from _cluster_support import write_inputs
from tovel_mesk import _native, build_database, digest_fasta
from tovel_mesk.config import ConfigError, SearchSettings, load_settings
from tovel_mesk.conventions import Tolerance
from tovel_mesk.pipeline import run_search


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    return write_inputs(tmp_path_factory.mktemp("inputs"), runs=2, spectra=40)


@pytest.mark.parametrize("search", [
    {"preset": "ion-trap", "precursor_tol": "50ppm", "report_psms": 3},
    {"precursor_tol": "-5,20ppm", "isotope_errors": "-1,2", "chimera": True},
    {"precursor_tol": "0.05da", "charges": "1,5", "max_fragment_charge": 3, "min_matched_peaks": 1},
    {"preset": "ion-trap", "wide_window": True, "report_psms": 2},
])
def test_search_without_fragment_list_equals_the_listed_index(inputs, search):
    fasta, runs = inputs
    tables = {}
    for layout in ("on", "off"):
        settings = load_settings({"fasta": fasta, "spectra": runs, "quiet": True, "threads": 2,
                                  "fragment_list": layout, **search})
        outcome = run_search(settings)
        database = outcome.summary.database
        assert database["fragment_list"] == (layout == "on")
        assert (database["fragments"] > 0) == (layout == "on") and database["indexed_peptides"] > 0
        tables[layout] = outcome.psms.drop(columns="psm_id")
    assert len(tables["on"]) > 40
    # Every match, feature, score and q-value, in the same order, to the bit.
    pd.testing.assert_frame_equal(tables["off"], tables["on"], check_exact=True)


def test_layout_setting():
    assert not SearchSettings().fragment_list_on                      # auto, wide window off
    assert SearchSettings(wide_window=True).fragment_list_on
    # auto: a wide precursor window on narrow fragment windows pays for the list
    assert SearchSettings(precursor_tol=Tolerance(-0.5, 0.5, "da")).fragment_list_on
    assert SearchSettings(precursor_tol="-100,150ppm", fragment_tol="20ppm").fragment_list_on
    assert not SearchSettings(precursor_tol="50ppm").fragment_list_on
    assert not SearchSettings(precursor_tol="3da", fragment_tol="0.5da").fragment_list_on
    assert SearchSettings(fragment_list="on").fragment_list_on
    assert not SearchSettings(fragment_list="off", wide_window=True).fragment_list_on
    with pytest.raises(ConfigError, match="--fragment-list must be auto, on or off, got 'yes'"):
        SearchSettings(fragment_list="yes")
    with pytest.raises(ConfigError, match="--precursor-tol: cannot read the tolerance 'wide'"):
        SearchSettings(precursor_tol="wide")
    # The older name is read as the new one, from flags and TOML alike.
    assert load_settings({"fragment_index": "off"}).fragment_list == "off"


def test_database_layout(inputs):
    fasta, _ = inputs
    digest = digest_fasta(fasta)
    listed = build_database(digest, bucket_size=64)
    lean = build_database(digest, bucket_size=64, fragment_index=False)
    peptides, fragments, fragment_list = _native.database_layout(listed)
    assert peptides > len(digest) and fragments == listed.fragment_count() > 10 * peptides and fragment_list
    assert _native.database_layout(lean) == (peptides, 0, False) and lean.fragment_count() == 0
    # The same peptides, labelled alike.
    for i in (0, peptides // 2, peptides - 1):
        assert lean.sequence_for(i) == listed.sequence_for(i)
    assert dataclasses.asdict(load_settings({"fragment_list": "off"}))["fragment_list"] == "off"
