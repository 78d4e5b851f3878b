"""Reading the fragment analyzer of a spectra file from its head, and the measured guess
from the peak lists when the file says nothing."""

from __future__ import annotations

import numpy as np
import pytest

from tovel_mesk.io.analyzer import HIGH, LOW, UNKNOWN, detect_analyzer, guess_from_peaks
from tovel_mesk.search.plan import contradiction, settings_for
from tovel_mesk.search.scoring import window_xcorrs
from tovel_mesk.config import SearchSettings
from tovel_mesk.conventions import Tolerance

from _spectra_files import Ion, Scan, mgf_text, mzml_text, write

RESIDUES = [57.02146, 71.03711, 87.03203, 97.05276, 99.06841, 101.04768, 113.08406, 114.04293,
            115.02694, 128.05858, 128.09496, 129.04259, 131.04049, 137.05891, 147.06841, 156.10111,
            160.03065, 163.06333, 186.07931]

ORBITRAP = ("MS:1000484", "orbitrap")
ION_TRAP = ("MS:1000083", "radial ejection linear ion trap")
QUADRUPOLE = ("MS:1000081", "quadrupole")
TOF = ("MS:1000084", "time-of-flight")


def ladder_peaks(rng: np.random.Generator, error_da: float, n: int = 20, noise: int = 20) -> np.ndarray:
    """A run of b ions of a random peptide, each off by a normal error of `error_da`, among
    uniform noise peaks."""
    steps = rng.choice(RESIDUES, size=n)
    ions = 200.0 + np.cumsum(steps) + rng.normal(0.0, error_da, n)
    return np.concatenate([ions, rng.uniform(150.0, ions.max(), noise)])


def mzml(path, configurations: dict[str, list[tuple[str, str]]], spectra: list[tuple[str | None, str | None]],
         default: str | None = None, filter_as_user_param: bool = False):
    """An mzML file with the given instrument configurations (id -> analyzers in order) and
    MS2 spectra of (filter string, configuration referenced by the scan)."""
    rng = np.random.default_rng(3)
    configs = "".join(
        f'<instrumentConfiguration id="{cid}"><componentList count="{len(parts)}">'
        + "".join(f'<analyzer order="{i + 2}"><cvParam cvRef="MS" accession="{acc}" name="{name}"/></analyzer>'
                  for i, (acc, name) in enumerate(parts))
        + "</componentList></instrumentConfiguration>" for cid, parts in configurations.items())
    body = []
    for index, (filter_string, reference) in enumerate(spectra):
        mz = np.sort(ladder_peaks(rng, 0.002))
        scan_attr = f' instrumentConfigurationRef="{reference}"' if reference else ""
        filter_param = ""
        if filter_string is not None:
            filter_param = (f'<userParam name="filter string" value="{filter_string}"/>' if filter_as_user_param else
                            f'<cvParam cvRef="MS" accession="MS:1000512" name="filter string" value="{filter_string}"/>')
        peaks = " ".join(f"{m:.5f}" for m in mz)
        body.append(f'<spectrum index="{index}" id="scan={index + 1}" defaultArrayLength="0">'
                    '<cvParam cvRef="MS" accession="MS:1000511" name="ms level" value="2"/>'
                    f'<scanList count="1"><scan{scan_attr}>{filter_param}</scan></scanList>'
                    f'<!-- {peaks} --></spectrum>')
    run_default = f' defaultInstrumentConfigurationRef="{default}"' if default else ""
    text = ('<?xml version="1.0" encoding="utf-8"?><mzML xmlns="http://psi.hupo.org/ms/mzml" version="1.1.0">'
            f'<instrumentConfigurationList count="{len(configurations)}">{configs}</instrumentConfigurationList>'
            f'<run id="r"{run_default}><spectrumList count="{len(spectra)}">{"".join(body)}</spectrumList></run></mzML>')
    path.write_text(text)
    return path


