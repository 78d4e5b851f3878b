"""Isobaric reporter ions: the plex tables, reading and removing reporters, the impurity
file and its correction, the precursor purity, the roll-up, and the reader's pass that
reads MS1, MS2 and MS3 spectra together."""

from __future__ import annotations

import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

from _spectra_files import Ion, Scan, mzml_text, write
from tovel_mesk.io.spectra import SpectraReader
from tovel_mesk.quant.isobaric import ReporterCollector, ReporterPlan
from tovel_mesk.quant.reporters import (ISOTOPE_SPACING, PLEXES, ImpurityError, check_window, correct_impurities,
                                        correct_impurities_reference,
                                        impurity_matrix, median_polish, nnls, precursor_purity, read_impurities,
                                        read_reporters, reporter_mask, roll_up)

sys.path.insert(0, str(Path(__file__).resolve().parents[3] / "examples"))
import isobaric_runs  # noqa: E402

TMT10 = PLEXES["tmt10"]


# ---------------------------------------------------------------------------------------
# Plexes and windows


def test_plexes_are_ascending_and_pairs_lie_6_mda_apart():
    for plex in PLEXES.values():
        assert list(plex.mz) == sorted(plex.mz) and len(set(plex.channels)) == len(plex.channels)
    assert len(PLEXES["tmt18"].channels) == 18 and len(PLEXES["tmt16"].channels) == 16
    assert PLEXES["tmt10"].paired and not PLEXES["tmt6"].paired and not PLEXES["itraq8"].paired
    assert TMT10.closest_spacing == pytest.approx(0.00632, abs=2e-5)
    # The 13C shift of 126 lands on 127C, not on 127N 6 mDa away; 131 (131N) has no +1 in TMT10.
    assert TMT10.channels[TMT10.shift_target(0, 1)] == "127C"
    assert TMT10.channels[TMT10.shift_target(1, 1)] == "128N"
    assert TMT10.shift_target(9, 1) is None


def test_a_window_that_reaches_the_neighbouring_channel_is_refused():
    check_window(TMT10, tolerance_ppm=20)
    with pytest.raises(ValueError, match="neighbouring channel"):
        check_window(TMT10, tolerance_ppm=30)
    with pytest.raises(ValueError, match="cannot separate"):
        check_window(TMT10, tolerance_da=0.01)
    check_window(PLEXES["tmt6"], tolerance_da=0.3)
    with pytest.raises(ValueError, match="positive"):
        check_window(TMT10, tolerance_ppm=0)


def test_reporters_read_with_their_errors_and_pairs_kept_apart():
    mz = np.array([126.127726 * (1 + 5e-6), 127.124761, 127.131081 * (1 - 8e-6), 127.131081, 300.0, 131.1382])
    intensity = np.array([100.0, 50.0, 20.0, 30.0, 999.0, 7.0])
    found, error = read_reporters(mz, intensity, TMT10, tolerance_ppm=20)
    assert found[:3].tolist() == [100.0, 50.0, 30.0]  # 127C: the more intense of its two peaks
    assert error[0] == pytest.approx(5.0, abs=1e-6) and error[2] == pytest.approx(0.0, abs=1e-6)
    assert found[9] == 7.0 and np.isnan(error[3]) and found[3] == 0.0
    mask = reporter_mask(mz, TMT10, tolerance_ppm=20)
    assert mask.tolist() == [True, True, True, True, False, True]
    # Outside every window by a hair: kept.
    assert not reporter_mask(np.array([127.124761 * (1 + 25e-6)]), TMT10, tolerance_ppm=20).any()


# ---------------------------------------------------------------------------------------
# Impurities


def _sheet(tmp_path, text: str) -> Path:
    path = tmp_path / "lot.tsv"
    path.write_text(text)
    return path


