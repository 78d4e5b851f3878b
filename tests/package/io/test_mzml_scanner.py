"""The native scanner of mzML spectra against the reference path (lxml), on randomly generated
files: the same records (ids, levels, times, precursors, peaks to the bit), the same MS1 scans
handed on, the same errors; and a fallback, said, for what the scanner leaves to the reference."""

from __future__ import annotations

import base64
import gzip
import io
import random
import re
import zlib

import numpy as np
import pytest

from tovel_mesk.errors import SpectraFileError
from tovel_mesk.io import mzml
from tovel_mesk.io.mzml import MzmlReader
from tovel_mesk.io.spectra import SpectraReader

DTYPES = {"MS:1000521": ("<f4", "32-bit float"), "MS:1000523": ("<f8", "64-bit float"),
          "MS:1000519": ("<i4", "32-bit integer"), "MS:1000522": ("<i8", "64-bit integer")}
UNITS = [('unitAccession="UO:0000010" unitName="second"', 1), ('unitAccession="UO:0000031" unitName="minute"', 1),
         ('unitAccession="UO:0000028" unitName="millisecond"', 1), ('unitName="minute"', 1), ("", 1),
         ('unitAccession="UO:0000099" unitName="hour"', 0)]


def _number(rng: random.Random, value: float, plain: bool = True) -> str:
    forms = [repr(value), f"{value:.6e}", f"{value:.4f}"]
    if not plain:
        forms += [f" {value!r}", f"+{value!r}", "nan", "1e999", "x"]
    return rng.choice(forms)


def _cv(accession: str, name: str, value: str | None = None, extra: str = "", quote: str = '"') -> str:
    text = f"<cvParam cvRef={quote}MS{quote} accession={quote}{accession}{quote} name={quote}{name}{quote}"
    if value is not None:
        text += f" value={quote}{value}{quote}"
    return text + (f" {extra}" if extra else "") + "/>"


def _binary(rng: random.Random, values: np.ndarray, dtype: str, compress: bool, fault: bool) -> tuple[str, int]:
    with np.errstate(over="ignore", invalid="ignore"):
        data = np.asarray(values).astype(dtype).tobytes()
    if compress:
        data = zlib.compress(data)
    text = base64.b64encode(data).decode()
    if fault:
        kind = rng.randrange(4)
        if kind == 0:
            text = text[:-4]
        elif kind == 1:
            text = "!" + text
        elif kind == 2 and compress:
            text = base64.b64encode(data[:-3]).decode()
    if rng.random() < 0.1 and len(text) > 8:  # whitespace inside the text
        text = text[:4] + rng.choice(["\n", "  ", "\r\n\t"]) + text[4:]
    if rng.random() < 0.01:
        text = f"<![CDATA[{text}]]>"
    return text, len(values)


def _array(rng: random.Random, values: np.ndarray, accession: str, name: str, faults: bool,
           group: str | None) -> str:
    dtype_accession = rng.choice(list(DTYPES) if rng.random() < 0.1 else ["MS:1000521", "MS:1000523"])
    dtype, dtype_name = DTYPES[dtype_accession]
    if dtype.startswith("<i"):
        values = np.round(values)
    compress = rng.random() < 0.5
    fault = faults and rng.random() < 0.05
    text, length = _binary(rng, values, dtype, compress, fault)
    params = _cv(accession, name)
    if group is not None:
        params += f'<referenceableParamGroupRef ref="{group}"/>'
        dtype_accession, compress = "MS:1000523", False
        text, length = _binary(rng, values, "<f8", False, fault)
    else:
        params += _cv(dtype_accession, dtype_name)
        params += _cv("MS:1000574", "zlib compression") if compress else _cv("MS:1000576", "no compression")
    if faults and rng.random() < 0.03:
        params += _cv("MS:1002312", "MS-Numpress linear prediction compression")
    if faults and rng.random() < 0.03:
        length += rng.choice([-1, 1])
    array_length = f' arrayLength="{length}"' if rng.random() < 0.3 else ""
    binary = f"<binary>{text}</binary>"
    if rng.random() < 0.05 and "CDATA" not in text:
        half = len(text) // 2
        binary = f"<binary>{text[:half]}</binary><binary>{text[half:]}</binary>"
    return f"<binaryDataArray{array_length} encodedLength=\"{len(text)}\">{params}{binary}</binaryDataArray>"