@pytest.mark.parametrize("configurations, spectra, default, expected", [
    # The filter string names the analyzer, whatever the configuration says (a converter may
    # list only the Orbitrap of an LTQ Orbitrap).
    ({"ic": [ORBITRAP]}, [("ITMS + c NSI d Full ms2 440.15@cid35.00 [110.00-1335.00]", None)] * 5, "ic",
     (LOW, "ion trap", "cid", "filter string")),
    ({"ic": [ION_TRAP]}, [("FTMS + p NSI d Full ms2 512.30@hcd28.00 [100.00-1500.00]", None)] * 5, "ic",
     (HIGH, "orbitrap", "hcd", "filter string")),
    # No filter string: the configuration that the scan refers to.
    ({"ic1": [ORBITRAP], "ic2": [ION_TRAP]}, [(None, "ic2")] * 5, "ic1",
     (LOW, "radial ejection linear ion trap", "", "instrument configuration")),
    ({"ic1": [ION_TRAP], "ic2": [ORBITRAP]}, [(None, "ic2")] * 5, "ic1",
     (HIGH, "orbitrap", "", "instrument configuration")),
    # ... or the run's default one; the last analyzer in order measures the fragments.
    ({"ic1": [QUADRUPOLE, TOF]}, [(None, None)] * 5, "ic1", (HIGH, "time-of-flight", "", "instrument configuration")),
    ({"ic1": [QUADRUPOLE, ORBITRAP]}, [(None, None)] * 5, "ic1", (HIGH, "orbitrap", "", "instrument configuration")),
])
def test_mzml_states_its_analyzer(tmp_path, configurations, spectra, default, expected):
    found = detect_analyzer(mzml(tmp_path / "run.mzML", configurations, spectra, default))
    assert (found.resolution, found.analyzer, found.activation, found.source) == expected
    assert not found.guessed and found.spectra == len(spectra)


def test_filter_string_as_user_param(tmp_path):
    path = mzml(tmp_path / "run.mzML", {"ic": [ORBITRAP]}, [("ITMS + c NSI d Full ms2 1.0@cid35.00 [1-2]", None)] * 3,
                "ic", filter_as_user_param=True)
    assert detect_analyzer(path).resolution == LOW


def test_mixed_configurations_in_one_file(tmp_path):
    """A file whose spectra come from two analyzers: the majority decides and the spread is
    recorded, so that the plan can warn."""
    spectra = [(None, "ic2")] * 6 + [(None, "ic1")] * 4
    found = detect_analyzer(mzml(tmp_path / "run.mzML", {"ic1": [ORBITRAP], "ic2": [ION_TRAP]}, spectra, "ic1"))
    assert found.resolution == LOW
    assert found.mixed == {"radial ejection linear ion trap": 6, "orbitrap": 4}


def test_hybrid_configuration_says_nothing(tmp_path):
    """An ion trap and an Orbitrap in one configuration could measure fragments in either:
    nothing is stated, and the peaks decide."""
    path = mzml(tmp_path / "run.mzML", {"ic": [ION_TRAP, ORBITRAP]}, [(None, None)] * 3, "ic")
    found = detect_analyzer(path)
    assert found.source != "instrument configuration"


def test_only_the_head_is_read(tmp_path):
    """Detection stops after the first fragment spectra: a file damaged further on is still
    recognised."""
    path = mzml(tmp_path / "run.mzML", {"ic": [ION_TRAP]}, [(None, None)] * 250, "ic")
    text = path.read_text()
    path.write_text(text[: int(len(text) * 0.95)] + "<<garbage")
    found = detect_analyzer(path, max_spectra=20)
    assert (found.resolution, found.spectra) == (LOW, 20)


@pytest.mark.parametrize("error_da, expected", [(0.002, HIGH), (0.2, LOW)])
def test_guess_from_peak_lists(error_da, expected):
    rng = np.random.default_rng(11)
    found = guess_from_peaks(ladder_peaks(rng, error_da) for _ in range(60))
    assert found.resolution == expected and found.guessed
    assert found.evidence["pairs"] >= 150


