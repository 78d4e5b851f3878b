"""Small inline-SVG charts for the report: one panel of axes with histograms, curves, a
scatter, horizontal bars, peak sticks, text labels, reference lines and a legend.

The legend sits above the plot area, wrapped into as many rows as it needs, so it never
covers data.

Written for the report's six panels and nothing more: a plotting library costs about
half a second to import and render them, longer than the rest of writing the outputs.
Coordinates are data values; the panel maps them onto a fixed view box that the page
scales to its column.
"""

from __future__ import annotations

import html
import math
import zlib
from collections.abc import Sequence

import numpy as np

__all__ = ["Panel", "counted", "nice_ticks"]

#: Plurals of the nouns that figures and summaries count.
_PLURALS = {"spectrum": "spectra", "match": "matches", "protein group": "protein groups", "file": "files",
            "peptide": "peptides", "protein": "proteins", "decoy": "decoys", "warning": "warnings",
            "decoy protein": "decoy proteins", "feature": "features", "fragment ion": "fragment ions", "entry": "entries",
            "accepted match": "accepted matches"}


def counted(n: int | float, word: str) -> str:
    """`n` and the noun in the number it takes: "1 spectrum", "2 spectra", "1,000 matches"."""
    n = int(n)
    return f"{n:,} {word if n == 1 else _PLURALS.get(word, word + 's')}"


_FONT = 13
_CHAR = 0.6 * _FONT       # width of a character, roughly, for sizing margins
_TICK = 5


def nice_ticks(low: float, high: float, most: int = 8, whole: bool = False) -> np.ndarray:
    """Round tick values covering [low, high]: steps of 1, 2, 2.5 or 5 times a power of
    ten, at most `most` of them; with `whole`, whole-number steps only (for counts)."""
    if not (math.isfinite(low) and math.isfinite(high)):
        return np.zeros(0)
    if high <= low:
        return np.array([low])
    raw = (high - low) / max(most - 1, 1)
    power = 10.0 ** math.floor(math.log10(raw))
    steps = [m * power for m in (1, 2, 2.5, 5, 10)]
    if whole:
        steps = [s for s in steps if s >= 1 and s % 1 == 0] or [1.0]
    step = next((s for s in steps if s >= raw), steps[-1])
    first = math.ceil(low / step - 1e-9)
    last = math.floor(high / step + 1e-9)
    ticks = np.arange(first, last + 1) * step
    return np.where(np.abs(ticks) < step * 1e-9, 0.0, ticks)


def _tick_text(value: float | np.number, ticks: np.ndarray) -> str:
    """A tick value with as many decimals as the step between ticks needs."""
    if len(ticks) < 2:
        return f"{value:,.4g}"
    step = float(np.min(np.diff(ticks)))
    decimals = next((d for d in range(8) if abs(step * 10**d - round(step * 10**d)) < 1e-6), 8)
    return f"{value:,.{decimals}f}"


def _esc(text: str) -> str:
    return html.escape(str(text), quote=True)


def _num(value: float) -> str:
    return f"{value:.2f}".rstrip("0").rstrip(".")


def _expand(low: float, high: float, margin: float = 0.04) -> tuple[float, float]:
    if not (math.isfinite(low) and math.isfinite(high)):
        return 0.0, 1.0
    if high <= low:
        pad = abs(low) * 0.05 or 0.5
        return low - pad, high + pad
    pad = (high - low) * margin
    return low - pad, high + pad


