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
            "Identifications per file", "Accepted matches by precursor charge",
            "Accepted matches by peptide length (residues)", "Accepted matches by missed cleavages",
            "Accepted matches by matched fragment ions per match")


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
    assert f"{spectra:,} spectra, {psms.loc[chosen, 'peptide'].nunique():,} peptides and 0 protein groups" in page


@pytest.mark.parametrize("n", [0, 1])
def test_tables_too_small_to_plot(n):
    page = report.render_report(match_table(n), None, None, {})
    assert page.count("<svg") == len(CAPTIONS)
    assert ("no accepted matches" in page) == (n == 0)


def test_score_plot_falls_back_to_the_hyperscore():
    psms = strong_matches(200)
    psms["discriminant_score"] = np.float32(0.0)
    assert "hyperscore, best match per spectrum" in render(psms)


def _summary(**parts):
    totals = {"files": 1, "files_searched": 1, "spectra_searched": 2, "spectra_accepted": 1,
              "peptides_accepted": 1, "protein_groups_accepted": 1}
    return {"fdr": 0.01, "totals": totals, **parts}


def test_quantification_lines_count_in_singular_and_plural():
    from tovel_mesk.report.quant_figures import quant_lines, quant_notes

    one = {"quant": {"method": "lfq", "requested": "auto", "precursors_quantified": 1, "ions": 1, "runs": ["a.mzML"],
                     "transfers_kept": 1, "notes": []}}
    assert quant_lines(one)[0] == ("quantification: label-free, 1 precursor ion in 1 run, "
                                   "1 match-between-runs transfer kept")
    assert quant_notes(one)[0] == ("Label-free quantification of 1 precursor ion (1 accepted match) in 1 run; "
                                   "1 match-between-runs transfer kept.")
    two = {"quant": dict(one["quant"], precursors_quantified=2, ions=3, runs=["a.mzML", "b.mzML"], transfers_kept=0)}
    assert "2 precursor ions in 2 runs, 0 match-between-runs transfers kept" in quant_lines(two)[0]
    assert "(3 accepted matches) in 2 runs" in quant_notes(two)[0]


def test_top_of_the_page_gives_the_verdict_the_path_and_every_warning():
    psms = strong_matches(300)
    page = report.render_report(psms, None, None, _summary(
        rescoring={"method": "expectation", "reason": "12 decoys among the best matches, fewer than the 50 needed"},
        settings={"rescore": "lda"}, database={"fasta_decoys": 1}, failed_files={"b.mzML": "b.mzML: truncated"},
        files=[{"file": "a.mzML", "analyzer": "ion trap", "fragment_tol": "0.5da", "calibration": "offset -1.2 ppm",
                "skipped": {"other_ms_level": 1}}],
        warnings=["a.mzML: fragments read at low resolution"]))
    top = page[:page.index('<div class="plots">')]
    # Singular where one, from the summary's totals.
    assert "1 spectrum, 1 peptide and 1 protein group accepted at q ≤ 0.01 (1% FDR), of 2 spectra searched in " \
           "1 file." in top
    assert "1 spectra" not in page and "1 peptides" not in page
    assert "in place of the lda asked for (fallback: 12 decoys among the best matches" in top
    assert "1 decoy protein of its own" in top and "b.mzML: truncated" in top
    assert "a.mzML: ion trap; fragment tolerance 0.5da; calibration: offset -1.2 ppm." in top
    assert "a.mzML: not searched: 1 spectrum (other ms level)." in top
    assert "<li>a.mzML: fragments read at low resolution</li>" in top
    # The score axis names the score used: the fixed fallback, not a discriminant.
    assert "expectation score (fixed: −log10 expectation value), best match per spectrum" in page
    page = report.render_report(psms, None, None, _summary(rescoring={"method": "lda", "reason": "trained"},
                                                           settings={"rescore": "lda"}))
    assert "Scores: discriminant score (linear discriminant) (trained)." in page and "fallback" not in page
    assert "discriminant score (linear discriminant), best match per spectrum" in page
    # The whole rescoring record and the FASTA's decoys as the search records them.
    page = report.render_report(psms, None, None, _summary(
        rescoring={"method": "expectation", "requested": "lda", "used": "expectation", "reason": "no usable feature",
                   "score": "-log10_evalue - isotope steps", "notes": ["2 splits disagreed"]},
        database={"fasta_decoys": {"dropped": 2, "position": "prefix", "tag": "DECOY_"}}))
    assert "[-log10_evalue - isotope steps], in place of the lda asked for (fallback: no usable feature)" in page
    assert "<li>2 splits disagreed</li>" in page and "2 entries carry the prefix &#x27;DECOY_&#x27;" in page


