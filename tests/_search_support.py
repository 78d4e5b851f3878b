"""Hand calculations for the scoring tests: fragment ladders, precursor values and the
score formulas, each worked out with numpy float32/float64 arithmetic in the order the
search core uses, plus builders for small databases and spectra."""

from __future__ import annotations

import math
import os
import sys
import tempfile

import numpy as np

import _tovel_mesk as tm
from _support import RESIDUE, WATER

F32 = np.float32
PROTON = F32(1.0072764)
ISOTOPE = F32(1.00335)
PPM = F32(2000000.0)
PERCENT = F32(100.0)


def mass_of(sequence: str) -> np.float32:
    """Neutral monoisotopic mass of an unmodified peptide, as the 32-bit value the database holds."""
    return F32(sum(RESIDUE[r] for r in sequence) + WATER)


def ladder(sequence: str, mono, mods=None, nterm=None):
    """Neutral b and y masses in walk order (b1 .. b(n-1), then y(n-1) .. y1): the running
    float32 sums from the start masses nterm and mono - nterm, one residue step at a time."""
    mods = [0.0] * len(sequence) if mods is None else mods
    n = F32(0.0 if nterm is None else nterm)
    b_mass, y_mass = n, F32(F32(mono) - n)
    b, y = [], []
    for i in range(len(sequence) - 1):
        step = F32(F32(RESIDUE[sequence[i]]) + F32(mods[i]))
        b_mass = F32(b_mass + step)
        y_mass = F32(y_mass - step)
        b.append(b_mass)
        y.append(y_mass)
    return b, y


def at_charge(mass, charge: int) -> np.float32:
    """The value a fragment of neutral mass `mass` is looked up at for one fragment charge."""
    return F32(F32(mass) / F32(charge))


def precursor_mz(mass, charge: int) -> float:
    return float(F32(F32(F32(mass) / F32(charge)) + PROTON))


def expmass(mz, charge: int) -> np.float32:
    return F32(F32(charge) * F32(F32(mz) - PROTON))


def delta_mass(exp, calc, isotope_steps: int) -> np.float32:
    iso = F32(F32(isotope_steps) * ISOTOPE)
    exp, calc = F32(exp), F32(calc)
    with np.errstate(all="ignore"):
        return F32(F32(F32(F32(exp - calc) - iso) * PPM) / F32(F32(exp - iso) + calc))


def f32_sum(values, start=0.0) -> np.float32:
    total = F32(start)
    for v in values:
        total = F32(total + F32(v))
    return total


def count_term(n: int) -> float:
    if n == 0:
        return 1.0
    x = float(n)
    return ((x * math.log(x) - x) + 0.5 * math.log(x)) + 0.5 * math.log(6.283185307179586 * x)


def hyperscore(nb: int, ny: int, summed_b, summed_y) -> float:
    one_plus_y = F32(F32(1.0) + F32(summed_y))
    one_plus_b = F32(F32(1.0) + F32(summed_b))
    with np.errstate(all="ignore"):
        log_product = float(np.log(np.float64(one_plus_y) * np.float64(one_plus_b)))
    score = (log_product + count_term(nb)) + count_term(ny)
    return score if math.isfinite(score) else 255.0


def power(base: float, exponent: int) -> float:
    """base ** exponent by square-and-multiply over the exponent's bits, lowest first."""
    result = 1.0
    while exponent:
        if exponent & 1:
            result *= base
        exponent >>= 1
        if exponent:
            base *= base
    return result


def poisson(matched_hits: int, scored_candidates: int, k: int) -> float:
    lam = float(matched_hits) / float(scored_candidates)
    probability = (power(lam, k) * math.exp(-lam)) / math.exp(count_term(k))
    if math.isinf(probability):
        probability = 0.0
    if math.isnan(probability):
        return math.nan
    return -math.inf if probability == 0.0 else math.log10(probability)


def pct(ms2_intensity, total_ion_current) -> np.float32:
    with np.errstate(all="ignore"):
        return F32(F32(F32(ms2_intensity) * PERCENT) / F32(total_ion_current))


