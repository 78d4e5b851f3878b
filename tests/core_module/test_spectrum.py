"""PyPrecursor and PyProcessedSpectrum: stored values, and the float32 buffer checks of the
spectrum constructor in their order."""

from __future__ import annotations

import array
import ctypes

import numpy as np
import pytest

import _tovel_mesk as tm
from _support import da, f32, raises_exactly

NOT_F32 = "buffer contents are not compatible with f32"
MISALIGNED = "buffer contents are insufficiently aligned for f32"
NOT_CONTIGUOUS = "mz_array and intensity_array must be C-contiguous float32 buffers"
DIFFERENT_LENGTHS = "mz_array and intensity_array must be the same length"


def build(mz, intensity, precursors=(), spec_id="scan=1", tic=0.0):
    return tm.PyProcessedSpectrum(spec_id, 0, 1.0, mz, intensity, list(precursors), tic)


def f32s(*values):
    return np.array(values, np.float32)


def ctypes_floats(order, values):
    ctype = {"<": ctypes.c_float.__ctype_le__, ">": ctypes.c_float.__ctype_be__}[order]
    return (ctype * len(values))(*values)


def misaligned(n):
    raw = np.zeros(4 * n + 1, np.uint8)
    view = np.frombuffer(raw.data, dtype=np.float32, count=n, offset=1)
    assert not view.flags.aligned
    return view


def read_only(values):
    arr = f32s(*values)
    arr.flags.writeable = False
    return arr


# ---- PyPrecursor ----

def test_precursor_from_mz_alone():
    p = tm.PyPrecursor(500.25)
    assert p.mz == 500.25
    assert (p.charge, p.intensity, p.isolation_window) == (None, None, None)
    assert not hasattr(p, "inverse_ion_mobility")


@pytest.mark.parametrize("charge", [0, 1, 2, 255])
def test_precursor_keeps_its_charge(charge):
    assert tm.PyPrecursor(500.25, charge=charge).charge == charge


def test_precursor_values_are_32_bit_and_unchecked():
    p = tm.PyPrecursor(0.1, 3, 1e39, da(), -1.0)
    assert p.mz == f32(0.1)
    assert p.intensity == float("inf")
    assert tm.PyPrecursor(-5.5).mz == -5.5
    assert np.isnan(tm.PyPrecursor(float("nan")).mz)


def test_isolation_window_reads_back_as_new_tolerances():
    window = tm.PyTolerance.Da(-1.5, 2.5)
    p = tm.PyPrecursor(500.25, isolation_window=window)
    first = p.isolation_window
    assert type(first) is tm.PyTolerance
    assert first is not window
    assert first is not p.isolation_window


@pytest.mark.parametrize("charge", [256, -1, 1000])
def test_precursor_charge_out_of_range(charge):
    with raises_exactly(OverflowError, "out of range integral type conversion attempted"):
        tm.PyPrecursor(500.25, charge=charge)


# ---- PyProcessedSpectrum: values ----

def test_spectrum_id_and_peaks_in_caller_order():
    scan = build(f32s(300.0, 100.0, 200.0), f32s(1.0, 2.0, 3.0), spec_id="scan=42")
    assert scan.id == "scan=42"
    assert scan.peaks == [(300.0, 1.0), (100.0, 2.0), (200.0, 3.0)]
    assert all(type(t) is tuple and len(t) == 2 and all(type(v) is float for v in t) for t in scan.peaks)


def test_peak_values_are_stored_unchanged():
    values = f32s(0.1, -3.0, 0.0, np.inf, 1e-40)
    scan = build(values, values[::-1].copy())
    assert scan.peaks == [(float(m), float(i)) for m, i in zip(values, values[::-1])]


def test_empty_arrays_give_no_peaks():
    assert build(f32s(), f32s()).peaks == []


def test_peaks_and_precursors_are_new_on_every_read():
    scan = build(f32s(1.0), f32s(2.0), [tm.PyPrecursor(500.25, charge=2, intensity=10.0)])
    assert scan.peaks is not scan.peaks
    first, second = scan.precursors[0], scan.precursors[0]
    assert first is not second
    assert scan.precursors is not scan.precursors
    assert (first.mz, first.charge, first.intensity) == (second.mz, second.charge, second.intensity) == (500.25, 2, 10.0)


def test_precursors_are_copied_in_order():
    given = [tm.PyPrecursor(500.25, charge=2), tm.PyPrecursor(600.5, charge=3, isolation_window=da())]
    scan = build(f32s(1.0), f32s(2.0), given)
    stored = scan.precursors
    assert [p.mz for p in stored] == [500.25, 600.5]
    assert [p.charge for p in stored] == [2, 3]
    assert stored[0].isolation_window is None and type(stored[1].isolation_window) is tm.PyTolerance
    assert all(s is not g for s, g in zip(stored, given))
    assert build(f32s(1.0), f32s(2.0), tuple(given)).precursors[1].mz == 600.5


