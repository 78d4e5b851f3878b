"""The compact MS1 store: scans in, flat float32 peaks with per-scan offsets out."""

from __future__ import annotations

import numpy as np

from tovel_mesk.quant.ms1 import Ms1Builder, centroid


def gaussian(centre: float, height: float, mz: np.ndarray, width: float = 0.004) -> np.ndarray:
    return height * np.exp(-0.5 * ((mz - centre) / width) ** 2)


def test_profile_peaks_become_one_centroid_each_at_their_centre():
    mz = np.arange(499.9, 501.2, 0.001)
    intensity = gaussian(500.0, 1e6, mz) + gaussian(500.5017, 4e5, mz) + gaussian(501.0033, 1e5, mz)
    centres, heights = centroid(mz, intensity)
    assert centres.size == 3
    np.testing.assert_allclose(centres, [500.0, 500.5017, 501.0033], atol=2e-4)
    assert heights[0] > heights[1] > heights[2]


def test_scans_keep_their_order_and_peaks_ascend_within_each():
    builder = Ms1Builder("run.mzML")
    builder.add(1.5, [300.0, 200.0, 250.0], [3.0, 1.0, 0.0], scan_id="scan=1")  # unsorted, one zero
    builder.add(1.6, [], [], scan_id="scan=3")  # an empty scan keeps its place
    builder.add(1.7, [400.0], [5.0], scan_id="scan=5")
    run = builder.finish()
    assert run.scans == 3 and run.peaks == 3
    assert run.offsets.tolist() == [0, 2, 2, 3]
    assert run.scan(0)[0].tolist() == [200.0, 300.0] and run.scan(0)[1].tolist() == [1.0, 3.0]
    assert run.scan(1)[0].size == 0
    assert run.scan_ids == ("scan=1", "scan=3", "scan=5")
    assert run.mz.dtype == run.intensity.dtype == np.float32
    # 8 bytes per peak, plus one offset and one time per scan
    assert run.nbytes == 8 * run.peaks + 8 * (run.scans + 1) + 8 * run.scans


def test_a_run_without_scans():
    run = Ms1Builder("empty.mzML").finish()
    assert run.scans == 0 and run.peaks == 0 and run.offsets.tolist() == [0]