def ppm_error_sum(pairs) -> np.float32:
    """Sum over matched (theoretical, observed, intensity), in match order, of
    |t - o| * I * 2e6 / (t + o), all in float32."""
    total = F32(0.0)
    for t, o, intensity in pairs:
        t, o, intensity = F32(t), F32(o), F32(intensity)
        with np.errstate(all="ignore"):
            total = F32(total + F32(F32(F32(F32(abs(F32(t - o))) * intensity) * PPM) / F32(t + o)))
    return total


def shift_ppm(value, ppm: float) -> np.float32:
    return F32(float(value) * (1.0 + ppm * 1e-6))


# ---- building databases and spectra ----

def peptide(sequence, mono=None, mods=None, nterm=None, cterm=None):
    mono = mass_of(sequence) if mono is None else mono
    return tm.PyPeptide(sequence, float(mono), mods, nterm, cterm)


def database(*peptides, decoys=False, bucket_size=8, kinds=("B", "Y")):
    """An index of `peptides` (PyPeptide objects or sequences), in the order given."""
    peps = [p if isinstance(p, tm.PyPeptide) else peptide(p) for p in peptides]
    ion_kinds = [getattr(tm.PyKind, k)() for k in kinds]
    return tm.PyIndexedDatabase.from_peptides_and_config(peps, bucket_size, ion_kinds, 0, decoys, "rev_", 0.0, 1e6)


def spectrum(mz, intensity, precursors, spec_id="scan=1", file_id=0, rt=0.0, tic=None):
    mz = np.asarray(mz, np.float32)
    intensity = np.asarray(intensity, np.float32)
    tic = float(f32_sum(intensity)) if tic is None else tic
    return tm.PyProcessedSpectrum(spec_id, file_id, rt, mz, intensity, list(precursors), tic)


def ladder_spectrum(sequence, charge=2, intensity=1000.0, spec_id="scan=1", mono=None, **kwargs):
    """Every b and y ion of `sequence` at fragment charge 1, one peak each, ascending, with
    a precursor of `charge` at the peptide's mass."""
    mono = mass_of(sequence) if mono is None else F32(mono)
    b, y = ladder(sequence, mono)
    mz = np.sort(np.array(b + y, np.float32))
    return spectrum(mz, np.full(mz.shape, intensity, np.float32),
                    [tm.PyPrecursor(precursor_mz(mono, charge), charge=charge)], spec_id=spec_id, **kwargs)


def ppm(tol=10.0):
    return tm.PyTolerance.Ppm(-tol, tol)


def exact_scorer(**settings):
    """One pass only: the precursor's own charge, isotope error 0, +-10 ppm windows."""
    base = dict(wide_window=False, min_isotope_err=0, max_isotope_err=0)
    base.update(settings)
    return tm.PyScorer(base.pop("precursor_tol", ppm()), base.pop("fragment_tol", ppm()), **base)


def without_psm_id(features):
    """Comparable content of a list of features: their exports without the serial number."""
    out = []
    for f in features:
        d = f.to_dict()
        del d["psm_id"]
        out.append(_nan_safe(d))
    return out


def _nan_safe(value):
    if isinstance(value, float) and math.isnan(value):
        return "NaN"
    if isinstance(value, dict):
        return {k: _nan_safe(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_nan_safe(v) for v in value]
    return value


def stdout_bytes(call):
    """Runs `call` with file descriptor 1 sent to a temporary file; returns the call's result
    and every byte written to the descriptor meanwhile."""
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 1)
        try:
            result = call()
        finally:
            sys.stdout.flush()
            os.dup2(saved, 1)
            os.close(saved)
        sink.seek(0)
        return result, sink.read()


def near_misses(values, others, tol_ppm=10.0):
    """Pairs (v, o) of values from the two lists that lie within `tol_ppm` of each other."""
    return [(float(v), float(o)) for v in values for o in others
            if abs(float(v) - float(o)) <= abs(float(o)) * tol_ppm * 1e-6 * 2]
