"""Publishing the output files: all or none as a reader sees it, one search at a time,
leftovers of killed runs cleaned up, a failed write naming its file and leaving nothing,
and results with failed files never replacing complete results of more files unasked."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from _tables import best_per, match_table
from tovel_mesk.errors import OutputError
from tovel_mesk.report import tables as outputs
from tovel_mesk.report.publish import lock_path, output_lock
from tovel_mesk.summary import FileSummary, Summary, Totals


def summary(searched: int, failed: int = 0) -> Summary:
    files = [FileSummary(f"run{i}.mzML", spectra_read=10, spectra_searched=10) for i in range(searched)]
    files += [FileSummary(f"bad{i}.mzML", error=f"bad{i}.mzML: truncated") for i in range(failed)]
    return Summary(fdr=0.01, files=files, totals=Totals(files=len(files), files_searched=searched,
                                                        spectra_read=10 * searched, spectra_searched=10 * searched))


def write(directory: Path, written: Summary | dict, **kwargs) -> list[Path]:
    psms = match_table(20)
    return outputs.write_outputs(directory, psms, best_per(psms, "peptide", "peptide_q"),
                                 best_per(psms, "proteins", "protein_q"), written, report=False, **kwargs)


def contents(folder: Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in folder.iterdir()}


def siblings(folder: Path) -> list[str]:
    return sorted(p.name for p in folder.parent.iterdir() if p.name != folder.name)


def test_a_second_writer_is_refused_while_the_first_holds_the_folder(tmp_path):
    out = tmp_path / "out"
    code = ("import sys, time; from tovel_mesk.report.publish import output_lock\n"
            f"with output_lock({str(out)!r}):\n    print('held', flush=True); sys.stdin.read()\n")
    holder = subprocess.Popen([sys.executable, "-P", "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        with pytest.raises(OutputError, match=rf"{out}: another search \(process {holder.pid}\) is writing into "
                                              "this output folder"):
            write(out, summary(1))
        assert not out.exists()
    finally:
        holder.communicate("", timeout=30)
    write(out, summary(1))  # the lock went with its holder
    assert siblings(out) == []  # no lock file left behind


def test_the_lock_is_reentrant_in_one_process(tmp_path):
    out = tmp_path / "out"
    with output_lock(out):
        write(out, summary(1))
        assert lock_path(out).exists()
    assert not lock_path(out).exists()


def test_a_folder_of_outputs_is_replaced_whole_and_leftovers_are_removed(tmp_path):
    out = tmp_path / "out"
    write(out, summary(1))
    first = contents(out)
    # Leftovers of a run killed while staging, and temporary files of older versions.
    (tmp_path / ".out.0123456789ab.new").mkdir()
    (tmp_path / ".out.0123456789ab.new" / "psms.tsv").write_text("half")
    (out / ".psms.tsv.0123456789ab.tmp").write_text("half")
    write(out, summary(2))
    assert sorted(contents(out)) == sorted(first)
    assert json.loads((out / "summary.json").read_text())["totals"]["files_searched"] == 2
    assert siblings(out) == []


def test_a_folder_moved_aside_by_a_killed_run_is_put_back(tmp_path):
    out = tmp_path / "out"
    write(out, summary(3))
    old = contents(out)
    out.rename(tmp_path / ".out.0123456789ab.old")  # killed between the two renames of a swap
    with pytest.raises(OutputError, match="holds complete results of 3 files"):
        write(out, summary(1, failed=2))
    assert contents(out) == old and siblings(out) == []


def test_a_shared_folder_keeps_its_other_files(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "notes.txt").write_text("mine")
    write(out, summary(1))
    assert (out / "notes.txt").read_text() == "mine"
    assert {"psms.tsv", "summary.json", "results.pin"} <= set(contents(out))
    assert siblings(out) == []


def test_results_with_failed_files_do_not_replace_complete_ones_unasked(tmp_path):
    out = tmp_path / "out"
    write(out, summary(3))
    old = contents(out)
    with pytest.raises(OutputError, match=r"holds complete results of 3 files, and this search's results cover 1 "
                                          r"\(2 failed: bad0.mzML, bad1.mzML\); they were not written and the "
                                          r"older results stay \(--overwrite replaces them\)"):
        write(out, summary(1, failed=2))
    assert contents(out) == old
    write(out, summary(2))  # complete results always replace
    write(out, summary(2, failed=1))  # as many searched files as before: no loss
    write(out, summary(3))
    write(out, summary(1, failed=2), overwrite=True)
    assert json.loads((out / "summary.json").read_text())["status"] == "partial"


@pytest.mark.parametrize("existing", [False, True], ids=["new folder", "old results"])
def test_a_full_disk_names_the_file_and_leaves_no_folder(tmp_path, monkeypatch, existing):
    out = tmp_path / "a" / "b" / "out"
    if existing:
        write(out, summary(1))
        old = contents(out)

    def full(written, path):
        Path(path).write_text("{")
        raise OSError(28, "No space left on device")  # as Arrow and the file system raise it: no file name

    monkeypatch.setattr(outputs, "write_summary", full)
    with pytest.raises(OSError) as raised:
        write(out, summary(1))
    assert raised.value.filename == str(out / "summary.json")
    assert raised.value.strerror == "No space left on device; nothing was written"
    if existing:
        assert contents(out) == old and siblings(out) == []
    else:
        assert not (tmp_path / "a").exists()  # not even the parents made for it


def test_a_linked_output_folder_stays_a_link_and_keeps_its_permissions(tmp_path):
    real = tmp_path / "disk" / "results"
    write(real, summary(1))
    real.chmod(0o2770)
    link = tmp_path / "out"
    link.symlink_to(real)
    write(link, summary(2))
    assert link.is_symlink() and link.resolve() == real.resolve()
    assert json.loads((real / "summary.json").read_text())["totals"]["files_searched"] == 2
    assert real.stat().st_mode & 0o7777 == 0o2770
    assert siblings(real) == []


def test_a_shared_folder_gets_a_new_folder_of_per_file_tables(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "notes.txt").write_text("mine")
    write(out, summary(1), split_by_file=True)
    # A run killed while it replaced the per-file folder left the older one aside.
    aside = out / ".by_file.0123456789ab.old"
    (aside / "run_a.mzML").mkdir(parents=True)
    write(out, summary(1), split_by_file=True)
    assert sorted(p.name for p in out.iterdir()) == sorted(
        ["notes.txt", "by_file", *outputs.OUTPUTS[:6]])
    assert sorted(p.name for p in (out / "by_file").iterdir()) == ["run_a.mzML", "run_b.mzML"]
