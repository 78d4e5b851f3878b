"""The MS1 scans of a run, stored compactly for chromatogram extraction.

A run's centroided MS1 peaks sit in two flat float32 arrays (m/z and intensity, 8 bytes
per peak) with per-scan offsets, so a 1-hour run with millions of peaks costs tens of
megabytes rather than the whole profile arrays of the file. Scans arrive in file order
from the reader's one pass; profile scans are centroided as they arrive.

Conventions: retention times in minutes, as in the match tables; m/z as observed
(singly or multiply protonated ions, not neutral masses); peaks of a scan ascend in m/z.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = ["Ms1Run", "Ms1Builder"]


@dataclass(frozen=True)
class Ms1Run:
    """The MS1 scans of one spectra file.

    `rt[i]` is the start time of scan i in minutes (ascending as in the file); its peaks are
    `mz[offsets[i]:offsets[i + 1]]` and `intensity[...]` (float32, ascending m/z).
    `scan_ids[i]` is the native id of scan i."""

    file: str
    rt: np.ndarray
    offsets: np.ndarray
    mz: np.ndarray
    intensity: np.ndarray
    scan_ids: tuple[str, ...] = ()

    @property
    def scans(self) -> int:
        return int(self.rt.size)

    @property
    def peaks(self) -> int:
        return int(self.mz.size)

    def scan(self, i: int) -> tuple[np.ndarray, np.ndarray]:
        """The m/z and intensity arrays of scan `i` (views, not copies)."""
        start, stop = int(self.offsets[i]), int(self.offsets[i + 1])
        return self.mz[start:stop], self.intensity[start:stop]

    @property
    def nbytes(self) -> int:
        return int(self.rt.nbytes + self.offsets.nbytes + self.mz.nbytes + self.intensity.nbytes)


class Ms1Builder:
    """Collects MS1 scans one at a time, as the reader meets them, into an `Ms1Run`.

    Peaks are kept in growing float32 blocks; nothing of a scan is kept but its centroids."""

    def __init__(self, file: str):
        self.file = file
        self._rt: list[float] = []
        self._ids: list[str] = []
        self._counts: list[int] = []
        self._mz: list[np.ndarray] = []
        self._intensity: list[np.ndarray] = []

    def add(self, rt: float, mz: np.ndarray, intensity: np.ndarray, *, centroided: bool = True,
            scan_id: str = "") -> None:
        """Adds one MS1 scan. `centroided=False` marks a profile scan, centroided here."""
        mz = np.asarray(mz, dtype=np.float64)
        intensity = np.asarray(intensity, dtype=np.float64)
        if not centroided:
            mz, intensity = centroid(mz, intensity)
        keep = intensity > 0
        if not keep.all():
            mz, intensity = mz[keep], intensity[keep]
        if mz.size > 1 and np.any(np.diff(mz) < 0):
            order = np.argsort(mz, kind="stable")
            mz, intensity = mz[order], intensity[order]
        self._rt.append(float(rt))
        self._ids.append(scan_id)
        self._counts.append(int(mz.size))
        self._mz.append(mz.astype(np.float32))
        self._intensity.append(intensity.astype(np.float32))

    def finish(self) -> Ms1Run:
        offsets = np.zeros(len(self._counts) + 1, dtype=np.int64)
        np.cumsum(self._counts, out=offsets[1:])
        empty = np.empty(0, dtype=np.float32)
        run = Ms1Run(self.file, np.asarray(self._rt, dtype=np.float64), offsets,
                     np.concatenate(self._mz) if self._mz else empty,
                     np.concatenate(self._intensity) if self._intensity else empty, tuple(self._ids))
        self._mz, self._intensity = [], []
        return run


def centroid(mz: np.ndarray, intensity: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Centroids of a profile scan: one per local maximum of intensity, at the vertex of
    the parabola through the logarithms of it and its two neighbours (exact for a Gaussian
    peak, whatever the sampling), with the summed intensity of the three points. Where a
    neighbour is zero, the intensity-weighted m/z of the three points stands in."""
    if mz.size < 3:
        return mz, intensity
    mid = intensity[1:-1]
    peak = np.flatnonzero((mid > intensity[:-2]) & (mid >= intensity[2:]) & (mid > 0)) + 1
    x0, x1, x2 = mz[peak - 1], mz[peak], mz[peak + 1]
    y0, y1, y2 = intensity[peak - 1], intensity[peak], intensity[peak + 1]
    total = y0 + y1 + y2
    weighted = (x0 * y0 + x1 * y1 + x2 * y2) / total
    logs = (y0 > 0) & (y2 > 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        l0, l1, l2 = np.log(np.where(logs, y0, 1.0)), np.log(y1), np.log(np.where(logs, y2, 1.0))
        # vertex of the parabola through (x0, l0), (x1, l1), (x2, l2)
        a = (x1 - x0) ** 2 * (l1 - l2) - (x1 - x2) ** 2 * (l1 - l0)
        b = (x1 - x0) * (l1 - l2) - (x1 - x2) * (l1 - l0)
        vertex = x1 - 0.5 * a / b
    inside = logs & (b != 0) & np.isfinite(vertex) & (vertex >= x0) & (vertex <= x2)
    return np.where(inside, vertex, weighted), total
