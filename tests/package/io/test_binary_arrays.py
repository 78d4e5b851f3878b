"""The native decoder of mzML binary arrays against the reference decoder, on random arrays
of every encoding and on damaged ones: the same values to the byte, or the same error
naming the same file and spectrum."""

from __future__ import annotations

import base64
import random
import zlib

import numpy as np
import pytest

from _spectra_files import Ion, Scan, mzml_text, write
from tovel_mesk import SpectraFileError, SpectraReader
from tovel_mesk.io import mzml

DTYPES = [np.dtype("<f4"), np.dtype("<f8"), np.dtype("<i4"), np.dtype("<i8")]
PATH, SPECTRUM = "run.mzML", "scan=7"


def _fail(reason: str) -> SpectraFileError:
    return SpectraFileError(PATH, SPECTRUM, reason)


def _outcome(entry: tuple, native: bool, default_length: str | None = None):
    """('values', dtype, bytes) or ('error', message) of decoding `entry` one way."""
    try:
        values = mzml._decode(entry, "m/z array", default_length, _fail, native=native)
    except SpectraFileError as error:
        assert (error.path, error.spectrum) == (PATH, SPECTRUM)
        return ("error", str(error))
    return ("values", values.dtype.str, values.tobytes())


def _values(rng: random.Random, dtype: np.dtype, n: int) -> bytes:
    if dtype.kind == "f":
        pool = [0.0, -0.0, float("nan"), float("inf"), 1e-45, 3.4e38, 1e300]
        values = [rng.choice(pool) if rng.random() < 0.1 else rng.uniform(-1e4, 1e4) for _ in range(n)]
        with np.errstate(over="ignore"):  # 1e300 becomes infinite in 32 bits, as it may in a file
            return np.array(values, dtype=np.float64).astype(dtype).tobytes()
    info = np.iinfo(dtype)
    return np.array([rng.randint(int(info.min), int(info.max)) for _ in range(n)], dtype=dtype).tobytes()


def _damage(rng: random.Random, text: str, raw: bytes) -> str:
    """One kind of fault or harmless variation of an encoded array."""
    kind = rng.randrange(12)
    if kind == 0 and text:  # a character outside the alphabet
        at = rng.randrange(len(text))
        return text[:at] + rng.choice("!*-_.é\x00\x1c") + text[at + 1:]
    if kind == 1:  # padding removed, doubled or moved
        return rng.choice([text.rstrip("="), text + "=", text + "==", "=" + text, text.replace("=", "", 1)])
    if kind == 2 and text:  # characters lost
        at = rng.randrange(len(text))
        return text[:at] + text[at + rng.randint(1, 3):]
    if kind == 3:  # whitespace between the characters, as line-wrapped files have
        pieces = [text[i:i + rng.randint(1, 80)] for i in range(0, len(text), 40)]
        return rng.choice(["\n", " ", "\r\n", "\t", " \n  ", "\x0b"]).join(pieces) + rng.choice(["", "\n", " "])
    if kind == 4:  # a compressed stream cut short, or its bytes flipped
        data = bytearray(base64.b64decode(text)) if text else bytearray()
        if data and rng.random() < 0.5:
            del data[rng.randrange(len(data)):]
        elif data:
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        return base64.b64encode(bytes(data)).decode()
    if kind == 5:  # bytes after the end of a compressed stream
        return base64.b64encode(base64.b64decode(text) + bytes(rng.randrange(1, 9))).decode()
    if kind == 6:  # the uncompressed bytes where a stream is expected, and the reverse
        return base64.b64encode(rng.choice([raw, zlib.compress(raw)])).decode()
    if kind == 7:  # another, valid last group ("QR==" keeps stray bits)
        return text + rng.choice(["QR==", "QUI=", "QUJD", "Q==="])
    return text


@pytest.mark.parametrize("seed", range(6))
def test_native_decoder_matches_the_reference_on_random_arrays(seed):
    rng = random.Random(seed)
    for _ in range(400):
        dtype = rng.choice(DTYPES)
        n = rng.choice([0, 1, 2, 3, rng.randrange(4, 400)])
        raw = _values(rng, dtype, n)
        compressed = rng.random() < 0.5
        payload = zlib.compress(raw, rng.choice([0, 1, 6, 9])) if compressed else raw
        text = base64.b64encode(payload).decode()
        damaged = rng.random() < 0.6
        if damaged:
            text = _damage(rng, text, raw)
        declared = n if rng.random() < 0.7 else max(0, n + rng.choice([-3, -1, 1, 2]))
        length_attribute = rng.choice([str(declared), None, f" {declared} ", "x", "-1"])
        compression = mzml.ZLIB if compressed else mzml.NO_COMPRESSION
        entry = (text, dtype, compression, length_attribute, None)
        native = _outcome(entry, True, str(declared))
        assert native == _outcome(entry, False, str(declared)), (text[:80], dtype, compressed, declared)
        if not damaged and length_attribute in (str(declared), None) and declared == n:
            assert native == ("values", dtype.str, raw)


