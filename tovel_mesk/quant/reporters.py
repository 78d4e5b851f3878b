"""Isobaric reporter ions: the channels of each plex, reading their intensities from a
spectrum, the isotope-impurity correction, the precursor purity, and the roll-up of the
matches' reporter intensities to protein groups.

Channels and masses. Each plex lists its channels with the exact m/z of the singly charged
reporter ion (`PLEXES`). TMT 10, 11, 16 and 18 carry pairs of channels one nominal mass
apart in name but only 6.32 mDa apart in m/z (the N- and C-labelled forms, e.g. 127N at
127.124761 and 127C at 127.131081): separating them needs a high-resolution analyzer and a
window narrower than half that spacing (24.8 ppm at 127 m/z). `check_window` refuses a
window that would let two channels of a plex overlap.

Reading. `read_reporters` takes, for each channel, the most intense peak within the window
around the channel's m/z (20 ppm by default on high-resolution spectra), its intensity, and
its m/z error in ppm (observed - expected, NaN where no peak lies in the window).
`reporter_mask` marks the same peaks so that the reader removes them before the peaks are
cut for scoring: reporter ions never match fragment ions.

Impurity correction. The vendor's lot sheet gives, for each channel, the percentage of its
tag's signal that appears at -2, -1, +1 and +2 isotope shifts (`read_impurities`). A shift
of k of channel c lands on the channel whose m/z lies nearest to m/z(c) + k * 1.003355
(the 13C spacing), within 0.01 Da; a shift that lands on no channel of the plex is lost.
The channel keeps 100 - (sum of its four percentages) at its own m/z. With the matrix A
(A[i, j]: the share of channel j's signal seen in channel i), the observed intensities y
of one spectrum are corrected by non-negative least squares: the x >= 0 that minimises
|A x - y| (`correct_impurities`).

Purity. `precursor_purity` measures, in the MS1 scan before a fragment spectrum, the share
of the intensity inside the isolation window that belongs to the precursor's isotope
envelope (peaks within `PURITY_TOLERANCE_PPM` of precursor m/z + k * 1.003355 / charge for
any whole k). Interference is 1 - purity.
"""

from __future__ import annotations

import math
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

import numpy as np

from ..conventions import C13_SPACING
from ..errors import InputError

__all__ = ["Plex", "PLEXES", "TAG_MODS", "ISOTOPE_SPACING", "ImpurityError", "read_impurities",
           "impurity_matrix", "correct_impurities", "correct_impurities_reference", "nnls", "read_reporters", "reporter_mask", "check_window",
           "precursor_purity", "roll_up", "median_polish", "PURITY_TOLERANCE_PPM", "DEFAULT_MIN_PURITY",
           "DEFAULT_REPORTER_PPM", "LOW_RESOLUTION_WINDOW_DA"]

#: Mass difference between the 13C and 12C isotopes (Da): the spacing of isotope peaks.
ISOTOPE_SPACING = C13_SPACING
#: Window around each reporter m/z on high-resolution spectra (ppm).
DEFAULT_REPORTER_PPM = 20.0
#: Window (Da) around each reporter on low-resolution (ion-trap) spectra, for the plexes
#: whose channels lie a whole dalton apart (TMT6, iTRAQ 4 and 8). The paired plexes
#: cannot be read from such spectra.
LOW_RESOLUTION_WINDOW_DA = 0.3
#: Spectra whose precursor purity is below this are left out of quantification.
DEFAULT_MIN_PURITY = 0.5
#: Tolerance of the isotope-envelope peaks in the MS1 scan, when measuring purity (ppm).
PURITY_TOLERANCE_PPM = 10.0
#: How near (Da) the m/z an isotope shift lands on must lie to a channel's m/z.
_SHIFT_MATCH_DA = 0.01
#: The isotope shifts of the lot sheet, in its column order.
SHIFTS = (-2, -1, 1, 2)


