"""Fixtures shared by the Python-surface tests of `_tovel_mesk`."""

from __future__ import annotations

import os

import pytest

from _support import one_peptide_db, perfect_match


@pytest.fixture(scope="session", autouse=True)
def _private_index_cache_of_the_session(tmp_path_factory):
    """The default index cache of the whole run is a scratch folder, set before any
    fixture of a module or class runs a search: no test writes to the user's cache
    folder (CI machines are shared). Commands run as subprocesses inherit the variable."""
    saved = os.environ.get("TOVEL_MESK_INDEX_CACHE")
    os.environ["TOVEL_MESK_INDEX_CACHE"] = str(tmp_path_factory.mktemp("index-cache-session"))
    yield
    if saved is None:
        os.environ.pop("TOVEL_MESK_INDEX_CACHE", None)
    else:
        os.environ["TOVEL_MESK_INDEX_CACHE"] = saved


@pytest.fixture(autouse=True)
def _private_index_cache(_private_index_cache_of_the_session, tmp_path_factory, monkeypatch):
    """Each test's default index cache is a folder of its own: no test is served an index
    that another test stored."""
    monkeypatch.setenv("TOVEL_MESK_INDEX_CACHE", str(tmp_path_factory.mktemp("index-cache")))


@pytest.fixture(scope="session")
def real_core():
    """Skips unless the module was built with the real search core: a one-peptide index
    with b and y ions must hold fragments."""
    if one_peptide_db().fragment_count() == 0:
        pytest.skip("module built without the search core")


@pytest.fixture
def feature(real_core):
    """A fresh, annotated PyFeature of a perfect match against a one-peptide index."""
    features = perfect_match(one_peptide_db())
    assert features, "a perfect match of the only peptide was not reported"
    return features[0]