def _spectrum(rng: random.Random, index: int, faults: bool, groups: bool) -> tuple[str, int]:
    level = rng.choice([1, 2, 2, 2, 3])
    n = rng.choice([0, 0, 1, 5, 40, 200])
    mz = np.sort(rng.uniform(100, 2000) + np.array([rng.uniform(0, 1500) for _ in range(n)]))
    intensity = np.array([rng.choice([rng.uniform(0, 1e6), 0.0, 1e39]) if rng.random() < 0.05
                          else rng.uniform(1, 1e6) for _ in range(n)])
    params = []
    if rng.random() < 0.95:
        params.append(_cv("MS:1000511", "ms level", _number(rng, level) if rng.random() < 0.1 else str(level)))
    elif level == 1:
        params.append(_cv("MS:1000579", "MS1 spectrum"))
    params.append(_cv("MS:1000128", "profile spectrum") if rng.random() < 0.2 else _cv("MS:1000127", "centroid spectrum"))
    if rng.random() < 0.7:
        params.append(_cv("MS:1000285", "total ion current", _number(rng, rng.uniform(1, 1e8), not faults)))
    if faults and rng.random() < 0.02:
        params.append('<referenceableParamGroupRef ref="missing"/>')
    scan_list = ""
    if rng.random() < 0.9:
        unit, _ = rng.choice(UNITS if faults else UNITS[:-1])
        value = _number(rng, rng.uniform(0, 7200), not faults or rng.random() < 0.9)
        scan = _cv("MS:1000016", "scan start time", value, unit) if rng.random() < 0.95 else ""
        scan_list = f'<scanList count="1">{_cv("MS:1000795", "no combination")}<scan {"" if rng.random() < .5 else " "}>{scan}</scan></scanList>'
    precursors = ""
    if level > 1 and rng.random() < 0.95:
        items = []
        for _ in range(rng.choice([1, 1, 1, 2])):
            window = ""
            if rng.random() < 0.8:
                centre = rng.uniform(300, 1500)
                window = "<isolationWindow>"
                if rng.random() < 0.8:
                    window += _cv("MS:1000827", "isolation window target m/z", repr(centre))
                lower = rng.choice([1.0, 0.5, 2.0, -1.0] if faults else [1.0, 0.5])
                window += _cv("MS:1000828", "isolation window lower offset", repr(lower))
                window += _cv("MS:1000829", "isolation window upper offset", repr(rng.choice([1.0, 0.75])))
                window += "</isolationWindow>"
            ions = []
            for _ in range(rng.choice([1, 1, 2])):
                ion = _cv("MS:1000744", "selected ion m/z",
                          rng.choice([repr(rng.uniform(300, 1500))] * 8 + ["0", "-5.0", "1e308"]))
                choice = rng.random()
                if choice < 0.6:
                    charge = rng.choice([2, 3, 0, 4, 120] + ([-2, 2.5] if faults else []))
                    ion += _cv("MS:1000041", "charge state", str(charge))
                elif choice < 0.8:
                    for charge in rng.sample([2, 3, 4], rng.choice([1, 2])):
                        ion += _cv("MS:1000633", "possible charge state", str(charge))
                if rng.random() < 0.5:
                    ion += _cv("MS:1000042", "peak intensity", _number(rng, rng.uniform(1, 1e7)))
                ions.append(f"<selectedIon>{ion}</selectedIon>")
            ref = f' spectrumRef="scan={index - 1}"' if rng.random() < 0.5 else ""
            items.append(f"<precursor{ref}>{window}<selectedIonList count=\"{len(ions)}\">{''.join(ions)}"
                         f"</selectedIonList><activation>{_cv('MS:1000133', 'collision-induced dissociation')}"
                         "</activation></precursor>")
        precursors = f'<precursorList count="{len(items)}">{"".join(items)}</precursorList>'
    arrays = ""
    if n or rng.random() < 0.7:
        group = "arrays" if groups and rng.random() < 0.3 else None
        parts = [_array(rng, mz, "MS:1000514", "m/z array", faults, group),
                 _array(rng, intensity, "MS:1000515", "intensity array", faults, group)]
        if faults and rng.random() < 0.02:
            parts.pop()
        if faults and rng.random() < 0.02:
            parts.append(parts[0])
        arrays = f'<binaryDataArrayList count="{len(parts)}">{"".join(parts)}</binaryDataArrayList>'
    sid = rng.choice([f"controllerType=0 controllerNumber=1 scan={index + 1}", f"scan={index + 1}", "",
                      f"a &amp; b {index}"])
    id_attribute = f' id="{sid}"' if sid or rng.random() < 0.5 else ""
    index_attribute = f' index="{index}"' if rng.random() < 0.9 else ""
    extra = ""
    if rng.random() < 0.015:
        extra = rng.choice(["<!-- a comment -->", "<userParam name=\"filter string\" value=\"é\"/>",
                            "<?pi x?>", "<userParam name='x' value='1 &#65; 2'/>"])
    separator = rng.choice(["\n", "", "\n\t\t", " "])
    body = separator.join([*params, extra, scan_list, precursors, arrays])
    return (f'<spectrum{index_attribute}{id_attribute} defaultArrayLength="{n}">{separator}{body}</spectrum>',
            level)