@dataclass(frozen=True)
class Plex:
    """One isobaric labelling kit: its name, channel names and reporter m/z (singly
    charged ions, ascending), and the tag's monoisotopic mass (Da) fixed on peptide N-termini
    and lysines."""

    name: str
    channels: tuple[str, ...]
    mz: tuple[float, ...]
    tag_mass: float

    @property
    def paired(self) -> bool:
        """Whether two channels lie closer than 0.1 Da (N- and C-labelled pairs)."""
        return bool(np.min(np.diff(self.mz)) < 0.1) if len(self.mz) > 1 else False

    @property
    def closest_spacing(self) -> float:
        return float(np.min(np.diff(self.mz)))

    def shift_target(self, channel: int, shift: int) -> int | None:
        """The channel an isotope shift of `shift` of `channel` lands on, or None."""
        target = self.mz[channel] + shift * ISOTOPE_SPACING
        distance = np.abs(np.asarray(self.mz) - target)
        nearest = int(np.argmin(distance))
        return nearest if distance[nearest] <= _SHIFT_MATCH_DA else None


_TMT_MZ = {"126": 126.127726, "127N": 127.124761, "127C": 127.131081, "128N": 128.128116,
           "128C": 128.134436, "129N": 129.131471, "129C": 129.137790, "130N": 130.134825,
           "130C": 130.141145, "131N": 131.138180, "131C": 131.144500, "132N": 132.141535,
           "132C": 132.147855, "133N": 133.144890, "133C": 133.151210, "134N": 134.148245,
           "134C": 134.154565, "135N": 135.151600}
_ITRAQ_MZ = {"113": 113.107873, "114": 114.111228, "115": 115.108263, "116": 116.111618,
             "117": 117.114973, "118": 118.112008, "119": 119.115363, "121": 121.122072}

TMT_MASS = 229.162932
TMTPRO_MASS = 304.207146
ITRAQ4_MASS = 144.102063
ITRAQ8_MASS = 304.205360


def _plex(name: str, table: Mapping[str, float], channels: Sequence[str], tag_mass: float,
          names: Sequence[str] | None = None) -> Plex:
    return Plex(name, tuple(names or channels), tuple(table[c] for c in channels), tag_mass)


#: Every plex, by the name `--quant` takes. TMT6 names its channels by nominal mass
#: (126 ... 131: the 127N, 128C, 129N, 130C and 131N reporters); TMT10 names its last
#: channel 131 (131N), TMT11 adds 131C.
PLEXES: dict[str, Plex] = {
    "tmt6": _plex("tmt6", _TMT_MZ, ("126", "127N", "128C", "129N", "130C", "131N"), TMT_MASS,
                  ("126", "127", "128", "129", "130", "131")),
    "tmt10": _plex("tmt10", _TMT_MZ, ("126", "127N", "127C", "128N", "128C", "129N", "129C", "130N", "130C",
                                       "131N"), TMT_MASS,
                   ("126", "127N", "127C", "128N", "128C", "129N", "129C", "130N", "130C", "131")),
    "tmt11": _plex("tmt11", _TMT_MZ, ("126", "127N", "127C", "128N", "128C", "129N", "129C", "130N", "130C",
                                       "131N", "131C"), TMT_MASS),
    "tmt16": _plex("tmt16", _TMT_MZ, tuple(_TMT_MZ)[:16], TMTPRO_MASS),
    "tmt18": _plex("tmt18", _TMT_MZ, tuple(_TMT_MZ), TMTPRO_MASS),
    "itraq4": _plex("itraq4", _ITRAQ_MZ, ("114", "115", "116", "117"), ITRAQ4_MASS),
    "itraq8": _plex("itraq8", _ITRAQ_MZ, tuple(_ITRAQ_MZ), ITRAQ8_MASS),
}

#: The fixed modifications each plex's tag puts on a peptide: lysines and peptide N-termini.
TAG_MODS: dict[str, tuple[str, ...]] = {
    name: (f"K:+{plex.tag_mass:.6f}", f"peptide-nterm:+{plex.tag_mass:.6f}") for name, plex in PLEXES.items()}


class ImpurityError(InputError):
    """An impurity file that cannot be used; the message names the file and the line."""

    def __init__(self, path: str | os.PathLike, line: int | None, reason: str):
        self.path = os.fspath(path)
        self.line = line
        where = f"{self.path}, line {line}" if line is not None else self.path
        super().__init__(f"{where}: {reason}")


# ---------------------------------------------------------------------------------------
# Windows and reading