class Panel:
    """One chart. Draw with the methods below, in data coordinates; `svg()` lays out the
    axes around the data's extent (or the limits set) and returns the SVG element."""

    def __init__(self, width: int = 640, height: int = 380) -> None:
        self.width, self.height = width, height
        self.xlabel = self.ylabel = ""
        self.xlim: tuple[float, float] | None = None
        self.ylim: tuple[float, float] | None = None
        self.ycategories: list[str] | None = None     # bar names from the top down
        self.whole_x = self.whole_y = False            # axes of counts: whole-number ticks
        self.legend_above = True       # kept for callers; the legend is always above the plot
        self._marks: list[tuple] = []
        # (label, colour, "box" and its opacity | "line" | "dash")
        self._legend: list[tuple[str, str, str]] = []
        self._message: str | None = None
        self._xs: list[float] = []
        self._ys: list[float] = []

    # -- drawing ------------------------------------------------------------------------

    def _extent(self, x: Sequence[float] | np.ndarray, y: Sequence[float] | np.ndarray) -> None:
        for values, into in ((x, self._xs), (y, self._ys)):
            values = np.asarray(values, dtype=np.float64)
            values = values[np.isfinite(values)]
            if values.size:
                into.extend((float(values.min()), float(values.max())))

    def stairs(self, counts: np.ndarray, edges: np.ndarray, color: str, label: str | None = None,
               opacity: float = 1.0) -> None:
        """A histogram: `counts[i]` over [edges[i], edges[i+1]), filled from zero."""
        self._extent(edges, [0, *counts])
        self._marks.append(("stairs", np.asarray(counts, float), np.asarray(edges, float), color, opacity))
        if label:
            self._legend.append((label, color, f"box{opacity:g}"))

    def line(self, x: np.ndarray, y: np.ndarray, color: str, label: str | None = None) -> None:
        self._extent(x, y)
        self._marks.append(("line", np.asarray(x, float), np.asarray(y, float), color))
        if label:
            self._legend.append((label, color, "line"))

    def scatter(self, x: np.ndarray, y: np.ndarray, color: str, size: float, opacity: float) -> None:
        x, y = np.asarray(x, float), np.asarray(y, float)
        keep = np.isfinite(x) & np.isfinite(y)
        self._extent(x[keep], y[keep])
        self._marks.append(("scatter", x[keep], y[keep], color, size, opacity))

    def hbars(self, positions: np.ndarray, lengths: Sequence[float], thickness: float, color: str,
              label: str | None = None) -> None:
        """Horizontal bars from zero, centred on `positions` (rows counted from the top)."""
        self._extent([0, *lengths], [])
        self._marks.append(("hbars", np.asarray(positions, float), np.asarray(lengths, float), thickness, color))
        if label:
            self._legend.append((label, color, "box1"))

    def sticks(self, x: np.ndarray, heights: np.ndarray, color: str, label: str | None = None,
               width: float = 1.0) -> None:
        """Vertical lines from zero to `heights` at `x` (the peaks of a spectrum)."""
        x, heights = np.asarray(x, float), np.asarray(heights, float)
        keep = np.isfinite(x) & np.isfinite(heights)
        self._extent(x[keep], [0.0, *heights[keep]])
        self._marks.append(("sticks", x[keep], heights[keep], color, width))
        if label:
            self._legend.append((label, color, "line"))

    def cells(self, x: np.ndarray, y: np.ndarray, colors: Sequence[str], size: float = 1.0) -> None:
        """Filled squares of side `size` (data units) centred on (x[i], y[i]), each in its
        colour: the cells of a matrix."""
        x, y = np.asarray(x, float), np.asarray(y, float)
        self._extent(np.concatenate([x - size / 2, x + size / 2]), np.concatenate([y - size / 2, y + size / 2]))
        self._marks.append(("cells", x, y, list(colors), float(size)))

    def label(self, x: float, y: float, text: str, color: str = "#000", dy: float = -3.0,
              size: int = 11) -> None:
        """`text` centred above the data point (x, y), `dy` pixels off it."""
        self._marks.append(("label", float(x), float(y), str(text), color, float(dy), int(size)))

    def vline(self, x: float, color: str = "#808080", dashed: bool = False, label: str | None = None) -> None:
        self._marks.append(("vline", float(x), color, dashed))
        if label:
            self._legend.append((label, color, "dash" if dashed else "line"))

    def hline(self, y: float, color: str = "#808080") -> None:
        self._marks.append(("hline", float(y), color))

    def empty(self, message: str) -> None:
        """No data: the frame with `message` in its middle and no ticks."""
        self._message = message

    # -- layout -------------------------------------------------------------------------

    def _limits(self) -> tuple[tuple[float, float], tuple[float, float]]:
        if self.xlim is not None:
            xlim = self.xlim
        else:
            xlim = _expand(min(self._xs, default=0.0), max(self._xs, default=1.0))
        if self.ycategories is not None:
            ylim = (len(self.ycategories) - 0.5, -0.5)   # first name on top
        elif self.ylim is not None:
            ylim = self.ylim
        else:
            low, high = min(self._ys, default=0.0), max(self._ys, default=1.0)
            ylim = (0.0, high * 1.05 or 1.0) if low == 0.0 else _expand(low, high)
        return xlim, ylim

    def svg(self) -> str:
        (x0, x1), (y0, y1) = self._limits()
        xticks = np.zeros(0) if self._message else nice_ticks(min(x0, x1), max(x0, x1), whole=self.whole_x)
        yticks = np.zeros(0) if self._message else (
            np.arange(len(self.ycategories)) if self.ycategories is not None
            else nice_ticks(min(y0, y1), max(y0, y1), whole=self.whole_y))
        ytexts = (list(self.ycategories) if self.ycategories is not None
                  else [_tick_text(v, yticks) for v in yticks])
        left = 22 + (_FONT + 6 if self.ylabel else 0) + _TICK + 4 + _CHAR * max((len(t) for t in ytexts), default=1)
        legend_rows = len(self._legend_positions(left, 0.0, self.width - left - 8))
        top = 12 + legend_rows * (_FONT + 6) + (4 if legend_rows else 0)
        right, bottom = 18, 18 + (_FONT + 4) + (_FONT + 8 if self.xlabel else 0)
        plot_w, plot_h = self.width - left - right, self.height - top - bottom

        def px(x: np.ndarray | float) -> np.ndarray | float:
            return left + (np.asarray(x, float) - x0) / (x1 - x0) * plot_w

        def py(y: np.ndarray | float) -> np.ndarray | float:
            return top + (y1 - np.asarray(y, float)) / (y1 - y0) * plot_h

        out = [f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {self.width} {self.height}" '
               f'width="{self.width}" height="{self.height}" font-family="sans-serif" font-size="{_FONT}">',
               f'<defs><clipPath id="{{clip}}"><rect x="{_num(left)}" y="{_num(top)}" width="{_num(plot_w)}" '
               f'height="{_num(plot_h)}"/></clipPath></defs>',
               f'<rect width="{self.width}" height="{self.height}" fill="#fff"/>']
        body = []
        for mark in self._marks:
            body.append(self._draw(mark, px, py, (y0, y1)))
        out.append(f'<g clip-path="url(#{{clip}})">{"".join(body)}</g>')
        out.append(f'<rect x="{_num(left)}" y="{_num(top)}" width="{_num(plot_w)}" height="{_num(plot_h)}" '
                   'fill="none" stroke="#000" stroke-width="1"/>')
        base = top + plot_h
        for value in xticks:
            x = float(px(value))
            out.append(f'<line x1="{_num(x)}" y1="{_num(base)}" x2="{_num(x)}" y2="{_num(base + _TICK)}" '
                       'stroke="#000"/>'
                       f'<text x="{_num(x)}" y="{_num(base + _TICK + _FONT + 1)}" text-anchor="middle">'
                       f'{_esc(_tick_text(value, xticks))}</text>')
        for value, text in zip(yticks, ytexts):
            y = float(py(value))
            out.append(f'<line x1="{_num(left - _TICK)}" y1="{_num(y)}" x2="{_num(left)}" y2="{_num(y)}" '
                       'stroke="#000"/>'
                       f'<text x="{_num(left - _TICK - 3)}" y="{_num(y + _FONT * 0.35)}" text-anchor="end">'
                       f'{_esc(text)}</text>')
        if self.xlabel:
            out.append(f'<text x="{_num(left + plot_w / 2)}" y="{_num(self.height - 8)}" text-anchor="middle">'
                       f'{_esc(self.xlabel)}</text>')
        if self.ylabel:
            cy = top + plot_h / 2
            out.append(f'<text x="16" y="{_num(cy)}" text-anchor="middle" transform="rotate(-90 16 {_num(cy)})">'
                       f'{_esc(self.ylabel)}</text>')
        if self._message:
            out.append(f'<text x="{_num(left + plot_w / 2)}" y="{_num(top + plot_h / 2)}" text-anchor="middle" '
                       f'fill="#666">{_esc(self._message)}</text>')
        out.append(self._legend_svg(left, top, plot_w))
        out.append("</svg>")
        text = "".join(out)
        # Each panel's clip path needs an id of its own within the page.
        return text.replace("{clip}", f"clip{zlib.crc32(text.encode()):08x}")

    @staticmethod
    def _draw(mark: tuple, px, py, ylim: tuple[float, float]) -> str:
        kind = mark[0]
        if kind == "stairs":
            _, counts, edges, color, opacity = mark
            if not counts.size:
                return ""
            xs, ys = px(edges), py(counts)
            zero = float(py(max(min(ylim), 0.0)))
            points = [f"M{_num(xs[0])},{_num(zero)}"]
            for i, y in enumerate(ys):
                points.append(f"V{_num(y)}H{_num(xs[i + 1])}")
            points.append(f"V{_num(zero)}Z")
            return f'<path d="{"".join(points)}" fill="{color}" fill-opacity="{opacity:g}" stroke="none"/>'
        if kind == "line":
            _, x, y, color = mark
            keep = np.isfinite(x) & np.isfinite(y)
            if keep.sum() < 1:
                return ""
            xs, ys = px(x[keep]), py(y[keep])
            d = "M" + "L".join(f"{_num(a)},{_num(b)}" for a, b in zip(xs, ys))
            return f'<path d="{d}" fill="none" stroke="{color}" stroke-width="1.8" stroke-linejoin="round"/>'
        if kind == "scatter":
            _, x, y, color, size, opacity = mark
            if not x.size:
                return ""
            d = "".join(f"M{_num(a)},{_num(b)}h0" for a, b in zip(px(x), py(y)))
            return (f'<path d="{d}" stroke="{color}" stroke-opacity="{opacity:g}" stroke-width="{size:g}" '
                    'stroke-linecap="round" fill="none"/>')
        if kind == "hbars":
            _, positions, lengths, thickness, color = mark
            zero = float(px(0.0))
            rects = []
            for p, n in zip(positions, lengths):
                top, bottom = float(py(p - thickness / 2)), float(py(p + thickness / 2))
                x_end = float(px(n))
                rects.append(f'<rect x="{_num(min(zero, x_end))}" y="{_num(min(top, bottom))}" '
                             f'width="{_num(abs(x_end - zero))}" height="{_num(abs(bottom - top))}"/>')
            return f'<g fill="{color}">{"".join(rects)}</g>'
        if kind == "sticks":
            _, x, heights, color, width = mark
            if not x.size:
                return ""
            zero = float(py(max(min(ylim), 0.0)))
            d = "".join(f"M{_num(a)},{_num(zero)}V{_num(b)}" for a, b in zip(px(x), py(heights)))
            return f'<path d="{d}" stroke="{color}" stroke-width="{width:g}" fill="none"/>'
        if kind == "cells":
            _, x, y, colors, size = mark
            rects = []
            for a, b, color in zip(x, y, colors):
                left, right = float(px(a - size / 2)), float(px(a + size / 2))
                upper, lower = float(py(b - size / 2)), float(py(b + size / 2))
                rects.append(f'<rect x="{_num(min(left, right))}" y="{_num(min(upper, lower))}" '
                             f'width="{_num(abs(right - left))}" height="{_num(abs(lower - upper))}" fill="{color}"/>')
            return "".join(rects)
        if kind == "label":
            _, x, y, text, color, dy, size = mark
            return (f'<text x="{_num(px(x))}" y="{_num(float(py(y)) + dy)}" text-anchor="middle" '
                    f'font-size="{size}" fill="{color}">{_esc(text)}</text>')
        if kind == "vline":
            _, x, color, dashed = mark
            dash = ' stroke-dasharray="5,3"' if dashed else ""
            return (f'<line x1="{_num(px(x))}" y1="-1e4" x2="{_num(px(x))}" y2="1e4" stroke="{color}" '
                    f'stroke-width="1.2"{dash}/>')
        _, y, color = mark   # hline
        return f'<line x1="-1e4" y1="{_num(py(y))}" x2="1e4" y2="{_num(py(y))}" stroke="{color}" stroke-width="1.2"/>'

    def _legend_positions(self, left: float, top: float, width: float) -> list[list[tuple[float, float]]]:
        """The legend's entries laid out in rows above the plot area: (x, width) per entry,
        one list per row, wrapped so that no row is wider than the panel."""
        rows: list[list[tuple[float, float]]] = []
        x = left
        for label, _, _ in self._legend:
            w = 30 + _CHAR * len(label)
            if not rows or (x + w > left + width - 4 and rows[-1]):
                rows.append([])
                x = left
            rows[-1].append((x, w))
            x += w + 12
        return rows

    def _legend_svg(self, left: float, top: float, plot_w: float) -> str:
        if not self._legend:
            return ""
        row = _FONT + 6
        rows = self._legend_positions(left, top, self.width - left - 8)
        positions = [(x, top - 4 - row * (len(rows) - i)) for i, entries in enumerate(rows) for x, _ in entries]
        parts = []
        for (label, color, style), (x, y) in zip(self._legend, positions):
            if style.startswith("box"):
                swatch = (f'<rect x="{_num(x)}" y="{_num(y + 2)}" width="20" height="{_FONT - 3}" fill="{color}" '
                          f'fill-opacity="{style[3:]}"/>')
            else:
                dash = ' stroke-dasharray="5,3"' if style == "dash" else ""
                mid = y + _FONT / 2
                swatch = (f'<line x1="{_num(x)}" y1="{_num(mid)}" x2="{_num(x + 20)}" y2="{_num(mid)}" '
                          f'stroke="{color}" stroke-width="1.8"{dash}/>')
            parts.append(f'{swatch}<text x="{_num(x + 26)}" y="{_num(y + _FONT - 1)}">{_esc(label)}</text>')
        return "".join(parts)


def shade(value: float, low: float, high: float) -> str:
    """A colour for `value` on a scale from `low` (pale) to `high` (dark blue); grey for a
    value that is not finite."""
    if not np.isfinite(value):
        return "#d9d9d9"
    t = 0.0 if high <= low else min(max((value - low) / (high - low), 0.0), 1.0)
    pale, dark = (247, 251, 255), (8, 48, 107)
    r, g, b = (round(p + (d - p) * t) for p, d in zip(pale, dark))
    return f"#{r:02x}{g:02x}{b:02x}"
