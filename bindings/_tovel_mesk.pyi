"""The search core: a fragment-ion index over caller-given peptides and a multi-threaded
scorer of tandem mass spectra.

Conventions the core relies on and does not check (the `tovel_mesk` package checks them):

- Peptides are given ascending by `monoisotopic` (neutral) mass; an unsorted list silently
  loses candidates. `peptide_min_mass` and `peptide_max_mass` filter nothing.
- Peaks are m/z minus one proton mass (1.0072764), ascending; a precursor takes the
  observed m/z.
- Tolerances are signed offsets added to the centre: +-10 ppm is `Ppm(-10, 10)`;
  `Da(0.5, 0.5)` is a window above its centre and matches nothing there.
- A match's `label` is 1 for a target peptide and -1 for a decoy; `rt` is the spectrum's
  `scan_start_time` as given (the package gives minutes); `delta_mass` is the precursor
  error in ppm after removing the isotope offset.
"""

from collections.abc import Sequence
from typing import Any, final, type_check_only

from numpy import ndarray
from typing_extensions import Buffer

__all__ = ["PyIndexedDatabase", "PyPeptide", "PyKind", "PyTolerance", "PyPrecursor", "PyProcessedSpectrum",
           "PyScorer", "PyFeature", "hello_py"]

@final
class PyTolerance:
    """A mass window: signed offsets in daltons or in parts per million of the centre."""

    @staticmethod
    def Da(minus: float, plus: float) -> PyTolerance: ...
    @staticmethod
    def Ppm(minus: float, plus: float) -> PyTolerance: ...

@final
class PyKind:
    """A fragment ion series."""

    @staticmethod
    def B() -> PyKind: ...
    @staticmethod
    def Y() -> PyKind: ...

@final
class PyPeptide:
    """A peptide: residue letters, a mass shift per residue and per terminus, and its
    neutral monoisotopic mass (computed by the caller)."""

    def __new__(cls, sequence: str, monoisotopic: float, modifications: Sequence[float] | None,
                nterm: float | None = None, cterm: float | None = None) -> PyPeptide: ...
    @property
    def sequence(self) -> str: ...
    @property
    def modifications(self) -> list[float]: ...
    @property
    def mod_array(self) -> list[float]:
        """Return combined mod array in the convention: [N-term, per-res..., C-term]"""
    @mod_array.setter
    def mod_array(self, value: Sequence[float]) -> None: ...

@final
class PyIndexedDatabase:
    """The immutable fragment index; shared read-only by any number of scoring threads."""

    @staticmethod
    def from_peptides_and_config(peptides: Sequence[PyPeptide], bucket_size: int, ion_kinds: Sequence[PyKind],
                                 min_ion_index: int, generate_decoys: bool, decoy_tag: str,
                                 peptide_min_mass: float, peptide_max_mass: float) -> PyIndexedDatabase: ...
    @property
    def peptides(self) -> list[PyPeptide]: ...
    def sequence_for(self, pep_index: int) -> str | None: ...
    def fragment_count(self) -> int:
        """Quick count of total fragments"""
    def debug_fragment_summary(self) -> list[tuple[float, int]]:
        """Debug helper: return a summary of all indexed fragments"""

@final
class PyPrecursor:
    """A precursor ion: observed m/z, optional charge, intensity and isolation window."""

    def __new__(cls, mz: float, charge: int | None = None, intensity: float | None = None,
                isolation_window: PyTolerance | None = None,
                inverse_ion_mobility: float | None = None) -> PyPrecursor: ...
    @property
    def mz(self) -> float: ...
    @property
    def charge(self) -> int | None: ...
    @property
    def intensity(self) -> float | None: ...
    @property
    def isolation_window(self) -> PyTolerance | None: ...

@final
class PyProcessedSpectrum:
    """One MS2 spectrum ready to score: float32 peak buffers (m/z minus a proton, ascending)."""

    # The peak arrays: any object that exports a buffer. numpy declares that of its arrays
    # only from Python 3.12 on (as `__buffer__`), hence `ndarray` beside `Buffer`.
    def __new__(cls, id: str, file_id: int, scan_start_time: float, mz_array: Buffer | ndarray,
                intensity_array: Buffer | ndarray, precursors: Sequence[PyPrecursor],
                total_ion_current: float) -> PyProcessedSpectrum: ...
    @property
    def id(self) -> str: ...
    @property
    def peaks(self) -> list[tuple[float, float]]: ...
    @property
    def precursors(self) -> list[PyPrecursor]: ...