def test_later_changes_to_the_arrays_do_not_reach_the_spectrum():
    mz, intensity = f32s(1.0, 2.0), f32s(3.0, 4.0)
    scan = build(mz, intensity)
    mz[:] = 9.0
    intensity[0] = 9.0
    assert scan.peaks == [(1.0, 3.0), (2.0, 4.0)]


def test_c_contiguous_2d_array_is_read_in_row_major_order():
    grid = np.arange(6, dtype=np.float32).reshape(2, 3)
    scan = build(grid, np.arange(10, 16, dtype=np.float32))
    assert scan.peaks == [(0.0, 10.0), (1.0, 11.0), (2.0, 12.0), (3.0, 13.0), (4.0, 14.0), (5.0, 15.0)]
    scan = build(np.arange(6, dtype=np.float32), grid.T.copy())
    assert [i for _, i in scan.peaks] == [0.0, 3.0, 1.0, 4.0, 2.0, 5.0]


@pytest.mark.parametrize("make", [
    lambda v: array.array("f", v),
    lambda v: memoryview(array.array("f", v)),
    lambda v: memoryview(np.array(v, np.float32).tobytes()).cast("f"),
    lambda v: read_only(v),
    lambda v: np.array(v, "<f4"),
    lambda v: np.array(v, "=f4"),
    lambda v: memoryview(ctypes_floats("<", v)),
    lambda v: memoryview(array.array("f", v)).cast("B").cast("@f"),
    lambda v: np.array([v], np.float32),
], ids=["array-f", "memoryview", "read-only-memoryview", "read-only-ndarray", "ndarray-<f4", "ndarray-=f4",
        "memoryview-ctypes-<f", "memoryview-@f", "ndarray-1xN"])
def test_accepted_float32_buffers(make):
    scan = build(make([1.5, 2.5, 3.5]), make([4.0, 5.0, 6.0]))
    assert scan.peaks == [(1.5, 4.0), (2.5, 5.0), (3.5, 6.0)]


# ---- PyProcessedSpectrum: buffer checks ----

@pytest.mark.parametrize("bad, exc_type, message", [
    (lambda: [1.0, 2.0, 3.0], TypeError, "a bytes-like object is required, not 'list'"),
    (lambda: None, TypeError, "a bytes-like object is required, not 'NoneType'"),
    (lambda: (1.0, 2.0, 3.0), TypeError, "a bytes-like object is required, not 'tuple'"),
    (lambda: np.array(1.5, np.float32), BufferError, "shape is null"),
    (lambda: np.float32(1.5), BufferError, "shape is null"),
    (lambda: ctypes_floats("<", [1, 2, 3]), BufferError, "strides is null"),
    (lambda: ctypes_floats(">", [1, 2, 3]), BufferError, "strides is null"),
    (lambda: np.array([1, 2, 3], np.float64), BufferError, NOT_F32),
    (lambda: np.array([1, 2, 3], np.float16), BufferError, NOT_F32),
    (lambda: np.array([1, 2, 3], np.int32), BufferError, NOT_F32),
    (lambda: np.array([1, 2, 3], np.uint32), BufferError, NOT_F32),
    (lambda: np.array([1, 2, 3], ">f4"), BufferError, NOT_F32),
    (lambda: memoryview(ctypes_floats(">", [1, 2, 3])), BufferError, NOT_F32),
    (lambda: array.array("i", [1, 2, 3]), BufferError, NOT_F32),
    (lambda: array.array("d", [1, 2, 3]), BufferError, NOT_F32),
    (lambda: b"abcdefghijkl", BufferError, NOT_F32),
    (lambda: bytearray(12), BufferError, NOT_F32),
    (lambda: misaligned(3), BufferError, MISALIGNED),
    (lambda: memoryview(bytearray(13))[1:].cast("f"), BufferError, MISALIGNED),
    (lambda: np.arange(6, dtype=np.float32)[::2], ValueError, NOT_CONTIGUOUS),
    (lambda: np.arange(3, dtype=np.float32)[::-1], ValueError, NOT_CONTIGUOUS),
    (lambda: np.asfortranarray(np.arange(6, dtype=np.float32).reshape(3, 2)), ValueError, NOT_CONTIGUOUS),
    (lambda: memoryview(array.array("f", range(6)))[::2], ValueError, NOT_CONTIGUOUS),
    (lambda: np.zeros(4, np.float32), ValueError, DIFFERENT_LENGTHS),
    (lambda: np.zeros(2, np.float32), ValueError, DIFFERENT_LENGTHS),
    (lambda: np.zeros((2, 2), np.float32), ValueError, DIFFERENT_LENGTHS),
], ids=["list", "None", "tuple", "0-d", "scalar", "ctypes-<f", "ctypes->f", "float64", "float16", "int32",
        "uint32", "ndarray->f4", "memoryview->f", "array-i", "array-d", "bytes", "bytearray", "misaligned-ndarray",
        "misaligned-memoryview", "strided", "reversed", "fortran", "strided-memoryview", "longer", "shorter", "2x2"])
