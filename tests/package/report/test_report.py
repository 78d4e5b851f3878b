"""The HTML report: self-contained, every plot present, readable in a real browser."""

from __future__ import annotations

import os
import re
import shutil
import subprocess

import numpy as np
import pandas as pd
import pytest

from _tables import best_per, match_table
from tovel_mesk.report import html as report
from tovel_mesk.report import tables as outputs

SUMMARY = {
    "files": [{"file": "run_a.mzML", "spectra_read": 1500, "spectra_searched": 1480, "matches": 2960},
              {"file": "empty_run.mgf", "spectra_read": 0, "spectra_searched": 0, "matches": 0}],
    "stages": {"digest": 0.5, "index": 1.25, "scoring": 12.0},
    "settings": {"precursor_tol": "10ppm", "digest": {"missed_cleavages": 2}, "charges": [2, 4]},
    "note": "<b>escaped</b>",
}
CAPTIONS = ("Target and decoy scores", "Identifications against q-value", "Precursor mass error of accepted matches",
            "Precursor mass error over retention time", "Fragment mass error of accepted matches",
            "Identifications per file")


def render(psms, **kw):
    return report.render_report(psms, best_per(psms, "peptide", "peptide_q"), best_per(psms, "proteins", "protein_q"),
                                SUMMARY, **kw)


def strong_matches(n=3000):
    """A table in which a third of the best target matches are accepted at 1%; as error
    control leaves them, lower-rank rows keep q-values of 1."""
    psms = match_table(n)
    good = (np.arange(n) % 3 == 0) & (psms["label"] > 0) & (psms["rank"] == 1)
    for column in ("spectrum_q", "peptide_q", "protein_q"):
        psms.loc[good, column] = 0.001
    return psms


def test_page_is_self_contained_and_complete():
    page = render(strong_matches())
    assert page.count("<svg") == len(CAPTIONS)
    for caption in CAPTIONS:
        assert f"<figcaption>{caption}</figcaption>" in page
    # Nothing loaded from elsewhere: references are in-page anchors or inline data.
    assert not re.search(r"<(script|link|iframe|img)\b", page)
    for target in re.findall(r'(?:href|src)="([^"]*)"', page):
        assert target.startswith(("#", "data:")), target
    assert "url(http" not in page and "@import" not in page
    # Summary tables, values escaped.
    assert "<td>empty_run.mgf</td>" in page and "<td>digest.missed_cleavages</td>" in page
    assert "&lt;b&gt;escaped&lt;/b&gt;" in page and "<b>escaped</b>" not in page
    assert "<td>total</td><td>13.75</td>" in page


def test_accepted_matches_are_the_documented_filter():
    psms = strong_matches(300)
    chosen = report.accepted(psms, 0.01)
    assert chosen.any()
    # Exactly `label == 1 & spectrum_q <= 0.01`, the rule the summary counts by: error
    # control gives a q-value below 1 only to rows that carry an error rate of their own.
    passing = psms["label"].eq(1) & psms["spectrum_q"].le(0.01)
    assert chosen.equals(passing)
    spectra = int(chosen.sum())
    # A peptide whose spectrum passes while the peptide itself does not (its best match
    # elsewhere competes at the peptide level).
    psms.loc[psms["peptide"] == psms.loc[chosen, "peptide"].iloc[0], "peptide_q"] = 0.5
    # Peptides count by their own q-value, as the summary counts them, not as the peptides
    # of the accepted matches (the table's peptide q-values make the two differ).
    peptides = best_per(psms, "peptide", "peptide_q")
    expected = int(((peptides["label"] > 0) & (peptides["peptide_q"] <= 0.01)).sum())
    assert expected != psms.loc[chosen, "peptide"].nunique()
    proteins = best_per(psms, "proteins", "protein_q")
    groups = int(((proteins["label"] > 0) & (proteins["protein_q"] <= 0.01)).sum())
    assert f"{spectra:,} spectra, {expected:,} peptides and {groups:,} protein groups accepted" in render(psms)
    # A group table counts its groups by their own q-value.
    table = pd.DataFrame({"group": [1, 2, 3], "q": [0.0, 0.005, 0.2]})
    page = report.render_report(psms, peptides, table, SUMMARY)
    assert f"{expected:,} peptides and 2 protein groups accepted" in page
    assert "protein groups (2 at 0.01)" in page
    page = report.render_report(psms, None, None, SUMMARY)
    assert f"{spectra:,} spectra and {psms.loc[chosen, 'peptide'].nunique():,} peptides accepted" in page


@pytest.mark.parametrize("n", [0, 1])
def test_tables_too_small_to_plot(n):
    page = report.render_report(match_table(n), None, None, {})
    assert page.count("<svg") == len(CAPTIONS)
    assert ("no accepted matches" in page) == (n == 0)


def test_score_plot_falls_back_to_the_hyperscore():
    psms = strong_matches(200)
    psms["discriminant_score"] = np.float32(0.0)
    assert "hyperscore (best match per spectrum)" in render(psms)


def test_text_summary():
    text = report.format_summary(SUMMARY)
    lines = text.splitlines()
    assert lines[0].split() == ["file", "spectra_read", "spectra_searched", "matches"]
    assert lines[2].split() == ["run_a.mzML", "1,500", "1,480", "2,960"]
    assert "total      13.75" in text
    assert report.format_summary({}) == ""


@pytest.mark.skipif(shutil.which("chromium") is None, reason="chromium is not installed")
def test_page_renders_in_a_headless_browser(tmp_path):
    from PIL import Image

    psms = strong_matches()
    outputs.write_outputs(tmp_path, psms, best_per(psms, "peptide", "peptide_q"),
                          best_per(psms, "proteins", "protein_q"), SUMMARY)
    shot = tmp_path / "shot.png"
    # The browser is not ours to instrument: a sanitizer runtime preloaded into the test
    # process must not reach it.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--window-size=1400,3000",
                    f"--screenshot={shot}", (tmp_path / "report.html").as_uri()],
                   capture_output=True, timeout=120, check=True, env=env)
    with Image.open(shot) as image:
        pixels = np.asarray(image.convert("RGB"), dtype=np.float64) / 255
    assert pixels.shape[:2] == (3000, 1400)
    # The two columns of plots are drawn: the target colour fills part of both halves of
    # the upper page, and the page is not blank below the plots (the summary tables).
    blue = np.all(np.abs(pixels - np.array([0x1F, 0x77, 0xB4]) / 255) < 0.08, axis=-1)
    assert blue[:1500, :700].mean() > 0.002 and blue[:1500, 700:].mean() > 0.002
    assert (pixels[1500:2400] < 0.5).any()