def test_lot_sheet_read_into_the_matrix(tmp_path):
    rows = ["channel\t-2\t-1\tmonoisotopic\t+1\t+2"]
    for name in PLEXES["tmt6"].channels:
        rows.append(f"TMT-{name}\t0.1\t1.0\t92.9\t5.0\t1.0")
    matrix = read_impurities(_sheet(tmp_path, "# lot 42\n" + "\n".join(rows) + "\n"), PLEXES["tmt6"])
    assert matrix[0, 0] == pytest.approx(0.929)
    # TMT6 channels lie 1 Da apart: each shift lands on the neighbour that far.
    assert matrix[1, 0] == pytest.approx(0.05) and matrix[2, 0] == pytest.approx(0.01)
    assert matrix[0, 1] == pytest.approx(0.01)
    # The -1 and -2 of 126 and the +1, +2 of 131 land on no channel: lost, not moved.
    assert matrix[:, 0].sum() == pytest.approx(0.929 + 0.06)


@pytest.mark.parametrize("text, message", [
    ("", "holds no header"),
    ("channel\t-2\t-1\t+1\n126\t0\t0\t0\n", "lacks the column \\+2"),
    ("channel\t-2\t-1\t+1\t+2\tnote\n", "unknown column 'note'"),
    ("channel\t-2\t-1\t+1\t+2\n126\t0\t0\t0\t0\n999\t0\t0\t0\t0\n", "line 3: unknown channel '999'"),
    ("channel\t-2\t-1\t+1\t+2\n126\t0\t0\t0\t0\n126\t0\t0\t0\t0\n", "line 3: channel '126' is given twice"),
    ("channel\t-2\t-1\t+1\t+2\n126\t0\tabc\t0\t0\n", "line 2: the -1 percentage of channel '126' is not a number"),
    ("channel\t-2\t-1\t+1\t+2\n126\t0\t-1\t0\t0\n", "must lie from 0 to 100"),
    ("channel\t-2\t-1\t+1\t+2\n126\t0\t60\t40\t0\n", "add up to 100%"),
    ("channel\t-2\t-1\t+1\t+2\n126\t0\t0\n", "line 2: holds 3 fields"),
    ("channel\t-2\t-1\t+1\t+2\n126\t0\t0\t0\t0\n", "channels 127, 128, 129, 130, 131 of tmt6 are missing"),
])
def test_bad_lot_sheets_are_refused_with_file_and_line(tmp_path, text, message):
    path = _sheet(tmp_path, text)
    with pytest.raises(ImpurityError, match=message) as caught:
        read_impurities(path, PLEXES["tmt6"])
    assert str(path) in str(caught.value)
    with pytest.raises(ImpurityError, match="cannot be read"):
        read_impurities(tmp_path / "missing.tsv", PLEXES["tmt6"])


def test_nnls_agrees_with_exhaustive_search_on_random_problems():
    rng = np.random.default_rng(1)
    for _ in range(200):
        m, n = int(rng.integers(2, 7)), int(rng.integers(1, 6))
        a = rng.normal(size=(m, n))
        b = rng.normal(size=m) * 3
        x = nnls(a, b)
        assert (x >= 0).all()
        # The best over every set of free variables (the reference).
        best = np.linalg.norm(b)
        for mask in range(1, 1 << n):
            cols = [j for j in range(n) if mask >> j & 1]
            z = np.linalg.lstsq(a[:, cols], b, rcond=None)[0]
            if (z >= 0).all():
                best = min(best, float(np.linalg.norm(a[:, cols] @ z - b)))
        assert np.linalg.norm(a @ x - b) <= best + 1e-9


def test_correction_recovers_ratios_that_impurities_mixed():
    percentages = isobaric_runs.impurity_percentages(10, seed=3)
    matrix = impurity_matrix(TMT10, percentages)
    assert np.allclose(matrix, isobaric_runs.mixing_matrix(list(TMT10.mz), percentages))
    rng = np.random.default_rng(2)
    true = rng.uniform(0.2, 1.0, size=(50, 10)) * 1e5
    true[0, 3] = 0.0  # an empty channel stays empty, never negative
    observed = true @ matrix.T
    corrected = correct_impurities(observed, matrix)
    assert np.allclose(corrected, true, rtol=1e-9, atol=1e-6)
    raw_error = np.median(np.abs(observed[1:] / observed[1:, :1] / (true[1:] / true[1:, :1]) - 1))
    assert raw_error > 0.02  # uncorrected, the mixing is visible
    assert correct_impurities(np.zeros((1, 10)), matrix).tolist() == [[0.0] * 10]