def random_mzml(seed: int, *, faults: bool = False) -> bytes:
    rng = random.Random(seed)
    namespace = ' xmlns="http://psi.hupo.org/ms/mzml"' if rng.random() < 0.8 else ""
    groups = rng.random() < 0.4
    n = rng.randrange(0, 25)
    spectra = [_spectrum(rng, i, faults, groups)[0] for i in range(n)]
    declaration = rng.choice(['<?xml version="1.0" encoding="utf-8"?>\n',
                              '<?xml version="1.0" encoding="ISO-8859-1"?>\n', ""])
    group_list = ""
    if groups:
        group_list = ('<referenceableParamGroupList count="1"><referenceableParamGroup id="arrays">'
                      + _cv("MS:1000523", "64-bit float") + _cv("MS:1000576", "no compression")
                      + "</referenceableParamGroup></referenceableParamGroupList>\n")
    indexed = rng.random() < 0.5
    text = (declaration + (f"<indexedmzML{namespace}>\n" if indexed else "")
            + f'<mzML{namespace} version="1.1.0">\n<cvList count="1"><cv id="MS" fullName="PSI-MS"/></cvList>\n'
            + group_list + f'<run id="r"><spectrumList count="{n}" defaultDataProcessingRef="dp">\n'
            + "\n".join(spectra) + "\n</spectrumList>"
            + "<chromatogramList count=\"0\"></chromatogramList></run>\n</mzML>\n"
            + ("<indexList count=\"0\"></indexList>\n</indexedmzML>\n" if indexed else ""))
    data = text.encode("utf-8" if "ISO" not in declaration else "latin-1", errors="replace")
    if faults and rng.random() < 0.1:
        data = data[:rng.randrange(len(data))]
    if faults and rng.random() < 0.1 and spectra:
        position = data.find(b"<spectrum ", rng.randrange(len(data)))
        if position > 0:
            data = data[:position] + rng.choice([b"<!-- x -->", b"junk", b"<spectrum>"]) + data[position:]
    return data


def _outcome(path, data: bytes, native: bool, ms_level, with_ms1: bool, chunk: int, monkeypatch,
             compressed: bool = False):
    """Everything a pass hands on: records with their peaks (or the error asking for them
    raises), MS1 scans, left-out MS1 scans, the stated total; or the error of the pass.
    `compressed`: the file is read through gzip, as `SpectraReader` reads a .gz file."""
    monkeypatch.setattr(mzml, "SCAN_BYTES", chunk)
    stream = gzip.GzipFile(fileobj=io.BytesIO(gzip.compress(data)), mode="rb") if compressed else io.BytesIO(data)
    handed = []

    def sink(rt, mz, intensity, *, centroided, scan_id):
        handed.append((rt, mz.dtype.str, mz.tobytes(), intensity.dtype.str, intensity.tobytes(), centroided, scan_id))

    reader = MzmlReader(str(path), stream, ms_level, sink if with_ms1 else None, native=native)
    records = []
    try:
        for raw in reader:
            try:
                mz, intensity = raw.peaks()
                peaks = (mz.dtype.str, mz.tobytes(), intensity.dtype.str, intensity.tobytes())
            except SpectraFileError as error:
                peaks = ("error", str(error))
            records.append((raw.id, raw.ms_level, repr(raw.rt), repr(raw.tic), repr(raw.precursors), raw.scan, peaks))
    except SpectraFileError as error:
        records.append(("error", str(error)))
    return records, handed, reader.ms1_left_out, reader.total, reader.fallback


def disagreement(data: bytes, got, expected) -> str:
    """How the scanner's pass (`got`, from `_outcome`) differs from the reference's, or "".

    lxml reports malformed XML as soon as it parses it, before the spectra it parsed ahead of
    the fault are handed on: the scanner may hand on more of them first. And it parses ahead
    past the end of the spectrum list, failing a file for a fault after it that a longer file
    would not have reached: the scanner reads nothing after the list."""
    if not (expected[0] and expected[0][-1][0] == "error"):
        for what, a, b in zip(("records", "MS1 scans", "MS1 scans left out", "count"), got, expected):
            if a != b:
                return f"{what} differ"
        return ""
    if got[0][:len(expected[0]) - 1] != expected[0][:-1] or got[1][:len(expected[1])] != expected[1]:
        return "records before the error differ"
    if got[0] and got[0][-1] == expected[0][-1]:
        return ""
    where = re.search(r"line (\d+), column (\d+)", expected[0][-1][1])
    end = data.find(b"</spectrumList")
    if got[0] and got[0][-1][0] == "error" or where is None or end < 0:
        return f"errors differ: {got[0][-1:]} / {expected[0][-1]}"
    line_start = 0
    for _ in range(int(where[1]) - 1):
        line_start = data.find(b"\n", line_start) + 1
    if line_start + int(where[2]) <= end:  # columns count characters, not bytes: at the end tag or after it
        return f"errors differ: {got[0][-1:]} / {expected[0][-1]}"
    return ""


