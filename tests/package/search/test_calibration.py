"""Mass calibration: the systematic error measured on a sample's confident matches, the
m/z values corrected before scoring, and tolerances set from the spread that remains."""

from __future__ import annotations

import dataclasses

import numpy as np
import pytest

from tovel_mesk.config import load_settings
from tovel_mesk.pipeline import run_search
from tovel_mesk.search.calibration import (ErrorModel, Calibration, calibrate_file, fit_error_model,
                                           robust_sd)
from tovel_mesk.search.database import prepare_database
from tovel_mesk.search.plan import settings_for
from tovel_mesk.io.analyzer import Detection, HIGH
from tovel_mesk.report.html import uncalibrated

from _support import PROTON, RESIDUE, WATER

LETTERS = "ADEFGHILNQSTVWY"


def _peptides(rng: np.random.Generator, n: int) -> list[str]:
    out = []
    while len(out) < n:
        body = "".join(rng.choice(list(LETTERS), size=int(rng.integers(7, 15))))
        out.append(body + ("K" if rng.random() < 0.5 else "R"))
    return out


def write_run(tmp_path, *, precursor_ppm: float, fragment_ppm: float, n: int = 300, seed: int = 1,
              rt_slope_ppm: float = 0.0):
    """A FASTA of random tryptic peptides and an MGF of their charge-2 spectra, whose
    precursors are off by `precursor_ppm` (+ `rt_slope_ppm` per hour of retention time) and
    fragments by `fragment_ppm`, each with a spread of 1 ppm, among noise peaks."""
    rng = np.random.default_rng(seed)
    peptides = _peptides(rng, n)
    fasta = tmp_path / "proteins.fasta"
    fasta.write_text("".join(f">P{i}\n{''.join(peptides[i:i + 4])}\n" for i in range(0, n, 4)))
    blocks = []
    for index, sequence in enumerate(peptides):
        rt = float(rng.uniform(0, 3600))
        steps = np.array([RESIDUE[r] for r in sequence])
        mass = steps.sum() + WATER
        b = np.cumsum(steps[:-1])
        ions = np.concatenate([b, mass - b])
        ions = ions * (1 + (fragment_ppm + rng.normal(0, 1.0, ions.size)) * 1e-6) + PROTON
        noise = rng.uniform(150, mass, 25)
        mz = np.concatenate([ions, noise])
        intensity = np.concatenate([rng.uniform(500, 1000, ions.size), rng.uniform(10, 400, noise.size)])
        error = precursor_ppm + rt_slope_ppm * rt / 3600 + rng.normal(0, 1.0)
        precursor = (mass * (1 + error * 1e-6) + 2 * PROTON) / 2
        peaks = "\n".join(f"{m:.6f} {i:.1f}" for m, i in sorted(zip(mz, intensity)))
        blocks.append(f"BEGIN IONS\nTITLE=s{index}\nPEPMASS={precursor:.7f}\nCHARGE=2+\nRTINSECONDS={rt:.2f}\n"
                      f"{peaks}\nEND IONS\n")
    run = tmp_path / "run.mgf"
    run.write_text("".join(blocks))
    return fasta, run


@pytest.fixture(scope="module")
def offset_run(tmp_path_factory):
    return write_run(tmp_path_factory.mktemp("calibration"), precursor_ppm=5.0, fragment_ppm=3.0)


def _settings(fasta, run, **extra):
    return load_settings({"fasta": fasta, "spectra": [run], "output": fasta.parent / "out", "quiet": True,
                          "threads": 2, **extra})


def test_recovers_known_offsets(offset_run):
    fasta, run = offset_run
    settings = settings_for(_settings(fasta, run), Detection(HIGH, "orbitrap"))
    db, _ = prepare_database(settings)
    result = calibrate_file(settings, db, run, high_resolution=True)
    summary = result.summary
    assert summary["applied"] and summary["confident_matches"] >= 100
    assert summary["precursor"]["offset_ppm"] == pytest.approx(5.0, abs=0.4)
    assert summary["precursor"]["before"]["sd_ppm"] == pytest.approx(1.0, abs=0.4)
    assert abs(summary["precursor"]["after"]["median_ppm"]) < 0.2
    assert summary["fragment"]["offset_ppm"] == pytest.approx(3.0, abs=0.4)
    # Tolerances from the spread: 4 sd of about 1 ppm, raised to the 5 ppm floor.
    assert str(result.settings.precursor_tol) == "5ppm" and str(result.settings.fragment_tol) == "5ppm"
    calibration = result.calibration
    assert calibration is not None and calibration.fragment is not None
    # The correction divides the neutral part of an m/z by 1 + the error.
    assert calibration.precursor_mz(PROTON + 1000.005, 10.0) == pytest.approx(PROTON + 1000.0, abs=1e-3)