@final
class PyScorer:
    """Search settings, and the two scoring entry points (which release the interpreter lock)."""

    def __new__(cls, precursor_tol: PyTolerance, fragment_tol: PyTolerance, wide_window: bool = True,
                chimera: bool = True, report_psms: int = 5, min_isotope_err: int = ..., max_isotope_err: int = 3,
                min_precursor_charge: int = 2, max_precursor_charge: int = 4, min_matched_peaks: int = 3,
                annotate_matches: bool = False, max_fragment_charge: int | None = 2) -> PyScorer: ...
    def score_spectra(self, db: PyIndexedDatabase, spectrum: PyProcessedSpectrum) -> list[PyFeature]:
        """Executes the scoring logic against the built database and a single spectrum."""
    def score_many_spectra(self, db: PyIndexedDatabase,
                           spectra: Sequence[PyProcessedSpectrum]) -> list[list[PyFeature]]: ...

@final
@type_check_only
class PyFragments:
    """The matched fragment ions of one match, as parallel lists (not a module attribute)."""

    @property
    def charges(self) -> list[int]: ...
    @property
    def kinds(self) -> list[str]: ...
    @property
    def fragment_ordinals(self) -> list[int]: ...
    @property
    def intensities(self) -> list[float]: ...
    @property
    def mz_calculated(self) -> list[float]: ...
    @property
    def mz_experimental(self) -> list[float]: ...
    def to_dict(self) -> dict[str, list[Any]]:
        """Optional helper: return as Python dict for easier pandas conversion"""

@final
class PyFeature:
    """One peptide-spectrum match."""

    @property
    def peptide(self) -> PyPeptide | None: ...
    @peptide.setter
    def peptide(self, value: PyPeptide | None) -> None: ...
    @property
    def sequence(self) -> str | None: ...
    @property
    def modifications(self) -> list[float] | None: ...
    @property
    def hyperscore(self) -> float: ...
    @property
    def delta_mass(self) -> float:
        """Precursor mass error in ppm after removing the isotope offset."""
    @property
    def rank(self) -> int: ...
    @property
    def matched_peaks(self) -> int: ...
    @property
    def peptide_idx(self) -> int: ...
    @property
    def psm_id(self) -> int: ...
    @property
    def peptide_len(self) -> int: ...
    @property
    def spec_id(self) -> str: ...
    @property
    def file_id(self) -> int: ...
    @property
    def label(self) -> int:
        """1 for a target peptide, -1 for a decoy."""
    @property
    def expmass(self) -> float: ...
    @property
    def calcmass(self) -> float: ...
    @property
    def charge(self) -> int: ...
    @property
    def rt(self) -> float:
        """The spectrum's scan start time, as given (minutes when read by the package)."""
    @property
    def aligned_rt(self) -> float: ...
    @property
    def predicted_rt(self) -> float: ...
    @property
    def delta_rt_model(self) -> float: ...
    @property
    def ims(self) -> float: ...
    @property
    def predicted_ims(self) -> float: ...
    @property
    def delta_ims_model(self) -> float: ...
    @property
    def isotope_error(self) -> float: ...
    @property
    def average_ppm(self) -> float: ...
    @property
    def delta_next(self) -> float: ...
    @property
    def delta_best(self) -> float: ...
    @property
    def longest_b(self) -> int: ...
    @property
    def longest_y(self) -> int: ...
    @property
    def longest_y_pct(self) -> float: ...
    @property
    def missed_cleavages(self) -> int: ...
    @property
    def matched_intensity_pct(self) -> float: ...
    @property
    def scored_candidates(self) -> int: ...
    @property
    def poisson(self) -> float: ...
    @property
    def discriminant_score(self) -> float: ...
    @property
    def posterior_error(self) -> float: ...
    @property
    def spectrum_q(self) -> float: ...
    @property
    def peptide_q(self) -> float: ...
    @property
    def protein_q(self) -> float: ...
    @property
    def ms2_intensity(self) -> float: ...
    @property
    def fragments(self) -> PyFragments | None: ...
    def to_dict(self) -> dict[str, Any]: ...

def hello_py() -> str: ...