def _figure(page, caption):
    start = page.index(f"<figcaption>{caption}</figcaption>")
    return page[start:page.index("</figure>", start)]


def _plot_frame(svg):
    """(left, top, right, bottom) of the plot area: the frame drawn around it."""
    x, y, w, h = (float(v) for v in re.search(
        r'<rect x="([\d.]+)" y="([\d.]+)" width="([\d.]+)" height="([\d.]+)" fill="none" stroke="#000"',
        svg).groups())
    return x, y, x + w, y + h


def test_threshold_drawn_legends_outside_and_errors_unclipped():
    psms = strong_matches(3000)
    good = report.accepted(psms, 0.01)
    outlier = psms.index[good][0]
    psms.loc[outlier, "delta_mass"] = np.float32(-25.0)
    page = render(psms)
    scores = _figure(page, "Target and decoy scores")
    threshold = float(psms.loc[good & (psms["rank"] == 1), "discriminant_score"].min())
    assert f"threshold {threshold:.4g} (q ≤ 0.01" in scores
    assert scores.count('stroke-dasharray="5,3"') >= 2   # the line and its legend swatch
    # The precursor error keeps the outlier where it is: the axis reaches it.
    precursor = _figure(page, "Precursor mass error of accepted matches")
    assert "range -25 to" in precursor
    # No legend text inside any plot area.
    for caption in CAPTIONS:
        svg = _figure(page, caption)
        left, top, right, bottom = _plot_frame(svg)
        legend_texts = re.findall(r'<text x="([\d.]+)" y="([\d.]+)">', svg)
        assert all(float(y) < top for _, y in legend_texts), caption


def test_distributions_and_the_strongest_protein_groups():
    psms = strong_matches(600)
    groups = pd.DataFrame({"group": np.arange(1, 31), "accessions": [f"P{i};Q{i}" for i in range(30)],
                           "lead": [f"P{i}" for i in range(30)], "description": "a protein",
                           "peptides_unique": np.arange(30) % 5, "peptides_razor": 1, "spectra": np.arange(30),
                           "coverage": 0.25, "q": np.where(np.arange(30) < 25, 0.001, 0.5),
                           "label": np.where(np.arange(30) == 29, -1, 1)})
    page = report.render_report(psms, None, groups, SUMMARY)
    table = page[page.index("<h2>Top protein groups</h2>"):]
    table = table[:table.index("</table>")]
    rows = re.findall(r"<tr><td>(\d+)</td>", table)
    # Twenty, by q-value and then most spectra: groups 25 down to 6.
    assert rows == [str(g) for g in range(25, 5, -1)]
    assert "<th>peptides_unique</th>" in table and "<th>coverage</th>" in table
    charges = _figure(page, "Accepted matches by precursor charge")
    assert "<path" in charges and "median" in charges


def test_text_summary():
    text = report.format_summary(SUMMARY)
    lines = text.splitlines()
    assert lines[0].split() == ["file", "spectra_read", "spectra_searched", "matches"]
    assert lines[2].split() == ["run_a.mzML", "1,500", "1,480", "2,960"]
    assert "total      13.75" in text
    assert report.format_summary({}) == ""
    # The rescoring path and each fallback on the way are printed, not only recorded.
    fallback = dict(SUMMARY, rescoring={
        "method": "expectation", "requested": "lda", "used": "expectation", "reason": "training failed at every level",
        "score": "-log10_evalue", "notes": ["no training at 0.01: 9 targets pass, fewer than the 20 needed",
                                            "scored by -log10_evalue: training failed at every level"]})
    tail = report.format_summary(fallback).split("\n\n")[-1].splitlines()
    assert tail[0].startswith("rescoring: Scores: expectation score") and "in place of the lda asked for" in tail[0]
    assert tail[1:] == ["  note: no training at 0.01: 9 targets pass, fewer than the 20 needed",
                        "  note: scored by -log10_evalue: training failed at every level"]