def test_search_scores_the_corrected_masses(offset_run, tmp_path):
    """The whole search with calibration finds the same spectra with the precursor errors
    centred on zero; without it the offset stays."""
    fasta, run = offset_run
    calibrated = run_search(_settings(fasta, run))
    plain = run_search(_settings(fasta, run, calibration=False))
    accepted = lambda o: o.psms[(o.psms["rank"] == 1) & (o.psms["label"] == 1) & (o.psms["spectrum_q"] <= 0.01)]  # noqa: E731
    assert np.median(accepted(plain)["delta_mass"]) == pytest.approx(5.0, abs=0.5)
    assert abs(np.median(accepted(calibrated)["delta_mass"])) < 0.3
    assert len(accepted(calibrated)) >= len(accepted(plain)) - 3
    plan = calibrated.summary.file_settings["run.mgf"]
    assert plan["detected"]["resolution"] == "high" and plan["detected"]["guessed"]
    assert plan["calibration"]["applied"] and plan["used"]["precursor_tol"] == "5ppm"
    # The report shows the errors before calibration too, from the model in the summary.
    before = uncalibrated(accepted(calibrated), calibrated.summary.as_dict())
    assert before is not None and np.median(before["delta_mass"]) == pytest.approx(5.0, abs=0.5)
    assert uncalibrated(accepted(plain), plain.summary.as_dict()) is None
    calibrated.write(tmp_path / "calibrated")
    assert "before mass calibration" in (tmp_path / "calibrated" / "report.html").read_text()
    assert "calibration" not in plain.summary.file_settings["run.mgf"]
    assert any("guess" in w for w in calibrated.summary.warnings)


def test_too_few_matches_keep_the_tolerances(tmp_path):
    fasta, run = write_run(tmp_path, precursor_ppm=5.0, fragment_ppm=0.0, n=12)
    settings = settings_for(_settings(fasta, run), Detection(HIGH, "orbitrap"))
    db, _ = prepare_database(settings)
    result = calibrate_file(settings, db, run, high_resolution=True)
    assert result.calibration is None and result.settings is settings
    assert not result.summary["applied"] and "too few confident matches" in result.warning


def test_error_model_follows_retention_time():
    """A drift along retention time is modelled when the data support it, and the spread
    left is the noise; without a drift the model stays a constant."""
    rng = np.random.default_rng(4)
    rt = rng.uniform(0, 90, 2000)
    mz = rng.uniform(400, 1200, 2000)
    errors = 2.0 + 4.0 * rt / 90 + rng.normal(0, 0.5, rt.size)
    model = fit_error_model(errors, mz, rt)
    assert "retention time" in model.kind
    assert robust_sd(errors - model(mz, rt)) == pytest.approx(0.5, abs=0.1)
    assert model(800.0, 0.0) == pytest.approx(2.0, abs=0.6) and model(800.0, 90.0) == pytest.approx(6.0, abs=0.6)
    flat = fit_error_model(1.5 + rng.normal(0, 0.5, rt.size), mz, rt)
    assert flat.kind == "offset" and flat.offset == pytest.approx(1.5, abs=0.05)
    # A spectrum without retention time takes the middle of the trend, never NaN.
    assert np.isfinite(model(800.0, float("nan")))


def test_calibration_leaves_low_resolution_fragments():
    calibration = Calibration(ErrorModel(10.0))
    peaks = np.array([300.0, 500.0])
    assert calibration.fragment_mz(peaks, 1.0) is peaks
    shifted = dataclasses.replace(calibration, fragment=ErrorModel(10.0)).fragment_mz(peaks, 1.0)
    assert shifted == pytest.approx(PROTON + (peaks - PROTON) / (1 + 1e-5))


def test_search_from_held_spectra_matches_a_second_reading(offset_run, monkeypatch):
    """The calibrated search prepares the spectra that calibration read (no second reading
    of the file), and its tables are those of a search that reads the file again; a file
    beyond the memory limit is read again, and the summary and warnings say so."""
    from pandas.testing import assert_frame_equal

    from tovel_mesk.io import spectra as spectra_module

    fasta, run = offset_run
    held = run_search(_settings(fasta, run))
    plan = held.summary.file_settings["run.mgf"]["calibration"]
    assert plan["spectra_held"] and "read_again" not in plan
    monkeypatch.setattr(spectra_module, "HOLD_BYTES", 0)
    again = run_search(_settings(fasta, run))
    plan = again.summary.file_settings["run.mgf"]["calibration"]
    assert not plan["spectra_held"] and "read a second time" in plan["read_again"]
    assert any("read a second time" in w for w in again.summary.warnings)
    assert plan["applied"] and held.summary.file_settings["run.mgf"]["calibration"]["fragment"]
    assert_frame_equal(held.psms, again.psms)
    assert_frame_equal(held.peptides, again.peptides)


def test_a_sample_pass_stops_when_asked(offset_run):
    """The pass that a search runs ahead stops at its next chunk once the search ends."""
    from tovel_mesk.search.calibration import Cancelled, read_sample

    fasta, run = offset_run
    settings = dataclasses.replace(_settings(fasta, run), chunk_size=50)
    asked = []

    def cancelled() -> bool:
        asked.append(1)
        return len(asked) > 2

    with pytest.raises(Cancelled):
        read_sample(settings, run, hold=True, cancelled=cancelled)
    assert len(asked) == 3
    whole = read_sample(settings, run, hold=True, cancelled=lambda: False)
    assert len(whole.spectra) == 300 and whole.held is not None and not whole.refused
