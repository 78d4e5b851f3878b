"""The report's chart code: tick values, and panels that are well-formed SVG."""

from __future__ import annotations

import xml.etree.ElementTree as ET

import numpy as np
import pytest

from tovel_mesk.report.svg import Panel, nice_ticks

SVG = "{http://www.w3.org/2000/svg}"


@pytest.mark.parametrize("low, high, whole, expected", [
    (0.0, 0.1, False, [0.0, 0.02, 0.04, 0.06, 0.08, 0.1]),
    (-6.2, 2.7, False, [-6, -4, -2, 0, 2]),
    (0.0, 3.1, False, [0, 0.5, 1, 1.5, 2, 2.5, 3]),
    (0.0, 2.3, False, [0, 0.5, 1, 1.5, 2]),
    (0.0, 13.0, True, [0, 2, 4, 6, 8, 10, 12]),
    (0.0, 2.0, True, [0, 1, 2]),          # no 0.5 steps on an axis of counts
    (25.3, 33.4, False, [26, 28, 30, 32]),
    (5.0, 5.0, False, [5.0]),
])
def test_nice_ticks(low, high, whole, expected):
    ticks = nice_ticks(low, high, whole=whole)
    np.testing.assert_allclose(ticks, expected, atol=1e-12)
    assert ticks.min() >= low - 1e-12 and ticks.max() <= high + 1e-12


def tick_texts(svg: str) -> list[str]:
    root = ET.fromstring(svg)
    return [t.text for t in root.iter(f"{SVG}text")]


def test_panels_are_well_formed_and_hold_their_marks():
    panel = Panel()
    edges = np.linspace(-1.0, 1.0, 11)
    panel.stairs(np.arange(10), edges, "#1f77b4", "targets <10>", opacity=0.45)
    panel.line(np.array([0.0, 0.5, 1.0]), np.array([1.0, np.nan, 3.0]), "#ff7f0e", "curve")
    panel.scatter(np.array([0.1, np.inf]), np.array([1.0, 2.0]), "#1f77b4", size=4, opacity=0.5)
    panel.vline(0.0, dashed=True, label="median 0")
    panel.hline(1.0)
    panel.xlabel, panel.ylabel = "score", "matches"
    svg = panel.svg()
    root = ET.fromstring(svg)
    paths = [p.get("d") for p in root.iter(f"{SVG}path")]
    assert len(paths) == 3
    assert paths[2].count("h0") == 1                 # the point at infinity is left out
    texts = tick_texts(svg)
    assert "targets <10>" in texts and "median 0" in texts and "score" in texts and "matches" in texts
    # Every clip path the panel refers to is defined in it, so panels can share a page.
    clip = root.find(f"{SVG}defs/{SVG}clipPath").get("id")
    assert f"url(#{clip})" in svg


def test_empty_panel_and_bars_by_name():
    empty = Panel()
    empty.empty("no accepted matches")
    assert "no accepted matches" in tick_texts(empty.svg())
    bars = Panel()
    bars.hbars(np.array([0.0, 1.0]), [3, 0], 0.4, "#1f77b4", "spectra")
    bars.ycategories = ["a.mzML", "b.mgf"]
    bars.whole_x = True
    svg = bars.svg()
    group = ET.fromstring(svg).find(f"{SVG}g/{SVG}g")     # the bars, inside the clipped area
    widths = [float(r.get("width")) for r in group.iter(f"{SVG}rect")]
    assert widths[0] > 0 and widths[1] == 0
    assert {"a.mzML", "b.mgf", "0", "1", "2", "3"} <= set(tick_texts(svg))