def check_window(plex: Plex, tolerance_ppm: float | None = None, tolerance_da: float | None = None) -> None:
    """Raises ValueError when the window (ppm, or Da) around each reporter is not positive
    or would reach from one channel of `plex` into its neighbour's window."""
    half = plex.closest_spacing / 2
    if tolerance_ppm is not None:
        if not 0 < tolerance_ppm < math.inf:
            raise ValueError(f"the reporter window must be positive, got {tolerance_ppm} ppm")
        widest = max(plex.mz) * tolerance_ppm * 1e-6
        if widest >= half:
            raise ValueError(f"a reporter window of {tolerance_ppm:g} ppm ({widest * 1000:.2f} mDa at "
                             f"{max(plex.mz):.1f} m/z) reaches into the neighbouring channel of {plex.name}, "
                             f"whose closest channels lie {plex.closest_spacing * 1000:.2f} mDa apart; use at most "
                             f"{half / max(plex.mz) * 1e6:.1f} ppm")
    if tolerance_da is not None:
        if not 0 < tolerance_da < math.inf:
            raise ValueError(f"the reporter window must be positive, got {tolerance_da} Da")
        if tolerance_da >= half:
            raise ValueError(f"a reporter window of {tolerance_da:g} Da cannot separate the channels of "
                             f"{plex.name}, {plex.closest_spacing * 1000:.2f} mDa apart")


def _bounds(plex: Plex, tolerance_ppm: float | None, tolerance_da: float | None) -> tuple[np.ndarray, np.ndarray]:
    centre = np.asarray(plex.mz, dtype=np.float64)
    half = centre * tolerance_ppm * 1e-6 if tolerance_ppm is not None else np.full(centre.size, tolerance_da)
    return centre - half, centre + half