def _each_figure_holds_ink(figures: list[str], captions, tmp_path) -> None:
    """Each figure drawn alone in a cell of a grid, one headless-browser screenshot, and
    coloured (not grey) pixels counted per cell: every figure holds ink beyond its frame and
    text. The browser is not ours to instrument: a preloaded sanitizer runtime must not reach it."""
    from PIL import Image

    cells = "".join(f'<div style="position:absolute;left:{(i % 2) * 700}px;top:{(i // 2) * 420}px;width:640px">'
                    f"{figure}</div>" for i, figure in enumerate(figures))
    grid = tmp_path / "grid.html"
    grid.write_text(f"<!DOCTYPE html><html><head><style>svg{{width:640px;height:auto}}</style></head>"
                    f"<body style=\"margin:0\">{cells}</body></html>")
    rows = (len(figures) + 1) // 2
    shot = tmp_path / "grid.png"
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", f"--window-size=1400,{rows * 420}",
                    f"--screenshot={shot}", grid.as_uri()], capture_output=True, timeout=120, check=True, env=env)
    with Image.open(shot) as image:
        pixels = np.asarray(image.convert("RGB"), dtype=np.float64) / 255
    colour = (pixels.max(axis=-1) - pixels.min(axis=-1)) > 0.25
    for i, caption in enumerate(captions):
        cell = colour[(i // 2) * 420:(i // 2) * 420 + 400, (i % 2) * 700:(i % 2) * 700 + 640]
        assert cell.mean() > 0.001, caption


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
    # Every figure holds ink beyond its frame and text: each drawn alone in a cell of a
    # grid, one screenshot, and coloured (not grey) pixels counted per cell.
    page = (tmp_path / "report.html").read_text()
    figures = re.findall(r"<figure>.*?</figure>", page)
    assert len(figures) == len(CAPTIONS)
    _each_figure_holds_ink(figures, CAPTIONS, tmp_path)


QUANT_CAPTIONS = ("Extracted chromatogram, best", "Extracted chromatogram, median", "Extracted chromatogram, worst",
                  "Retention time alignment of the runs", "Correlation of runs",
                  "Coefficient of variation of protein quantities",
                  "Missing values before and after match-between-runs")


@pytest.fixture(scope="module")
def quantified():
    """A label-free quantification of three generated runs, two of them fractions of one
    sample (so that proteins have a spread within a sample), one peptide per protein group."""
    from _ms1_runs import make_runs
    from tovel_mesk.quant.design import Design, DesignRow
    from tovel_mesk.quant.lfq import quantify_lfq

    runs, ions, _ = make_runs(n_peptides=60, n_runs=3, seed=5, noise_peaks=60, gradient=20.0)
    protein_of = {p: i // 3 + 1 for i, p in enumerate(sorted(set(ions["peptide"])))}
    design = Design("design.tsv", (DesignRow(1, 1, "run1.mzML", 1, "A", 2), DesignRow(2, 1, "run2.mzML", 1, "A", 3),
                                   DesignRow(3, 1, "run3.mzML", 1, "B", 4)), ("A", "B"))
    return quantify_lfq(runs, ions, protein_of, design=design)


def test_quantification_section_has_every_figure(quantified):
    from tovel_mesk.report.quant_figures import missing_values, quant_figures

    page = render(strong_matches(), quant=quantified)
    section = page[page.index("<h2>Quantification</h2>"):]
    for caption in QUANT_CAPTIONS:
        assert caption in section, caption
    # The counts table agrees with the precursor table's sources, run by run.
    missing = missing_values(quantified.precursors)
    for row in missing.itertuples(index=False):
        assert (f"<td>{row.run}</td><td>{row.identified:,}</td><td>{row.transferred:,}</td>"
                f"<td>{row.missing:,}</td>") in section
    assert (missing["identified"] + missing["transferred"] + missing["missing"] == len(quantified.precursors)).all()
    # Without a result, no section; with an empty one, empty panels say why instead of failing.
    assert "Quantification</h2>" not in render(strong_matches())
    empty = type(quantified)(quantified.precursors.iloc[:0], quantified.peptides.iloc[:0],
                             quantified.proteins.iloc[:0], {}, [])
    drawn = quant_figures(empty)
    for said in ("no chromatogram recorded", "too few precursor ions quantified in two runs",
                 "no protein group quantified", "no precursor ion quantified", "no alignment"):
        assert said in drawn, said


@pytest.mark.skipif(shutil.which("chromium") is None, reason="chromium is not installed")
def test_quantification_figures_hold_ink_in_a_headless_browser(tmp_path, quantified):
    from tovel_mesk.report.quant_figures import quant_figures

    figures = re.findall(r"<figure>.*?</figure>", quant_figures(quantified))
    assert len(figures) == len(QUANT_CAPTIONS)
    _each_figure_holds_ink(figures, QUANT_CAPTIONS, tmp_path)