def test_fast_correction_agrees_with_row_by_row_nnls():
    rng = np.random.default_rng(5)
    matrix = impurity_matrix(TMT10, isobaric_runs.impurity_percentages(10, seed=9))
    observed = rng.lognormal(8, 2, size=(400, 10))
    observed[rng.random(observed.shape) < 0.2] = 0.0   # missing channels force negative direct solutions
    observed[3] = 0.0
    observed[7, 2] = np.nan
    fast = correct_impurities(observed, matrix)
    reference = correct_impurities_reference(observed, matrix)
    assert (fast >= 0).all() and np.allclose(fast, reference, rtol=1e-9, atol=1e-6 * observed[np.isfinite(observed)].max())
    assert (fast[3] == 0).all()


def test_median_ignoring_missing_values_agrees_with_numpy():
    from tovel_mesk.quant.reporters import _nanmedian

    rng = np.random.default_rng(6)
    table = rng.normal(size=(30, 7))
    table[rng.random(table.shape) < 0.3] = np.nan
    table[4] = np.nan
    for axis in (0, 1):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # the all-missing row
            expected = np.nanmedian(table, axis=axis)
        assert np.allclose(_nanmedian(table, axis), np.where(np.isnan(expected), 0.0, expected))


# ---------------------------------------------------------------------------------------
# Purity and roll-up


def test_purity_is_the_envelope_share_of_the_window():
    precursor, charge = 600.0, 2
    envelope = precursor + np.arange(3) * ISOTOPE_SPACING / charge
    mz = np.concatenate([envelope, [600.2, 610.0]])
    intensity = np.array([100.0, 80.0, 20.0, 200.0, 1e9])
    purity = precursor_purity(mz, intensity, precursor, charge, (599.0, 601.1))
    assert purity == pytest.approx(200.0 / 400.0)
    assert precursor_purity(envelope, intensity[:3], precursor, charge, (599.0, 601.0)) == 1.0
    assert np.isnan(precursor_purity(mz, intensity, precursor, None, (599.0, 601.0)))
    assert np.isnan(precursor_purity(mz, intensity, precursor, charge, None))
    assert np.isnan(precursor_purity(np.array([700.0]), np.array([1.0]), precursor, charge, (599.0, 601.0)))


def test_roll_up_by_sum_and_by_median_polish():
    groups = np.array([2, 1, 2, 2])
    values = np.array([[1.0, 2.0], [5.0, 5.0], [4.0, 8.0], [2.0, 0.0]])
    numbers, summed, used = roll_up(groups, values, method="sum")
    assert numbers.tolist() == [1, 2] and used.tolist() == [1, 3]
    assert summed.tolist() == [[5.0, 5.0], [7.0, 10.0]]
    _, polished, _ = roll_up(groups, values, method="median-polish")
    # Channel 2 is twice channel 1 in every spectrum that has both: the polish keeps that ratio.
    assert polished[1, 1] / polished[1, 0] == pytest.approx(2.0)
    table = np.log2(np.array([[1.0, 2.0, 4.0], [10.0, 20.0, 40.0]]))
    effects = median_polish(table)
    assert np.diff(effects) == pytest.approx([1.0, 1.0])
    assert np.isnan(median_polish(np.array([[1.0, np.nan]]))[1])
    with pytest.raises(ValueError, match="median-polish"):
        roll_up(groups, values, method="maxlfq")


# ---------------------------------------------------------------------------------------
# The reader's pass


def _reporter_scan(scan_id, level, reporters, *, precursors=(), extra=((500.0, 10.0),), rt=60.0):
    mz = [m for m, _ in reporters] + [m for m, _ in extra]
    intensity = [i for _, i in reporters] + [i for _, i in extra]
    return Scan(scan_id, mz, intensity, ms_level=level, precursors=list(precursors), rt_seconds=rt)