def read_reporters(mz: np.ndarray, intensity: np.ndarray, plex: Plex, *, tolerance_ppm: float | None = None,
                   tolerance_da: float | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Each channel's reporter intensity (the most intense peak in its window; 0 where none)
    and its m/z error in ppm (NaN where none), from a spectrum's observed peaks (m/z with
    the proton, any order). Give the window in ppm or in Da."""
    mz = np.asarray(mz, dtype=np.float64)
    intensity = np.asarray(intensity, dtype=np.float64)
    lower, upper = _bounds(plex, tolerance_ppm, tolerance_da)
    found = np.zeros(len(plex.mz))
    error = np.full(len(plex.mz), np.nan)
    candidates = np.flatnonzero((mz >= lower[0]) & (mz <= upper[-1]) & (intensity > 0) & np.isfinite(intensity))
    for index in candidates.tolist():
        value = mz[index]
        channel = int(np.searchsorted(lower, value, side="right")) - 1
        if channel < 0 or value > upper[channel] or intensity[index] <= found[channel]:
            continue
        found[channel] = intensity[index]
        error[channel] = (value - plex.mz[channel]) / plex.mz[channel] * 1e6
    return found, error


def reporter_mask(mz: np.ndarray, plex: Plex, *, tolerance_ppm: float | None = None,
                  tolerance_da: float | None = None) -> np.ndarray:
    """True for each peak (observed m/z) that lies in a reporter window of `plex`."""
    mz = np.asarray(mz, dtype=np.float64)
    lower, upper = _bounds(plex, tolerance_ppm, tolerance_da)
    channel = np.searchsorted(lower, mz, side="right") - 1
    inside = channel >= 0
    inside[inside] = mz[inside] <= upper[channel[inside]]
    return inside


# ---------------------------------------------------------------------------------------
# Impurities


def read_impurities(path: str | os.PathLike, plex: Plex) -> np.ndarray:
    """The impurity matrix of `plex` from a lot-sheet TSV (see `impurity_matrix`).

    Layout: a header line naming the columns, then one line per channel. Columns:
    `channel` (the channel name as `PLEXES` spells it: 126, 127N, ...; a leading "TMT-"
    or "TMTpro-" or "iTRAQ-" is ignored), `-2`, `-1`, `+1`, `+2` (percentages of the
    channel's signal at each isotope shift, 0 to 100). A `monoisotopic` (or `0`) column
    may be there and is not read: the channel keeps the rest. Blank lines and lines
    starting with '#' are skipped. Every channel of the plex appears once.

    Raises ImpurityError (an InputError naming the file and line) for an unreadable file, a
    missing column, an unknown, repeated or missing channel, a value that is not a number,
    a negative percentage, or percentages summing to 100 or more."""
    path = os.fspath(path)
    try:
        with open(path, encoding="utf-8-sig") as file:
            lines = file.read().splitlines()
    except OSError as error:
        raise ImpurityError(path, None, f"cannot be read ({error.strerror or error})") from None
    except UnicodeDecodeError:
        raise ImpurityError(path, None, "is not UTF-8 text") from None
    rows = [(number, line) for number, line in enumerate(lines, start=1)
            if line.strip() and not line.lstrip().startswith("#")]
    if not rows:
        raise ImpurityError(path, None, "holds no header line and no channels")
    header_line, header = rows[0]
    names = [_column_name(c) for c in header.split("\t")]
    wanted = ["channel", "-2", "-1", "+1", "+2"]
    missing = [w for w in wanted if w not in names]
    if missing:
        raise ImpurityError(path, header_line, f"the header lacks the column{'s' if len(missing) > 1 else ''} "
                            f"{', '.join(missing)} (columns: channel, -2, -1, +1, +2; tab-separated)")
    extra = [c for c in names if c not in wanted and c not in ("0", "monoisotopic", "")]
    if extra:
        raise ImpurityError(path, header_line, f"unknown column {extra[0]!r} (columns: channel, -2, -1, +1, +2, "
                            "and optionally monoisotopic)")
    where = {w: names.index(w) for w in wanted}
    known = {_channel_key(c): i for i, c in enumerate(plex.channels)}
    percentages: dict[int, list[float]] = {}
    for number, line in rows[1:]:
        fields = line.split("\t")
        if len(fields) < len(names):
            raise ImpurityError(path, number, f"holds {len(fields)} fields where the header names {len(names)}")
        name = fields[where["channel"]].strip()
        channel = known.get(_channel_key(name))
        if channel is None:
            raise ImpurityError(path, number, f"unknown channel {name!r} for {plex.name} (channels: "
                                f"{', '.join(plex.channels)})")
        if channel in percentages:
            raise ImpurityError(path, number, f"channel {name!r} is given twice")
        values = []
        for shift in wanted[1:]:
            text = fields[where[shift]].strip()
            try:
                value = float(text) if text else 0.0
            except ValueError:
                raise ImpurityError(path, number, f"the {shift} percentage of channel {name!r} is not a "
                                    f"number: {text!r}") from None
            if not 0.0 <= value <= 100.0:
                raise ImpurityError(path, number, f"the {shift} percentage of channel {name!r} must lie from 0 "
                                    f"to 100, got {text}")
            values.append(value)
        if sum(values) >= 100.0:
            raise ImpurityError(path, number, f"the impurities of channel {name!r} add up to {sum(values):g}%, "
                                "leaving nothing at its own m/z")
        percentages[channel] = values
    absent = [plex.channels[i] for i in range(len(plex.channels)) if i not in percentages]
    if absent:
        raise ImpurityError(path, None, f"channel{'s' if len(absent) > 1 else ''} {', '.join(absent)} of "
                            f"{plex.name} {'are' if len(absent) > 1 else 'is'} missing")
    return impurity_matrix(plex, [percentages[i] for i in range(len(plex.channels))])


def _column_name(text: str) -> str:
    name = text.strip().lower().replace("%", "").strip()
    if name in ("channel", "mass tag", "tag", "label", "reporter"):
        return "channel"
    if name in ("mono", "monoisotopic", "0", "+0"):
        return "monoisotopic"
    if name in ("2", "+2"):
        return "+2"
    if name in ("1", "+1"):
        return "+1"
    return name


def _channel_key(name: str) -> str:
    key = name.strip().upper()
    for prefix in ("TMTPRO-", "TMT-", "ITRAQ-", "TMTPRO", "TMT", "ITRAQ"):
        if key.startswith(prefix):
            key = key[len(prefix):]
            break
    return key.strip()


def impurity_matrix(plex: Plex, percentages: Sequence[Sequence[float]]) -> np.ndarray:
    """The matrix A with A[i, j] the share of channel j's signal observed in channel i,
    from each channel's percentages at the shifts -2, -1, +1, +2 (module documentation)."""
    n = len(plex.channels)
    if len(percentages) != n:
        raise ValueError(f"{plex.name} has {n} channels, got impurities of {len(percentages)}")
    matrix = np.zeros((n, n))
    for j, row in enumerate(percentages):
        if len(row) != len(SHIFTS):
            raise ValueError(f"channel {plex.channels[j]}: expected the percentages at -2, -1, +1, +2")
        matrix[j, j] = 1.0 - sum(row) / 100.0
        for shift, share in zip(SHIFTS, row):
            target = plex.shift_target(j, shift)
            if target is not None:
                matrix[target, j] += share / 100.0
    return matrix


def nnls(a: np.ndarray, b: np.ndarray, max_iterations: int | None = None) -> np.ndarray:
    """The x >= 0 that minimises |a x - b| (Lawson and Hanson's active-set method)."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    m, n = a.shape
    x = np.zeros(n)
    passive = np.zeros(n, dtype=bool)
    gradient = a.T @ (b - a @ x)
    scale = max(float(np.abs(a).max(initial=0.0)), 1.0) * max(float(np.abs(b).max(initial=0.0)), 1.0)
    tol = 10 * np.finfo(float).eps * scale * max(m, n)
    limit = max_iterations or 3 * n + 10
    for _ in range(limit):
        if passive.all() or not (gradient[~passive] > tol).any():
            break
        candidates = np.where(passive, -np.inf, gradient)
        passive[int(np.argmax(candidates))] = True
        while True:
            z = np.zeros(n)
            z[passive] = np.linalg.lstsq(a[:, passive], b, rcond=None)[0]
            if (z[passive] > 0).all():
                x = z
                break
            shrinking = passive & (z <= 0)
            alpha = np.min(x[shrinking] / (x[shrinking] - z[shrinking]))
            x = x + alpha * (z - x)
            passive &= x > tol
            x[~passive] = 0.0
        gradient = a.T @ (b - a @ x)
    return x


def correct_impurities(observed: np.ndarray, matrix: np.ndarray) -> np.ndarray:
    """Corrected reporter intensities, one row per spectrum (rows of `observed`), solved by
    non-negative least squares against the impurity matrix; rows without any signal stay 0.

    The square matrix is solved for every row at once; where that solution is nowhere
    negative it is the least-squares solution with no residual, hence the NNLS solution too.
    The other rows go through `nnls` (`correct_impurities_reference` does every row so)."""
    observed = np.atleast_2d(np.asarray(observed, dtype=np.float64))
    observed = np.where(np.isfinite(observed), observed, 0.0)
    out = np.zeros_like(observed)
    signal = np.flatnonzero((observed > 0).any(axis=1))
    if not signal.size:
        return out
    try:
        direct = np.linalg.solve(matrix, observed[signal].T).T
    except np.linalg.LinAlgError:  # a singular matrix: every row by NNLS
        direct = np.full((signal.size, observed.shape[1]), -1.0)
    feasible = (direct >= 0).all(axis=1)
    out[signal[feasible]] = direct[feasible]
    for row in signal[~feasible].tolist():
        out[row] = nnls(matrix, observed[row])
    return out


def correct_impurities_reference(observed: np.ndarray, matrix: np.ndarray) -> np.ndarray:
    """`correct_impurities` one row at a time by `nnls`: the reference it is tested against."""
    observed = np.atleast_2d(np.asarray(observed, dtype=np.float64))
    out = np.zeros_like(observed)
    for row in range(observed.shape[0]):
        values = np.where(np.isfinite(observed[row]), observed[row], 0.0)
        if np.any(values > 0):
            out[row] = nnls(matrix, values)
    return out


# ---------------------------------------------------------------------------------------
# Precursor purity


def precursor_purity(mz: np.ndarray, intensity: np.ndarray, precursor_mz: float, charge: int | None,
                     window: tuple[float, float] | None, *, tolerance_ppm: float = PURITY_TOLERANCE_PPM) -> float:
    """The share of the MS1 intensity inside the isolation window (lower, upper m/z) that
    lies on the precursor's isotope envelope. NaN when it cannot be told: no charge, no
    window, or no MS1 intensity inside the window."""
    if charge is None or charge < 1 or window is None or not math.isfinite(precursor_mz):
        return math.nan
    lower, upper = window
    mz = np.asarray(mz, dtype=np.float64)
    intensity = np.asarray(intensity, dtype=np.float64)
    inside = (mz >= lower) & (mz <= upper)
    total = float(intensity[inside].sum())
    if not total > 0:
        return math.nan
    peaks = mz[inside]
    steps = (peaks - precursor_mz) * charge / ISOTOPE_SPACING
    nearest = np.rint(steps)
    expected = precursor_mz + nearest * ISOTOPE_SPACING / charge
    on_envelope = np.abs(peaks - expected) <= expected * tolerance_ppm * 1e-6
    return float(intensity[inside][on_envelope].sum()) / total


# ---------------------------------------------------------------------------------------
# Roll-up


def median_polish(values: np.ndarray, max_iterations: int = 10, tolerance: float = 1e-6) -> np.ndarray:
    """Tukey's median polish of a rows x channels table of log intensities (NaN missing):
    the channel effects plus the overall effect, one value per channel (NaN for a channel
    without any value)."""
    table = np.array(values, dtype=np.float64)
    rows, columns = table.shape
    overall = 0.0
    row_effect = np.zeros(rows)
    column_effect = np.zeros(columns)
    empty_columns = np.isnan(table).all(axis=0)
    for _ in range(max_iterations):
        row_median = _nanmedian(table, axis=1)
        table -= row_median[:, None]
        row_effect += row_median
        shift = float(np.median(column_effect))
        column_effect -= shift
        overall += shift
        column_median = _nanmedian(table, axis=0)
        table -= column_median[None, :]
        column_effect += column_median
        shift = float(np.median(row_effect))
        row_effect -= shift
        overall += shift
        if np.nanmax(np.abs(np.concatenate([row_median, column_median])), initial=0.0) < tolerance:
            break
    out = overall + column_effect
    out[empty_columns] = np.nan
    return out


def _nanmedian(table: np.ndarray, axis: int) -> np.ndarray:
    """Medians ignoring NaN along `axis` of a 2-d table; 0 for a row or column without
    values. Sorted once (NaN sorts last), the middle of each line's values taken."""
    lines = np.sort(table if axis == 1 else table.T, axis=1)
    counts = np.sum(~np.isnan(lines), axis=1)
    low = np.maximum((counts - 1) // 2, 0)
    high = np.maximum(counts // 2, 0)
    rows = np.arange(lines.shape[0])
    middle = (lines[rows, low] + lines[rows, high]) / 2 if lines.shape[1] else np.zeros(lines.shape[0])
    return np.where(counts > 0, middle, 0.0)


def roll_up(groups: np.ndarray, intensities: np.ndarray, *, method: str = "median-polish") -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Protein-group quantities from the reporter intensities of the matches that count.

    `groups`: the group number of each match (rows of `intensities`, one column per
    channel). `method`: "sum" (the channels' sums) or "median-polish" (Tukey's median
    polish of the log2 intensities, zeros as missing; the channel effects plus the overall
    effect, returned on the intensity scale, 2 ** value). Returns the group numbers
    (ascending), their quantities (groups x channels) and the matches used per group."""
    if method not in ("sum", "median-polish"):
        raise ValueError(f"the isobaric roll-up is 'sum' or 'median-polish', not {method!r}")
    groups = np.asarray(groups)
    intensities = np.asarray(intensities, dtype=np.float64)
    numbers, codes, used = np.unique(groups, return_inverse=True, return_counts=True)
    out = np.full((numbers.size, intensities.shape[1]), np.nan)
    order = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[order], np.arange(numbers.size + 1))
    for g in range(numbers.size):
        rows = intensities[order[bounds[g]:bounds[g + 1]]]
        if method == "sum":
            out[g] = rows.sum(axis=0)
        else:
            with np.errstate(divide="ignore"):
                logs = np.where(rows > 0, np.log2(np.where(rows > 0, rows, 1.0)), np.nan)
            out[g] = np.exp2(median_polish(logs))
    return numbers, out, used