def test_guess_needs_enough_peaks():
    assert guess_from_peaks([np.array([200.0, 257.02146])]).resolution == UNKNOWN
    assert guess_from_peaks([]).resolution == UNKNOWN


@pytest.mark.parametrize("error_da, header, expected", [
    (0.002, "", (HIGH, True)),
    (0.25, "", (LOW, True)),
    (0.002, "INSTRUMENT=ESI-TRAP", (LOW, False)),       # the file says, the peaks do not matter
    (0.25, "INSTRUMENT=ESI-QUAD-TOF", (HIGH, False)),
])
def test_mgf(tmp_path, error_da, header, expected):
    rng = np.random.default_rng(5)
    scans = []
    for i in range(80):
        mz = np.sort(ladder_peaks(rng, error_da)).tolist()
        scans.append(Scan(f"s{i}", mz, [100.0 + j for j in range(len(mz))], precursors=[Ion(700.0, 2)]))
    path = write(tmp_path / "run.mgf", mgf_text(scans, header=header))
    found = detect_analyzer(path)
    assert (found.resolution, found.guessed) == expected


def test_mgf_title_with_filter_string(tmp_path):
    scans = [Scan(f"run.{i}.{i}.2 FTMS + p NSI d Full ms2 500.0@hcd30.00 [100-1500]", [200.0, 300.0], [1.0, 2.0],
                  precursors=[Ion(500.0, 2)]) for i in range(3)]
    found = detect_analyzer(write(tmp_path / "run.mgf", mgf_text(scans)))
    assert (found.resolution, found.activation, found.source) == (HIGH, "hcd", "filter string")


def test_unreadable_file_is_unknown(tmp_path):
    assert detect_analyzer(tmp_path / "missing.mzML").resolution == UNKNOWN
    (tmp_path / "empty.mgf").write_text("")
    assert detect_analyzer(tmp_path / "empty.mgf").resolution == UNKNOWN


def test_settings_follow_the_detection():
    from tovel_mesk.io.analyzer import Detection

    auto = SearchSettings()
    assert auto.fragment_tol == "auto"
    low = settings_for(auto, Detection(LOW, "ion trap"))
    assert (str(low.fragment_tol), low.report_psms) == ("0.5da", 5)
    high = settings_for(auto, Detection(HIGH, "orbitrap"))
    assert (str(high.fragment_tol), high.report_psms, high.top_peaks) == ("10ppm", 1, 500)
    assert low.top_peaks == 150
    # Unknown takes the low-resolution settings; a report_psms or top_peaks the user chose is kept.
    assert settings_for(SearchSettings(report_psms=3), Detection(UNKNOWN)).report_psms == 3
    assert settings_for(SearchSettings(top_peaks=200), Detection(HIGH, "orbitrap")).top_peaks == 200
    # delta_xcorr (every window candidate cross-correlated) only where fragments are matched wider than 0.1 Da.
    assert not window_xcorrs(high) and window_xcorrs(low) and window_xcorrs(auto)
    assert window_xcorrs(SearchSettings(fragment_tol=Tolerance.parse("0.2da")))
    assert not window_xcorrs(SearchSettings(fragment_tol=Tolerance.parse("0.05da")))
    assert str(settings_for(auto, Detection(UNKNOWN)).fragment_tol) == "0.5da"
    # A forced tolerance is used as given, and a contradiction is named.
    forced = SearchSettings(fragment_tol="10ppm")
    assert settings_for(forced, Detection(LOW, "ion trap")) is forced
    assert "narrower" in contradiction(Tolerance.parse("10ppm"), Detection(LOW, "ion trap"))
    assert "wider" in contradiction(Tolerance.parse("0.5da"), Detection(HIGH, "orbitrap"))
    assert contradiction(Tolerance.parse("0.5da"), Detection(LOW, "ion trap")) == ""
    assert contradiction(Tolerance.parse("10ppm"), Detection(UNKNOWN)) == ""
    assert contradiction("auto", Detection(LOW, "ion trap")) == ""