def _collect(path, plan):
    collector = ReporterCollector(plan)
    reader = SpectraReader(path, reporters=collector, top_peaks=150)
    spectra = [s for chunk in reader for s in chunk]
    return collector, spectra, reader


def test_reporters_removed_from_ms2_peaks_and_purity_from_the_scan_before(tmp_path):
    ion = Ion(600.0, 2, target=600.0, lower=1.0, upper=1.0)
    reporters = [(m, 1000.0 * (i + 1)) for i, m in enumerate(TMT10.mz)]
    scans = [Scan("scan=1", [600.0, 600.0 + ISOTOPE_SPACING / 2, 600.3], [300.0, 100.0, 400.0], ms_level=1,
                  rt_seconds=59.0),
             _reporter_scan("scan=2", 2, reporters, precursors=[ion]),
             _reporter_scan("scan=3", 2, reporters, precursors=[Ion(900.0, 3, target=900.0, lower=1.0, upper=1.0)])]
    path = write(tmp_path / "run.mzML", mzml_text(scans))
    collector, spectra, reader = _collect(path, ReporterPlan("tmt10"))
    assert reader.counts.kept == 2 and reader.counts.skipped["other_ms_level"] == 1
    # Only the non-reporter peak reaches the scorer.
    for spectrum in spectra:
        assert [m for m, _ in spectrum.peaks] == [np.float32(500.0 - 1.0072764)]
    table = collector.table()
    assert table["spec_id"].tolist() == ["scan=2", "scan=3"]
    assert table[[f"reporter_{c}" for c in TMT10.channels]].iloc[0].tolist() == [1000.0 * (i + 1) for i in range(10)]
    assert table["precursor_purity"].iloc[0] == pytest.approx(0.5)
    assert np.isnan(table["precursor_purity"].iloc[1])  # nothing of the MS1 scan inside its window
    summary = collector.summary()
    assert summary["ms1_scans"] == 1 and summary["reporter_spectra"] == "MS2"
    assert all(abs(e) < 0.01 for e in summary["median_mz_error_ppm"].values())


def test_sps_ms3_reporters_go_to_the_ms2_their_precursor_names(tmp_path):
    ms2 = Ion(600.0, 2, target=600.0, lower=1.0, upper=1.0)
    fragments = ((300.0, 50.0), (400.0, 60.0))
    ms3_reporters = [(m, 10.0 * (i + 1)) for i, m in enumerate(TMT10.mz)]
    ms2_reporters = [(m, 7.0) for m in TMT10.mz]  # an ion trap's, not used in an SPS-MS3 run
    scans = [_reporter_scan("scan=1", 2, ms2_reporters, precursors=[ms2], extra=fragments),
             _reporter_scan("scan=2", 2, ms2_reporters, precursors=[ms2], extra=fragments),
             _reporter_scan("scan=3", 3, ms3_reporters, precursors=[Ion(300.0, 1, ref="scan=2")]),
             _reporter_scan("scan=4", 3, ms3_reporters, precursors=[Ion(300.0, 1, ref="scan=99")])]
    path = write(tmp_path / "sps.mzML", mzml_text(scans))
    collector, spectra, _ = _collect(path, ReporterPlan("tmt10"))
    assert len(spectra) == 2
    table = collector.table().set_index("spec_id")
    assert table.loc["scan=1", "reporter_126"] == 0.0
    assert table.loc["scan=2", [f"reporter_{c}" for c in TMT10.channels]].tolist() == [10.0 * (i + 1) for i in range(10)]
    assert collector.ms3_linked == 1 and collector.ms3_unlinked == 1
    summary = collector.summary()
    assert summary["reporter_spectra"] == "MS3" and any("name no MS2 scan" in n for n in summary["notes"])
    # Reporter peaks are gone from both MS2 spectra whatever spectrum carries the reporters.
    assert all(len(s.peaks) == 2 for s in spectra)


