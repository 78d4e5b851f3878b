"""The experimental-design parser: the layout with its sample table, matching files by base
name, and the bad inputs, each named with the file and the line."""

from __future__ import annotations

import pytest

from tovel_mesk.errors import DesignError, InputError
from tovel_mesk.quant.design import Design, read_design

HEADER = "Fraction_Group\tFraction\tSpectra_Filepath\tLabel\tSample\n"
FRACTIONS = (HEADER + "1\t1\tA_F1.mzML\t1\t1\n1\t2\tA_F2.mzML\t1\t1\n"
             "2\t1\tB_F1.mzML\t1\t2\n2\t2\tB_F2.mzML\t1\t2\n")
SAMPLES = "\nSample\tMSstats_Condition\tMSstats_BioReplicate\n1\tctrl\t1\n2\ttreated\t1\n"
FILES = ["/data/run/A_F1.mzML", "/data/run/A_F2.mzML", "/data/run/B_F1.mzML", "/data/run/B_F2.mzML"]


def write(tmp_path, text, name="design.tsv"):
    path = tmp_path / name
    path.write_text(text)
    return path


def test_fractions_with_a_sample_table(tmp_path):
    design = read_design(write(tmp_path, FRACTIONS + SAMPLES), FILES)
    assert design.samples == ("1", "2")
    assert design.files_of("2") == (FILES[2], FILES[3])
    assert design.sample_of(FILES[1]) == "1"
    assert design.sample_attributes["2"]["MSstats_Condition"] == "treated"
    assert [(r.fraction_group, r.fraction, r.line) for r in design.rows] == [(1, 1, 2), (1, 2, 3), (2, 1, 4), (2, 2, 5)]
    assert not design.notes


def test_tab_only_separator_lines_and_windows_paths(tmp_path):
    # Blank lines made of tabs end the first table, as spreadsheets write them.
    text = (HEADER + "1\t1\tC:\\runs\\A_F1.mzML\t1\tx\n2\t1\tB_F1.mzML\t1\ty\n\t\t\t\t\n\t\t\t\t\n"
            "Sample\tMSstats_Condition\t\t\n x\t1\t\t\ny\t2\t\t\n")
    design = read_design(write(tmp_path, text), ["A_F1.mzML", "B_F1.mzML"])
    assert design.samples == ("x", "y")
    assert design.sample_attributes["y"]["MSstats_Condition"] == "2"


def test_whole_fraction_groups_outside_the_search_are_left_out_with_a_note(tmp_path):
    design = read_design(write(tmp_path, FRACTIONS), FILES[2:])
    assert design.samples == ("2",)
    assert "A_F1.mzML" in design.notes[0] and "left out" in design.notes[0]


@pytest.mark.parametrize("text, files, message", [
    ("Fraction_Group\tFraction\tSpectra_Filepath\tSample\n1\t1\tA_F1.mzML\t1\n", FILES[:1], r"line 1: .*column Label"),
    ("Fraction\tSpectra_Filepath\tLabel\n1\tA_F1.mzML\t1\n", FILES[:1], "columns Fraction_Group, Sample"),
    (FRACTIONS, FILES[:3], r"line 5: unknown file 'B_F2.mzML'.*fraction group 2"),
    (FRACTIONS, FILES + ["/data/C_F1.mzML"], r"'/data/C_F1.mzML' is missing from the design"),
    (FRACTIONS.replace("2\t2\tB_F2", "2\t1\tB_F2"), FILES, r"line 5: fraction 1 of fraction group 2 .*line 4"),
    (FRACTIONS.replace("B_F2.mzML", "B_F1.mzML"), FILES, r"line 5: the file 'B_F1.mzML' is already given on line 4"),
    (FRACTIONS.replace("2\t2\tB_F2", "2\ttwo\tB_F2"), FILES, r"line 5: Fraction must be a whole number, got 'two'"),
    (FRACTIONS.replace("1\t2\n", "1\t\n"), FILES, r"line 4: Sample is empty"),
    ("", FILES, "empty"),
    (HEADER, FILES, "names no spectra file"),
])
def test_bad_designs(tmp_path, text, files, message):
    path = write(tmp_path, text)
    with pytest.raises(DesignError, match=message) as caught:
        read_design(path, files)
    assert str(path) in str(caught.value)
    assert isinstance(caught.value, InputError)


def test_unreadable_designs(tmp_path):
    with pytest.raises(DesignError, match="missing.tsv"):
        read_design(tmp_path / "missing.tsv", FILES)
    path = tmp_path / "latin1.tsv"
    path.write_bytes(HEADER.encode() + "1\t1\tA_F1.mzML\t1\tÄ\n".encode("latin-1"))
    with pytest.raises(DesignError, match="not UTF-8"):
        read_design(path, ["A_F1.mzML"])
    with pytest.raises(DesignError, match="share the base name"):
        read_design(write(tmp_path, FRACTIONS), ["/x/A_F1.mzML", "/y/A_F1.mzML"])


def test_a_multiplexed_file_has_a_row_per_label(tmp_path):
    text = HEADER + "".join(f"1\t1\tA_F1.mzML\t{label}\ts{label}\n" for label in (1, 2, 3))
    design = read_design(write(tmp_path, text), ["A_F1.mzML"])
    assert [r.label for r in design.rows] == [1, 2, 3] and design.samples == ("s1", "s2", "s3")
    with pytest.raises(DesignError, match=r"line 3: the file 'A_F1.mzML' is fraction 2 of fraction group 1 here"):
        read_design(write(tmp_path, HEADER + "1\t1\tA_F1.mzML\t1\ts1\n1\t2\tA_F1.mzML\t2\ts2\n"),
                    ["A_F1.mzML"])


def test_one_sample_per_file():
    design = Design.one_sample_per_file(["a.mzML", "b.mzML"])
    assert design.samples == ("a.mzML", "b.mzML") and design.sample_of("b.mzML") == "b.mzML"