@pytest.mark.parametrize("faults", [False, True], ids=["well-formed", "with-faults"])
def test_scanner_reads_what_the_reference_reads(tmp_path, monkeypatch, faults):
    """On random files the scanner's records, MS1 scans and errors are the reference's, whatever
    the chunk boundaries; on well-formed files of the plain form it needs no fallback."""
    fell_back = scanned = 0
    for seed in range(120):
        data = random_mzml(seed, faults=faults)
        rng = random.Random(seed)
        ms_level = rng.choice([None, 2, 1])
        with_ms1 = rng.random() < 0.5
        chunk = rng.choice([1 << 22, 64, 1000, 4096])
        compressed = rng.random() < 0.2
        expected = _outcome(tmp_path / "run.mzML", data, False, ms_level, with_ms1, chunk, monkeypatch, compressed)
        got = _outcome(tmp_path / "run.mzML", data, True, ms_level, with_ms1, chunk, monkeypatch, compressed)
        assert not disagreement(data, got, expected), f"seed {seed}: {disagreement(data, got, expected)}"
        assert expected[4] is None
        if got[4] is None:
            scanned += 1
        else:
            fell_back += 1
            assert got[4].startswith("read by the reference path from")
    assert scanned > (5 if faults else 50)
    if faults:
        assert fell_back > 10


def test_plain_files_are_scanned_without_fallback(tmp_path, monkeypatch):
    """Files without the constructs the scanner leaves to the reference are read by it alone."""
    plain = 0
    for seed in range(200):
        data = random_mzml(seed)
        if any(marker in data for marker in (b"<!--", b"CDATA", b"&#", b"<?pi", "é".encode(), b"\xe9")):
            continue
        plain += 1
        got = _outcome(tmp_path / "run.mzML", data, True, 2, True, 1 << 20, monkeypatch)
        assert got[4] is None, f"seed {seed}: {got[4]}"
    assert plain > 100


def test_fallback_is_said_and_the_reader_counts_every_spectrum_once(tmp_path):
    """A comment inside the fifth spectrum: the scanner hands on four spectra, the reference the
    rest; `SpectraReader` counts each spectrum once and says the fallback, gzip input alike."""
    rng = random.Random(3)
    spectra = [_spectrum(rng, i, False, False)[0] for i in range(8)]
    spectra[4] = spectra[4].replace("</spectrum>", "<!-- note --></spectrum>")
    text = ('<?xml version="1.0" encoding="utf-8"?>\n<mzML xmlns="http://psi.hupo.org/ms/mzml">'
            '<run id="r"><spectrumList count="8">' + "\n".join(spectra) + "</spectrumList></run></mzML>")
    for name, data in (("run.mzML", text.encode()), ("run.mzML.gz", gzip.compress(text.encode()))):
        path = tmp_path / name
        path.write_bytes(data)
        reader = SpectraReader(path, ms_level=2)
        kept = [s.id for chunk in reader for s in chunk]
        reference = SpectraReader(path, ms_level=2)
        reference_records = []
        original = mzml.MzmlReader.__init__

        def reference_only(self, *args, native=True, **kwargs):
            original(self, *args, native=False, **kwargs)

        mzml.MzmlReader.__init__ = reference_only
        try:
            reference_records = [s.id for chunk in reference for s in chunk]
        finally:
            mzml.MzmlReader.__init__ = original
        assert kept == reference_records
        assert reader.counts.read == 8 and reader.counts == reference.counts
        assert reader.fallback == ("read by the reference path from spectrum 5 on: the native scanner does not "
                                   "read a comment, CDATA section or processing instruction")
        assert reference.fallback is None


def test_truncated_file_fails_as_in_the_reference(tmp_path, monkeypatch):
    """A file cut inside a spectrum fails with the reference's message, naming the last spectrum read."""
    data = next(d for d in map(random_mzml, range(50)) if d.count(b"<binary>") > 4)
    cut = data[:data.rfind(b"<binary>") + 20]
    expected = _outcome(tmp_path / "cut.mzML", cut, False, 2, False, 1 << 20, monkeypatch)
    got = _outcome(tmp_path / "cut.mzML", cut, True, 2, False, 1 << 20, monkeypatch)
    assert got[0] == expected[0] and got[0][-1][0] == "error"
    assert "malformed XML" in got[0][-1][1]