def test_reporters_not_read_still_removed(tmp_path):
    ion = Ion(600.0, 2, target=600.0, lower=1.0, upper=1.0)
    scans = [_reporter_scan("scan=1", 2, [(126.2, 5.0), (127.0, 5.0)], precursors=[ion])]
    path = write(tmp_path / "trap.mzML", mzml_text(scans))
    plan = ReporterPlan("tmt10", ms2_ppm=None, removal_ppm=None, removal_da=0.3)
    collector, spectra, _ = _collect(path, plan)
    assert [m for m, _ in spectra[0].peaks] == [np.float32(500.0 - 1.0072764)]
    assert collector.table()["reporter_126"].tolist() == [0.0]


def test_reporter_peaks_never_match_fragments(tmp_path):
    import _tovel_mesk as tm

    from _support import PROTON, fragment_peaks, peptide_mass

    # b2 of GAPEPTIDEK lies at 129.066 m/z, within an ion trap's 0.5 Da of the 129N and 129C
    # reporters; the spectrum holds every other b and y ion, and the reporters.
    sequence = "GAPEPTIDEK"
    fragments = fragment_peaks(sequence).astype(np.float64) + PROTON
    fragments = fragments[np.abs(fragments - 129.066) > 0.01]
    reporters = [(m, 5000.0) for m in TMT10.mz]
    mass = peptide_mass(sequence)
    ion = Ion(mass / 2 + PROTON, 2, target=mass / 2 + PROTON, lower=1.0, upper=1.0)
    scan = _reporter_scan("scan=1", 2, reporters, precursors=[ion], extra=[(m, 1000.0) for m in fragments])
    path = write(tmp_path / "run.mzML", mzml_text([scan]))
    db = tm.PyIndexedDatabase.from_peptides_and_config(
        [tm.PyPeptide(sequence, mass, None)], 8, [tm.PyKind.B(), tm.PyKind.Y()], 0, False, "rev_", 0.0, 5000.0)
    scorer = tm.PyScorer(tm.PyTolerance.Ppm(-10, 10), tm.PyTolerance.Da(-0.5, 0.5), annotate_matches=True)

    def matched(reporters_removed: bool) -> list[float]:
        collector = ReporterCollector(ReporterPlan("tmt10")) if reporters_removed else None
        spectra = [s for chunk in SpectraReader(path, reporters=collector) for s in chunk]
        (match,) = scorer.score_many_spectra(db, spectra)[0]
        return list(match.fragments.mz_experimental)  # observed m/z, with the proton

    # Left in, a reporter takes the place of b2: the fault the removal prevents.
    assert reporter_mask(np.array(matched(False)), TMT10, tolerance_ppm=20).any()
    kept = np.array(matched(True))
    assert kept.size == fragments.size and not reporter_mask(kept, TMT10, tolerance_ppm=20).any()


def test_spectra_repeating_an_id_do_not_break_the_roll_up():
    import pandas as pd

    from tovel_mesk.quant.isobaric import quantify_reporters

    channels = [f"reporter_{c}" for c in PLEXES["tmt6"].channels]
    reporters = pd.DataFrame({"spec_id": ["a", "a", "b"], **{c: [1.0, 9.0, 2.0] for c in channels},
                              **{f"reporter_mz_error_{c}": [0.0] * 3 for c in PLEXES["tmt6"].channels},
                              "precursor_purity": [1.0, 1.0, 1.0]})
    psms = pd.DataFrame({"file": ["f", "f"], "spec_id": ["a", "b"], "label": [1, 1], "rank": [1, 1],
                         "spectrum_q": [0.0, 0.0], "peptide": ["PEPTIDEK", "PEPTIDER"]})
    groups = pd.DataFrame({"group": [1], "accessions": ["P1"], "lead": ["P1"]})
    result = quantify_reporters(psms, {"f": reporters}, groups, {"PEPTIDEK": 1, "PEPTIDER": 1},
                                plex_name="tmt6", fdr=0.01, method="sum")
    assert result.psms["reporter_126"].tolist() == [1.0, 2.0]   # the first spectrum of the id
    assert result.proteins["intensity_126"].tolist() == [3.0] and result.proteins["peptides_used"].tolist() == [2]
    assert any("repeat the id" in n for n in result.notes)