@pytest.mark.parametrize("side", ["mz_array", "intensity_array"])
def test_refused_buffers(bad, exc_type, message, side):
    good = f32s(1.0, 2.0, 3.0)
    args = (bad(), good) if side == "mz_array" else (good, bad())
    with raises_exactly(exc_type, message):
        build(*args)


@pytest.mark.parametrize("mz, intensity, exc_type, message", [
    # the m/z array is checked in full before the intensity array is looked at
    (lambda: np.zeros(3), lambda: [1.0], BufferError, NOT_F32),
    (lambda: misaligned(3), lambda: np.zeros(3), BufferError, MISALIGNED),
    (lambda: np.array(1.5, np.float32), lambda: ctypes_floats("<", [1.0]), BufferError, "shape is null"),
    # format and alignment of both arrays come before contiguity, contiguity before length
    (lambda: np.arange(6, dtype=np.float32)[::2], lambda: np.zeros(3), BufferError, NOT_F32),
    (lambda: np.arange(6, dtype=np.float32)[::2], lambda: misaligned(3), BufferError, MISALIGNED),
    (lambda: np.arange(8, dtype=np.float32)[::2], lambda: np.zeros(3, np.float32), ValueError, NOT_CONTIGUOUS),
    (lambda: np.zeros(4, np.float32), lambda: np.arange(6, dtype=np.float32)[::2], ValueError, NOT_CONTIGUOUS),
    (lambda: np.zeros(3, np.float32), lambda: np.zeros(4, np.float32), ValueError, DIFFERENT_LENGTHS),
    (lambda: np.zeros(4, np.float32), lambda: np.zeros(3, np.float32), ValueError, DIFFERENT_LENGTHS),
])
def test_order_of_buffer_checks(mz, intensity, exc_type, message):
    with raises_exactly(exc_type, message):
        build(mz(), intensity())


@pytest.mark.parametrize("kwargs, exc_type, message", [
    (dict(precursors="AB"), TypeError, "argument 'precursors': Can't extract `str` to `Vec`"),
    (dict(precursors=[1]), TypeError, "argument 'precursors': 'int' object cannot be converted to 'PyPrecursor'"),
    (dict(total_ion_current="x"), TypeError, "argument 'total_ion_current': must be real number, not str"),
    (dict(total_ion_current=10**400), OverflowError, "int too large to convert to float"),
    (dict(id=1), TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
    (dict(file_id=-1), OverflowError, "can't convert negative int to unsigned"),
    (dict(scan_start_time=None), TypeError, "argument 'scan_start_time': must be real number, not NoneType"),
])
def test_other_arguments_are_converted_before_the_buffers(kwargs, exc_type, message):
    args = dict(id="s", file_id=0, scan_start_time=0.0, mz_array=[1.0], intensity_array=np.zeros(3),
                precursors=[], total_ion_current=0.0)
    args.update(kwargs)
    with raises_exactly(exc_type, message):
        tm.PyProcessedSpectrum(**args)


# ---- buffer views are released ----

@pytest.mark.parametrize("intensity", [
    lambda: array.array("f", [1.0, 2.0]),
    lambda: array.array("f", [1.0, 2.0, 3.0]),
    lambda: array.array("d", [1.0, 2.0]),
    lambda: np.arange(4, dtype=np.float32)[::2],
    lambda: [1.0, 2.0],
], ids=["accepted", "different-length", "wrong-format", "strided", "no-buffer"])
def test_buffers_are_released_after_every_call(intensity):
    mz = array.array("f", [1.0, 2.0])
    other = intensity()
    try:
        build(mz, other)
    except (TypeError, ValueError, BufferError):
        pass
    mz.append(3.0)  # an array with a live export refuses to resize
    if isinstance(other, array.array):
        other.append(4.0)


def test_bytearray_is_released_after_a_refusal():
    data = bytearray(12)
    with raises_exactly(BufferError, NOT_F32):
        build(data, f32s(1.0, 2.0, 3.0))
    data.extend(b"1234")
    aligned_but_rejected = bytearray(8)
    view = memoryview(aligned_but_rejected).cast("f")
    with raises_exactly(ValueError, DIFFERENT_LENGTHS):
        build(view, f32s(1.0))
    view.release()
    aligned_but_rejected.extend(b"1234")