def test_native_decoder_takes_what_the_reference_takes_and_refuses_the_rest():
    raw = np.arange(6, dtype="<f8").tobytes()
    packed = base64.b64encode(zlib.compress(raw)).decode()
    cases = {
        "plain": (base64.b64encode(raw).decode(), mzml.NO_COMPRESSION, "6"),
        "zlib": (packed, mzml.ZLIB, "6"),
        "empty": ("", mzml.NO_COMPRESSION, "0"),
        "empty zlib stream": (base64.b64encode(zlib.compress(b"")).decode(), mzml.ZLIB, "0"),
        "longer than declared": (packed, mzml.ZLIB, "5"),
        "shorter than declared": (packed, mzml.ZLIB, "7"),
        "not zlib": (base64.b64encode(raw).decode(), mzml.ZLIB, "6"),
        "bad character": ("AAAA*AAA", mzml.NO_COMPRESSION, "6"),
        "non-ASCII": ("AAAAéAAA", mzml.NO_COMPRESSION, "6"),
        "unpaired surrogate": ("AAAA\ud800AAA", mzml.NO_COMPRESSION, "6"),
    }
    outcomes = {}
    for name, (text, compression, length) in cases.items():
        entry = (text, np.dtype("<f8"), compression, length, None)
        outcomes[name] = _outcome(entry, True)
        assert outcomes[name] == _outcome(entry, False), name
    assert outcomes["plain"] == outcomes["zlib"] == ("values", "<f8", raw)
    assert outcomes["empty"] == outcomes["empty zlib stream"] == ("values", "<f8", b"")
    assert "holds more than the 5 values" in outcomes["longer than declared"][1]
    assert "holds 6 values where the spectrum declares 7" in outcomes["shorter than declared"][1]
    assert "not valid zlib data" in outcomes["not zlib"][1]
    assert all("not valid base64" in outcomes[name][1] for name in ("bad character", "non-ASCII",
                                                                      "unpaired surrogate"))


def test_a_damaged_array_in_a_file_is_named_with_its_file_and_spectrum(tmp_path):
    scans = [Scan(f"scan={i}", [100.0 + i, 200.0], [1.0, 2.0], precursors=[Ion(500.0, 2)]) for i in (1, 2, 3)]
    data = mzml_text(scans, compress=True)
    second = data.index(b'id="scan=2"')
    start = data.index(b"<binary>", second) + len(b"<binary>")
    broken = data[:start + 4] + b"AAAA" + data[start + 8:]  # the zlib stream's bytes, not its length
    path = write(tmp_path / "broken.mzML", broken)
    with pytest.raises(SpectraFileError) as info:
        for _ in SpectraReader(path):
            pass
    assert info.value.path == str(path) and info.value.spectrum == "scan=2"
    assert "m/z array is not valid zlib data" in info.value.reason


@pytest.mark.parametrize("seed", range(4))
def test_native_peak_preparation_matches_the_reference(seed):
    """Random peak lists of every array type, with ties in intensity and m/z, zero, negative
    and non-finite values, against the reference preparation, to the bit."""
    from tovel_mesk.io.spectra import _prepare_peaks, _prepare_peaks_natively

    rng = np.random.default_rng(seed)
    for _ in range(300):
        n = int(rng.choice([0, 1, 5, 40, 151, 600]))
        mz = rng.uniform(-10, 2500, n)
        intensity = rng.uniform(0, 1e6, n)
        for values, pool in ((mz, [500.0, 0.0, 1.0072764, np.nan, np.inf, 1e300, -5.0]),
                             (intensity, [7.0, 0.0, -1.0, np.nan, np.inf, 1e-46, 3.5e38, 1e300])):
            chosen = rng.random(n) < 0.15
            values[chosen] = rng.choice(pool, int(chosen.sum()))
        mz_type = rng.choice(["<f8", "<f4", "<i4", "<i8"])
        intensity_type = rng.choice(["<f8", "<f4", "<i4", "<i8"])
        with np.errstate(over="ignore", invalid="ignore"):
            mz_array = np.nan_to_num(mz, posinf=2e9, neginf=-2e9).astype(mz_type) if mz_type[1] == "i" \
                else mz.astype(mz_type)
            intensity_array = np.nan_to_num(intensity, posinf=2e9, neginf=-2e9).astype(intensity_type) \
                if intensity_type[1] == "i" else intensity.astype(intensity_type)
        top = rng.choice([None, 1, 5, 150])
        expected = _prepare_peaks(mz_array, intensity_array, top)
        got = _prepare_peaks_natively(mz_array, intensity_array, top)
        for want, have in zip(expected[:2], got):
            assert have.dtype == np.float32 and have.tobytes() == want.tobytes(), (mz_type, intensity_type, top)
    # Arrays the native path does not take (strided, another type) take the reference.
    mz = np.arange(20, dtype=np.float64)[::2] + 100
    intensity = np.arange(10, dtype=np.float16) + 1
    want = _prepare_peaks(mz, intensity, 3)
    got = _prepare_peaks_natively(mz, intensity, 3)
    assert [a.tobytes() for a in got] == [a.tobytes() for a in want[:2]]
