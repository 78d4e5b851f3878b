"""Search settings: one typed, frozen value that the command line, a TOML file and Python
callers share.

Every setting is a field of `SearchSettings` (its type and its default, the one place
defaults are written) and an entry of `OPTIONS`: its stage (which part of the search it
feeds), the keyword under which that stage takes it, its command-line flag and help text.
The argument parser, `--help`, the TOML reader and writer, the digestion's arguments, the
index cache key and the settings sent to cluster workers are all made from that table.
Precedence, lowest first: built-in defaults, a preset, the TOML file, then flags.

Raw values (tolerance text such as ``"-10,20ppm"``, ranges such as ``"-1,3"``, path text)
are read once, when a `SearchSettings` is made, and checked then: a `SearchSettings` that
exists is valid, and the stages use its typed values without reading text again.

TOML files: settings sit in the section of their stage (``[search]``, ``[digestion]``, ...)
or at the top level. Sections only group the file: a setting placed in another known
section is read all the same. An unknown section or key is refused, with the closest
known name when there is one.
"""

from __future__ import annotations

import dataclasses
import difflib
import math
import os
import re
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from collections.abc import Iterable
from typing import Any

from .conventions import Tolerance
from .errors import ConfigError

__all__ = ["SearchSettings", "Option", "OPTIONS", "PRESETS", "STAGES", "ConfigError", "load_settings",
           "default_toml", "settings_toml", "parse_int_range", "available_cores", "options_of", "DEFAULTS",
           "INDEX_STAGES", "WORKER_STAGES", "modification_notes", "parse_size", "format_size"]

# The stages of a search, each the TOML section of its settings, in the order of the file.
INPUT = "input"            # what is searched and where results go
DIGESTION = "digestion"    # digest_fasta's arguments
INDEX = "index"            # build_database's arguments
SEARCH = "search"          # the scorer's arguments
READING = "reading"        # the spectra readers' arguments
ERROR_CONTROL = "error-control"
QUANTIFICATION = "quantification"
RUN = "run"                # how this process runs the work
CLUSTER = "cluster"        # where the work runs

#: Every stage, with the title of its group in `--help`.
STAGES: dict[str, str] = {
    INPUT: "input",
    SEARCH: "search (how spectra are scored)",
    READING: "reading (which spectra and peaks are scored)",
    DIGESTION: "digestion (shapes the index)",
    INDEX: "index (shapes the index)",
    ERROR_CONTROL: "error control",
    QUANTIFICATION: "quantification (how much of each peptide and protein)",
    RUN: "run",
    CLUSTER: "cluster",
}

#: Stages whose settings shape the index: the digestion's and the index's.
INDEX_STAGES = (DIGESTION, INDEX)

#: Stages whose settings a cluster worker needs to build the index and search a file.
WORKER_STAGES = (DIGESTION, INDEX, SEARCH, READING, RUN, QUANTIFICATION)

#: The `fragment_tol` that reads the fragment analyzer from each file
#: (`tovel_mesk.search.plan`), and the tolerance it gives high-resolution files.
AUTO = "auto"
HIGH_RESOLUTION_FRAGMENT_TOL = Tolerance(-10.0, 10.0, "ppm")

#: The fixed modification most samples carry: carbamidomethyl cysteine.
CARBAMIDOMETHYL_C = "C:+57.021464"


@dataclass(frozen=True)
class Option:
    """One setting: its name (the TOML key and the `SearchSettings` field), help text, the
    stage it feeds (also its TOML section), how the command line spells it, and the keyword
    (or the two keywords of a MIN,MAX range) under which its stage takes it. The default is
    the field's default in `SearchSettings`."""

    name: str
    help: str
    stage: str
    kind: str = "value"      # "value", "switch" (--x/--no-x), "list" (repeatable), "path", "paths",
                             # "cache" (--x DIR, --no-x), "size" (bytes, or text such as 8GiB)
    metavar: str | None = None
    argument: str | tuple[str, str] | None = ""   # "": the name itself; None: taken by no stage
    short: str | None = None                      # a one-letter flag, e.g. "-o"
    aliases: tuple[str, ...] = ()                 # older names, accepted as flags and TOML keys

    @property
    def default(self) -> Any:
        f = _FIELDS[self.name]
        return f.default_factory() if f.default_factory is not dataclasses.MISSING else f.default

    @property
    def flag(self) -> str:
        return "--" + self.name.replace("_", "-")

    @property
    def flags(self) -> list[str]:
        """Every command-line spelling: the flag, the older ones, the short one."""
        return [*([self.short] if self.short else []), self.flag, *("--" + a.replace("_", "-") for a in self.aliases)]

    @property
    def keywords(self) -> tuple[str, ...]:
        """The keywords under which the stage takes this setting."""
        if self.argument is None:
            return ()
        if isinstance(self.argument, tuple):
            return self.argument
        return (self.argument or self.name,)


@dataclass(frozen=True)
class SearchSettings:
    """Every setting of a search, with the defaults of a typical data-dependent run: the
    precursor tolerance (10 ppm) is honoured, the wide window and chimeric search are off.

    Made from typed values or their TOML forms (a tolerance as ``"10ppm"``, a range as
    ``"-1,3"`` or ``[-1, 3]``, paths as text, lists as lists), which are converted and
    checked once, here; ConfigError names the first bad setting. `load_settings` adds
    presets, a TOML file and flags on top of the defaults."""

    fasta: Path | None = None
    output: Path | None = None
    spectra: tuple[Path, ...] = ()
    preset: str | None = None
    precursor_tol: Tolerance = Tolerance(-10.0, 10.0, "ppm")
    fragment_tol: Tolerance | str = AUTO
    calibration: bool = True
    wide_window: bool = False
    chimera: bool = False
    adaptive_null: bool = True
    report_psms: int = 1
    min_matched_peaks: int = 3
    isotope_errors: tuple[int, int] = (-1, 3)
    charges: tuple[int, int] = (2, 4)
    max_fragment_charge: int = 2
    top_peaks: int = 150
    ms_level: int = 2
    enzyme: str = "trypsin"
    missed_cleavages: int = 2
    min_length: int = 7
    max_length: int = 50
    min_mass: float = 500.0
    max_mass: float = 5000.0
    fixed_mods: tuple[str, ...] = (CARBAMIDOMETHYL_C,)
    variable_mods: tuple[str, ...] = ()
    max_variable_mods: int = 2
    remove_initiator_met: bool = True
    fasta_decoy_prefixes: tuple[str, ...] = ("rev_", "DECOY_")
    fasta_decoy_suffixes: tuple[str, ...] = ("_rev",)
    decoy_tag: str = "rev_"
    bucket_size: int = 8192
    fragment_list: str = "auto"
    rescore: str = "lda"
    fdr: float = 0.01
    threads: int = 0
    chunk_size: int = 4096
    quiet: bool = False
    fail_fast: bool = False
    scheduler: str | None = None
    workers: int = 0
    overwrite: bool = False
    formats: tuple[str, ...] = ("mztab",)
    split_by_file: bool = False
    index_cache: Path | str = "auto"
    index_cache_size: int = 8 << 30
    quant: str = "auto"
    mbr: bool | None = None
    protein_quant: str = "maxlfq"
    design: Path | None = None
    impurities: Path | None = None
    min_purity: float = 0.5
    reporter_tol: Tolerance = Tolerance(-20.0, 20.0, "ppm")

    def __post_init__(self) -> None:
        for option in OPTIONS:
            object.__setattr__(self, option.name, _coerce(option, getattr(self, option.name), "the settings"))
        self._check()

    def _check(self) -> None:
        """Checks the values together; raises ConfigError naming the setting."""
        lo, hi = self.charges
        if lo < 1 or hi > 255:
            raise ConfigError(f"--charges must lie within 1..255, got {lo},{hi}")
        lo, hi = self.isotope_errors
        if lo < -128 or hi > 127:
            raise ConfigError(f"--isotope-errors must lie within -128..127, got {lo},{hi}")
        for name, (lo, hi) in _LIMITS.items():
            value = getattr(self, name)
            if not lo <= value <= hi:
                raise ConfigError(f"{_BY_NAME[name].flag} must be a whole number from {lo} to {hi}, got {value!r}")
        if self.min_length > self.max_length:
            raise ConfigError(f"--min-length ({self.min_length}) is above --max-length ({self.max_length})")
        for name in ("min_mass", "max_mass", "fdr", "min_purity"):
            if not math.isfinite(getattr(self, name)):
                raise ConfigError(f"{_BY_NAME[name].flag} must be a finite number, got {getattr(self, name)!r}")
        if self.min_mass > self.max_mass:
            raise ConfigError(f"--min-mass ({self.min_mass}) is above --max-mass ({self.max_mass})")
        if not 0.0 < self.fdr < 1.0:
            raise ConfigError(f"--fdr must lie between 0 and 1, got {self.fdr!r}")
        if self.design is not None and self.quant not in (AUTO, "lfq"):
            raise ConfigError(f"--design describes the runs of label-free quantification; it does not apply to "
                              f"--quant {self.quant}")
        for name, choices in _CHOICES.items():
            if getattr(self, name) not in choices:
                raise ConfigError(f"{_BY_NAME[name].flag} must be {_either(choices)}, got {getattr(self, name)!r}")
        if self.preset is not None and self.preset not in PRESETS:
            raise ConfigError(f"--preset must be one of {', '.join(PRESETS)}, got {self.preset!r}")
        if not self.decoy_tag:
            raise ConfigError("--decoy-tag must not be empty")
        if self.scheduler is not None and not self.scheduler.strip():
            raise ConfigError(f"--scheduler must be a scheduler address such as tcp://HOST:8786, got {self.scheduler!r}")
        if self.scheduler is not None and self.workers:
            raise ConfigError("--scheduler and --workers exclude each other: give the address of a running "
                              "cluster, or the number of workers of a local one")
        self._check_quant()
        unknown = [f for f in self.formats if f not in FORMATS]
        if unknown:
            raise ConfigError(f"--formats: unknown format {unknown[0]!r}; accepted: {', '.join(FORMATS)}")
        if self.index_cache_size < 1:
            raise ConfigError(f"--index-cache-size must be at least 1 byte, got {self.index_cache_size!r} "
                              "(--no-index-cache turns the cache off)")
        _check_fixed_mods(self.fixed_mods)
        self._check_digestion()

    def _check_quant(self) -> None:
        """The quantification settings together: the roll-up that suits the kind of
        quantification, an impurity file and a reporter window only for reporter ions."""
        isobaric = self.quant in ISOBARIC_QUANT
        if not 0.0 <= self.min_purity <= 1.0:
            raise ConfigError(f"--min-purity must lie from 0 to 1, got {self.min_purity!r}")
        if self.protein_quant == "median-polish" and self.quant in (AUTO, "lfq"):
            raise ConfigError("--protein-quant median-polish rolls up reporter ions; label-free quantification "
                              "takes maxlfq, top3 or sum")
        if self.impurities is not None and not isobaric:
            raise ConfigError(f"--impurities corrects reporter ions; it needs --quant with a plex "
                              f"({', '.join(ISOBARIC_QUANT)}), not {self.quant!r}")
        if isobaric and (self.reporter_tol.lower != -self.reporter_tol.upper or self.reporter_tol.upper == 0):
            raise ConfigError(f"--reporter-tol must be symmetric and wider than 0, such as 20ppm, got "
                              f"{self.reporter_tol}")
        # Whether the window separates the plex's channels is checked with the inputs
        # (`tovel_mesk.search.preflight`), where the plexes are known.

    def _check_digestion(self) -> None:
        """The enzyme, the modifications and the digestion's ranges, as the digestion reads
        them, before any file is read."""
        from . import _native  # noqa: PLC0415 - the native module, loaded with the search core

        arguments = self.arguments(DIGESTION)
        try:
            _native.digest(None, "", arguments["enzyme"], arguments["missed_cleavages"], arguments["min_length"],
                           arguments["max_length"], arguments["min_mass"], arguments["max_mass"],
                           arguments["fixed_mods"], arguments["variable_mods"], arguments["max_variable_mods"],
                           arguments["remove_initiator_met"], True, arguments["decoy_prefixes"],
                           arguments["decoy_suffixes"])
        except ValueError as error:
            raise ConfigError(str(error)) from None

    def validate(self) -> SearchSettings:
        """Returns self: settings are checked when they are made, and a made one is valid.
        Kept for callers of earlier versions."""
        return self

    def require_fasta(self) -> Path:
        """`fasta`, which every search needs; ConfigError when it is not set."""
        if self.fasta is None:
            raise ConfigError("no protein database: set the settings' fasta to a FASTA file")
        return self.fasta

    @property
    def distributed(self) -> bool:
        """Whether the files are searched on a Dask cluster (`scheduler` or `workers` set)."""
        return self.scheduler is not None or self.workers > 0

    @property
    def fragment_list_on(self) -> bool:
        """Whether the index lists every fragment ion: `fragment_list` on, or auto where
        the list pays for its build: with the wide window, or a wide precursor window
        (`WIDE_PRECURSOR_DA`) on narrow fragment windows (`NARROW_FRAGMENT_DA`), whose
        brackets hold too many peptides to count their ions one by one. Without the list
        the matches are the same; see `build_database`."""
        if self.fragment_list != "auto":
            return self.fragment_list == "on"
        if self.wide_window:
            return True
        # "auto" searches high-resolution files with 10 ppm fragments: the one index of the
        # call must serve them.
        fragment = self.fragment_tol if isinstance(self.fragment_tol, Tolerance) else HIGH_RESOLUTION_FRAGMENT_TOL
        return self.precursor_tol.width(1000.0) > WIDE_PRECURSOR_DA and fragment.width(1000.0) < NARROW_FRAGMENT_DA

    @property
    def thread_count(self) -> int:
        """Worker threads to use: the setting, or every core the process may run on."""
        return self.threads or available_cores()

    def arguments(self, stage: str) -> dict[str, Any]:
        """The keyword arguments that the settings of `stage` give its function: renamed
        where the function names them otherwise, a range split into its two ends, lists as
        lists. The index's `fragment_list` is given resolved (True or False)."""
        out: dict[str, Any] = {}
        for option in options_of(stage):
            value = getattr(self, option.name)
            if option.name == "fragment_list":
                value = self.fragment_list_on
            keywords = option.keywords
            if len(keywords) == 2:
                out[keywords[0]], out[keywords[1]] = value
            elif keywords:
                out[keywords[0]] = list(value) if isinstance(value, tuple) else value
        return out

    def for_worker(self) -> SearchSettings:
        """The settings a cluster worker needs: those of `WORKER_STAGES`, with the FASTA's
        absolute path; the others at their defaults."""
        kept = {o.name: getattr(self, o.name) for o in OPTIONS if o.stage in WORKER_STAGES}
        if isinstance(self.index_cache, Path):
            kept["index_cache"] = Path(os.path.abspath(self.index_cache))
        return SearchSettings(fasta=Path(os.path.abspath(self.require_fasta())), **kept)

    def as_dict(self) -> dict[str, Any]:
        """The settings as plain values, as a TOML file writes them (paths and tolerances as
        text, ranges and lists as lists), e.g. for `summary.json`."""
        return {o.name: _plain(getattr(self, o.name)) for o in OPTIONS}

    def to_toml(self) -> str:
        """The settings as a TOML file that `load_settings(config=...)` reads back to equal
        settings; paths are written absolute."""
        return settings_toml(self)


def _plain(value: Any) -> Any:
    if isinstance(value, (Path, Tolerance)):
        return str(value)
    if isinstance(value, tuple):
        return [_plain(v) for v in value]
    return value


def _either(choices: Iterable[str]) -> str:
    names = list(choices)
    return ", ".join(names[:-1]) + " or " + names[-1]


def available_cores() -> int:
    """The cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not Linux
        return max(1, os.cpu_count() or 1)


def parse_int_range(text: str, what: str) -> tuple[int, int]:
    """`MIN,MAX` (or one number for both) as two integers, MIN <= MAX."""
    parts = [p.strip() for p in str(text).split(",")]
    try:
        values = [int(p) for p in parts]
    except ValueError:
        raise ConfigError(f"{what} must be MIN,MAX with whole numbers, got {text!r}") from None
    if len(values) == 1:
        values = values * 2
    if len(values) != 2 or values[0] > values[1]:
        raise ConfigError(f"{what} must be MIN,MAX with MIN <= MAX, got {text!r}")
    return values[0], values[1]


_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([kmgt]i?b?|b)?\s*", re.IGNORECASE)
_UNITS = {"": 1, "b": 1, "k": 1000, "m": 1000**2, "g": 1000**3, "t": 1000**4,
          "ki": 1 << 10, "mi": 1 << 20, "gi": 1 << 30, "ti": 1 << 40}


def parse_size(value: str | int, what: str = "--index-cache-size") -> int:
    """A size in bytes from a whole number of bytes or text such as ``8GiB``, ``500MB``,
    ``1.5G`` (KB, MB, GB, TB are powers of 1000; KiB, MiB, GiB, TiB powers of 1024)."""
    if isinstance(value, int) and not isinstance(value, bool):
        return value
    match = _SIZE.fullmatch(value) if isinstance(value, str) else None
    if match is None:
        raise ConfigError(f"{what} must be a size such as 8GiB, 500MB or a number of bytes, got {value!r}")
    unit = (match.group(2) or "").lower().removesuffix("b")
    return int(float(match.group(1)) * _UNITS[unit])


def format_size(size: int) -> str:
    """A byte count in binary units, as `parse_size` reads it back: ``8GiB``, ``1.5MiB``."""
    for unit, factor in (("TiB", 1 << 40), ("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= factor:
            return f"{size / factor:.3g}{unit}" if size % factor else f"{size // factor}{unit}"
    return f"{size}B"


def _mod_parts(mod: str) -> tuple[str, float] | None:
    """The site and the mass of a `SITE:MASS` modification; None when it cannot be read
    (the digestion's check names the fault)."""
    site, _, mass = mod.rpartition(":")
    try:
        value = float(mass)
    except ValueError:
        return None
    return (site.strip(), value) if site.strip() and math.isfinite(value) else None


def _places(site: str) -> set[tuple[str, str]]:
    """The (residue, terminus) places a modification site covers; '*' is any residue, ''
    anywhere in the peptide."""
    residues, _, terminus = site.partition("@")
    if "-" in residues and not terminus:  # a terminus alone: peptide-nterm, protein-cterm, ...
        return {("*", residues.lower())}
    return {(r.upper(), terminus.lower()) for r in residues}


def _check_fixed_mods(mods: tuple[str, ...]) -> None:
    """Refuses a fixed modification given twice (the same mass, to 4 decimals, at an
    overlapping site): fixed modifications meeting at one place add up, so it would be
    counted twice."""
    seen: list[tuple[str, set[tuple[str, str]], float]] = []
    for mod in mods:
        parts = _mod_parts(mod)
        if parts is None:
            continue
        site, mass = parts
        places = _places(site)
        for other, other_places, other_mass in seen:
            if round(mass, 4) == round(other_mass, 4) and places & other_places:
                where = ", ".join(sorted(r if t == "" else f"{r}@{t}" for r, t in places & other_places))
                same = f"{mod!r} is given twice" if mod == other else f"{mod!r} repeats {other!r}"
                raise ConfigError(f"--fixed-mods: {same}; fixed modifications at one place add up, so {where} "
                                  f"would carry {2 * mass:+.4f}. Give each modification once")
        seen.append((mod, places, mass))


def modification_notes(settings: SearchSettings) -> tuple[str, list[str]]:
    """A line naming the effective fixed and variable modifications, and warnings about
    them (a fixed-modification list without carbamidomethyl C)."""
    def listed(mods: tuple[str, ...]) -> str:
        return " ".join(mods) if mods else "none"

    line = f"modifications: fixed {listed(settings.fixed_mods)}; variable {listed(settings.variable_mods)}"
    warnings = []
    carbamidomethyl = _mod_parts(CARBAMIDOMETHYL_C)
    assert carbamidomethyl is not None
    has_it = any(parts is not None and "C" in {r for r, _ in _places(parts[0])}
                 and round(parts[1], 2) == round(carbamidomethyl[1], 2)
                 for parts in map(_mod_parts, settings.fixed_mods))
    if settings.quant in ISOBARIC_QUANT:
        def place(mod: str) -> tuple[str, float] | None:
            parts = _mod_parts(mod)
            return None if parts is None else (parts[0].lower(), round(parts[1], 3))

        given = {place(m) for m in settings.fixed_mods}
        missing = [m for m in PRESETS[settings.quant]["fixed_mods"] if m != CARBAMIDOMETHYL_C and place(m) not in given]
        if missing:
            warnings.append(f"--quant {settings.quant} reads the reporters of a tag that the fixed modifications "
                            f"leave out ({' '.join(missing)}); tagged peptides will not be found. Use --preset "
                            f"{settings.quant}, or add them with --fixed-mods")
    if not has_it:
        warnings.append(f"the fixed modifications leave out carbamidomethyl C ({CARBAMIDOMETHYL_C}); cysteines "
                        "are searched unmodified. Add it back with --fixed-mods C:+57.021464 if the sample "
                        "was alkylated with iodoacetamide")
    return line, warnings


_FIELDS = {f.name: f for f in dataclasses.fields(SearchSettings)}

#: Values of the `fragment_list` setting, and of the other settings with a fixed choice.
FRAGMENT_LIST_CHOICES = ("auto", "on", "off")

#: Standard formats that a search can write beside its tables (`--formats`).
FORMATS = ("mzid", "pepxml", "mztab")
#: `--quant` values that name an isobaric plex (`tovel_mesk.quant.reporters.PLEXES`).
ISOBARIC_QUANT = ("tmt6", "tmt10", "tmt11", "tmt16", "tmt18", "itraq4", "itraq8")
#: Kinds of quantification (`--quant`): "auto" is label-free when the call's files hold MS1 scans.
QUANT_METHODS = ("auto", "none", "lfq", *ISOBARIC_QUANT)
PROTEIN_QUANT_METHODS = ("maxlfq", "top3", "sum", "median-polish")
_CHOICES = {"fragment_list": FRAGMENT_LIST_CHOICES, "rescore": ("lda", "mokapot", "hyperscore"),
            "quant": QUANT_METHODS, "protein_quant": PROTEIN_QUANT_METHODS}

#: Ranges of the whole-number settings.
_LIMITS = {"report_psms": (0, 1 << 20), "min_matched_peaks": (0, 65535), "max_fragment_charge": (1, 255),
           "top_peaks": (1, 1 << 20), "ms_level": (1, 255), "missed_cleavages": (0, 255),
           "min_length": (1, 1000), "max_length": (1, 1000), "max_variable_mods": (0, 16),
           "bucket_size": (1, 1 << 24), "threads": (0, 4096), "chunk_size": (1, 1 << 24), "workers": (0, 4096)}

#: Window widths at 1,000 Da (daltons) beyond and below which `fragment_list` "auto" lists
#: the fragments. Measured on six ion-trap runs (4,032 spectra) against the 18-protein
#: FASTA with decoys (1.66 M peptides, 57 M fragments), 2 threads: with 10 ppm fragment
#: windows, counting each candidate's ions scored as fast as the fragment list at 10 and
#: 50 ppm precursor windows but twice as slow at 0.5 and 3 Da, where the list's build
#: (about 1.5 CPU seconds more) repaid after 5,000 to 11,000 spectra; with 0.5 Da fragment
#: windows, counting was never slower.
WIDE_PRECURSOR_DA = 0.2     # +-100 ppm
NARROW_FRAGMENT_DA = 0.2    # +-100 ppm

#: Every setting, in the order of `--help` and of the TOML file within its stage.
OPTIONS: tuple[Option, ...] = (
    Option("fasta", "protein FASTA file (plain or .gz)", INPUT, "path", "FILE", argument=None),
    Option("output", "folder for the results (created if missing)", INPUT, "path", "DIR", argument=None,
           short="-o"),
    Option("spectra", "mzML or MGF files to search", INPUT, "paths", "SPECTRA", argument=None),
    Option("preset", "settings for a kind of instrument: 'ion-trap' (low-resolution fragments: "
           "fragment tolerance 0.5da, 5 matches reported per spectrum); or of an isobaric label, which fixes the "
           "tag on K and peptide N-termini (with C:+57.021464) and reads its reporter ions: 'tmt6', 'tmt10', "
           "'tmt11' (TMT, +229.162932), 'tmt16', 'tmt18' (TMTpro, +304.207146), 'itraq4' (+144.102063), "
           "'itraq8' (+304.205360); settings given explicitly win",
           INPUT, "value", "NAME", argument=None),
    Option("precursor_tol", "precursor mass tolerance: 10ppm, 0.02da, or asymmetric -10,20ppm",
           SEARCH, "value", "TOL"),
    Option("fragment_tol", "fragment mass tolerance, same forms, or 'auto': read the fragment analyzer of each "
           "file from its data (filter strings, instrument configuration; for MGF a guess from the peak lists) "
           "and search ion-trap spectra as --preset ion-trap does, Orbitrap and time-of-flight spectra with "
           "10ppm and the 500 most intense peaks", SEARCH, "value", "TOL"),
    Option("calibration", "calibrate each file's masses first: score a sample of its spectra, measure the offset "
           "and spread of the precursor (and high-resolution fragment) errors, correct the m/z values and set "
           "the tolerances from the spread", SEARCH, "switch", argument=None),
    Option("wide_window", "search every charge within each precursor's isolation window instead of "
           "the precursor tolerance around its reported charge", SEARCH, "switch"),
    Option("chimera", "report co-isolated peptides: after the best match, remove its peaks and "
           "search again", SEARCH, "switch"),
    Option("adaptive_null", "low-resolution expectation values: draw the generated peptides of each "
           "spectrum's null distribution in rounds (256, then doubling up to 2,000) and stop once the fit of its "
           "tail is stable at the reported matches' scores; --no-adaptive-null scores all 2,000 every time "
           "(slower; the values of earlier versions)", SEARCH, "switch", argument=None),
    Option("report_psms", "matches reported per spectrum", SEARCH, "value", "N"),
    Option("min_matched_peaks", "fewest matched fragment peaks for a match", SEARCH, "value", "N"),
    Option("isotope_errors", "isotope errors of the precursor pick searched, MIN,MAX (e.g. -1,3)", SEARCH,
           "value", "MIN,MAX", argument=("min_isotope_err", "max_isotope_err")),
    Option("charges", "precursor charges tried when a spectrum gives none, MIN,MAX", SEARCH,
           "value", "MIN,MAX", argument=("min_precursor_charge", "max_precursor_charge")),
    Option("max_fragment_charge", "highest fragment charge (never above the precursor charge - 1)",
           SEARCH, "value", "N"),
    Option("top_peaks", "most intense peaks kept per spectrum; with --fragment-tol auto, high-resolution files "
           "keep 500 while this stays at its default", READING, "value", "N"),
    Option("ms_level", "MS level of the spectra searched", READING, "value", "N"),
    Option("enzyme", "trypsin, trypsin/p, lys-c, lys-n, arg-c, asp-n, glu-c, chymotrypsin, "
           "or non-specific", DIGESTION, "value", "NAME"),
    Option("missed_cleavages", "missed cleavages per peptide", DIGESTION, "value", "N"),
    Option("min_length", "shortest peptide, residues", DIGESTION, "value", "N"),
    Option("max_length", "longest peptide, residues", DIGESTION, "value", "N"),
    Option("min_mass", "lightest peptide, Da (neutral)", DIGESTION, "value", "DA"),
    Option("max_mass", "heaviest peptide, Da (neutral)", DIGESTION, "value", "DA"),
    Option("fixed_mods", "fixed modification SITE:MASS (repeat the flag for several); "
           "SITE is residues (STY), peptide-nterm, peptide-cterm, protein-nterm, protein-cterm, or "
           "residues at a terminus (Q@peptide-nterm). The flags given replace the default list, so "
           "keep C:+57.021464 among them for alkylated samples; each modification once",
           DIGESTION, "list", "SITE:MASS"),
    Option("variable_mods", "variable modification SITE:MASS, same forms (e.g. M:+15.994915); the flags "
           "given replace the default list", DIGESTION, "list", "SITE:MASS"),
    Option("max_variable_mods", "most variable modifications per peptide", DIGESTION, "value", "N"),
    Option("remove_initiator_met", "also digest each protein without its N-terminal methionine", DIGESTION,
           "switch"),
    Option("fasta_decoy_prefixes", "accession prefix of decoy proteins already in the FASTA, which are left "
           "out (the index makes its own decoys)", DIGESTION, "list", "PREFIX", argument="decoy_prefixes"),
    Option("fasta_decoy_suffixes", "accession suffix of decoy proteins already in the FASTA, left out too",
           DIGESTION, "list", "SUFFIX", argument="decoy_suffixes"),
    Option("decoy_tag", "tag in front of the accessions of the generated (reversed) decoys",
           INDEX, "value", "TAG"),
    Option("bucket_size", "fragments per index bucket", INDEX, "value", "N"),
    Option("fragment_list", "list every fragment ion in the index ('on'), or keep the peptides alone and count "
           "the ions of each spectrum's candidates ('off': same matches, far less memory and start-up time, "
           "for narrow precursor windows); 'auto' lists them for the wide window, or a precursor tolerance "
           "beyond +-100 ppm with a fragment tolerance within +-100 ppm. Older spelling: --fragment-index",
           INDEX, "value", "MODE", aliases=("fragment_index",)),
    Option("rescore", "rescoring: 'lda' (built-in linear discriminant), 'mokapot' (needs "
           "tovel-mesk[mokapot]) or 'hyperscore' (no rescoring)", ERROR_CONTROL, "value", "METHOD"),
    Option("fdr", "false discovery rate at which identifications are counted and plotted",
           ERROR_CONTROL, "value", "RATE"),
    Option("threads", "worker threads of each search (0: every core; with --workers, the cores shared out "
           "among the local workers)", RUN, "value", "N"),
    Option("chunk_size", "spectra scored together; bounds memory per file", RUN, "value", "N"),
    Option("quiet", "no progress output", RUN, "switch"),
    Option("fail_fast", "stop at the first spectra file that cannot be read, writing nothing (default: report it, "
           "search the others, exit status 1)", RUN, "switch"),
    Option("scheduler", "search the files on a running Dask cluster: the address of its scheduler "
           "(tcp://HOST:8786); every worker must read the FASTA and spectra files at the same absolute paths "
           "as this machine (needs tovel-mesk[distributed])", CLUSTER, "value", "ADDRESS"),
    Option("workers", "search the files on a local Dask cluster of N worker processes started for this "
           "call (0: in this process; needs tovel-mesk[distributed])", CLUSTER, "value", "N"),
    Option("overwrite", "let results with failed files replace complete results of more files in the output "
           "folder (default: such results are not written and the older ones stay)", RUN, "switch"),
    Option("formats", "standard formats written beside the tables: mzid (mzIdentML 1.2, psms.mzid), pepxml "
           "(psms.pep.xml), mztab (mzTab 1.0, results.mztab); repeat the flag for several, the flags replace the "
           "default", RUN, "list", "FORMAT"),
    Option("split_by_file", "also write each spectra file's psms.tsv, peptides.tsv and results.pin in "
           "by_file/<file name>/ of the output folder, beside the combined tables", RUN, "switch"),
    Option("index_cache", "folder of the persistent index cache: the digest and index of a FASTA under its "
           "digestion and index settings are stored there and mapped again by later searches (checksummed; a "
           "damaged entry is rebuilt). 'auto': $TOVEL_MESK_INDEX_CACHE, else the user's cache folder "
           "($XDG_CACHE_HOME or ~/.cache)/tovel-mesk/index; --no-index-cache (or 'off') turns it off", RUN,
           "cache", "DIR", argument=None),
    Option("index_cache_size", "most the index cache folder holds, e.g. 8GiB or 500MB; after each store the least "
           "recently used entries are removed until it fits", RUN, "size", "SIZE", argument=None),
    Option("quant", "quantification: 'lfq' (label-free, from the MS1 scans: the chromatogram of each accepted "
           "precursor ion, runs aligned, match-between-runs, protein quantities), the isobaric tags tmt6, tmt10, "
           "tmt11, tmt16, tmt18, itraq4, itraq8, 'none', or 'auto': lfq when the files hold MS1 scans, else none",
           QUANTIFICATION, "value", "METHOD", argument=None),
    Option("mbr", "match-between-runs: transfer each precursor ion identified in some runs to the runs where it "
           "was not, at the aligned retention time, transfers kept at q <= 0.01 (default: on with 2 or more runs)",
           QUANTIFICATION, "switch", argument=None),
    Option("protein_quant", "protein quantities from peptide ones: 'maxlfq' (pairwise median ratios, then a "
           "least-squares fit per group), 'top3' (mean of the 3 most intense peptides) or 'sum'",
           QUANTIFICATION, "value", "METHOD", argument=None),
    Option("design", "experimental design (TSV with Fraction_Group, Fraction, Spectra_Filepath, Label, Sample): "
           "fractions of one sample are summed, quantities reported per sample; files matched by name "
           "(default: each file a sample of its own)", QUANTIFICATION, "path", "FILE", argument=None),
    Option("impurities", "isotope impurities of the plex's reagent lot, corrected per spectrum by non-negative "
           "least squares: a tab-separated file with a header line 'channel -2 -1 +1 +2' (a 'monoisotopic' "
           "column may be there and is not read) and one line per channel (126, 127N, ...), giving the "
           "percentage of the channel's signal at each isotope shift, as the vendor's lot sheet lists it; "
           "without it, reporters are not corrected (noted)", QUANTIFICATION, "path", "FILE", argument=None),
    Option("min_purity", "spectra whose precursor purity (the share of the MS1 isolation window's intensity, "
           "in the scan before them, that lies on the precursor's isotope envelope) is below this are left out "
           "of isobaric quantification and counted; interference (1 - purity) is a column of the matches",
           QUANTIFICATION, "value", "SHARE", argument=None),
    Option("reporter_tol", "window around each reporter m/z on high-resolution spectra, symmetric (20ppm); the "
           "N/C pairs of TMT 10/11/16/18 lie 6.3 mDa apart, so the window must stay under half that (24 ppm at "
           "131 m/z). Ion-trap reporter spectra are read within 0.3da, and only for tmt6 and itraq",
           QUANTIFICATION, "value", "TOL", argument=None),
)

_BY_NAME = {o.name: o for o in OPTIONS}
assert list(_BY_NAME) == list(_FIELDS), "every setting needs an option entry, in the fields' order"
assert all(o.stage in STAGES for o in OPTIONS)

#: Every name a setting may be given under (TOML key or flags dict key) -> its option.
_BY_KEY = {**{a: o for o in OPTIONS for a in o.aliases}, **_BY_NAME}

#: Each setting's default.
DEFAULTS: dict[str, Any] = {o.name: o.default for o in OPTIONS}


def options_of(*stages: str) -> tuple[Option, ...]:
    """The options of the given stages, in table order."""
    return tuple(o for o in OPTIONS if o.stage in stages)


#: What each preset sets; explicit settings (file or flag) win over a preset.
PRESETS: dict[str, dict[str, Any]] = {
    # Low-resolution fragments: unit-mass tolerance; five matches per spectrum, so that error
    # control can re-rank them by the calibrated cross-correlation.
    "ion-trap": {"fragment_tol": "0.5da", "report_psms": 5},
    # Isobaric labels: the tag sits fixed on lysines and peptide N-termini, and its reporter
    # ions are read.
    **{plex: {"fixed_mods": (CARBAMIDOMETHYL_C, f"K:+{mass}", f"peptide-nterm:+{mass}"), "quant": plex}
       for plex, mass in (("tmt6", "229.162932"), ("tmt10", "229.162932"), ("tmt11", "229.162932"),
                          ("tmt16", "304.207146"), ("tmt18", "304.207146"), ("itraq4", "144.102063"),
                          ("itraq8", "304.205360"))},
}


def _suggest(name: str, known: Iterable[str]) -> str:
    close = difflib.get_close_matches(name, list(known), n=1)
    return f"; did you mean {close[0]!r}?" if close else ""


def _option(key: str, origin: str) -> Option:
    """The option a TOML key or flags-dict key names (dashes and underscores alike)."""
    option = _BY_KEY.get(key.replace("-", "_"))
    if option is None:
        raise ConfigError(f"{origin}: unknown setting {key!r}{_suggest(key.replace('-', '_'), _BY_KEY)}")
    return option


def _coerce(option: Option, value: Any, origin: str) -> Any:
    """A value read from TOML, a flag or a Python caller, in the option's type."""
    default = option.default
    where = f"{option.name} (in {origin})"
    if value is None and (default is None or option.kind == "path"):
        return None
    if option.kind == "path":
        if not isinstance(value, (str, os.PathLike)):
            raise ConfigError(f"{where} must be a path, got {value!r}")
        return Path(value)
    if option.kind == "paths":
        if isinstance(value, (str, os.PathLike)):
            value = [value]
        if not isinstance(value, (list, tuple)) or not all(isinstance(v, (str, os.PathLike)) for v in value):
            raise ConfigError(f"{where} must be a list of paths, got {value!r}")
        return tuple(Path(v) for v in value)
    if option.kind == "cache":
        if value is False or (isinstance(value, str) and value.strip().lower() == "off"):
            return "off"
        if value is None or value is True or (isinstance(value, str) and value.strip().lower() == "auto"):
            return "auto"
        if not isinstance(value, (str, os.PathLike)) or not str(value).strip():
            raise ConfigError(f"{where} must be a folder, 'auto' or 'off', got {value!r}")
        return Path(value)
    if option.kind == "size":
        if isinstance(value, bool) or not isinstance(value, (int, str)):
            raise ConfigError(f"{where} must be a size such as 8GiB, 500MB or a number of bytes, got {value!r}")
        return parse_size(value, option.flag)
    if option.kind == "list":
        if isinstance(value, str):
            value = [value]
        if not isinstance(value, (list, tuple)) or not all(isinstance(v, str) for v in value):
            raise ConfigError(f"{where} must be a list of strings, got {value!r}")
        return tuple(value)
    if option.name == "fragment_tol" and (value is None or (isinstance(value, str) and value.strip().lower() == AUTO)):
        return AUTO
    if isinstance(default, Tolerance) or option.name == "fragment_tol":
        if isinstance(value, Tolerance):
            return value
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            raise ConfigError(f"{where} needs a unit, e.g. \"{value}ppm\" or \"{value}da\"")
        if not isinstance(value, str):
            raise ConfigError(f"{where} must be a tolerance such as \"10ppm\", got {value!r}")
        try:
            return Tolerance.parse(value)
        except ValueError as e:
            raise ConfigError(f"{option.flag}: {e}") from None
    if isinstance(default, tuple) and option.kind == "value":  # a MIN,MAX range
        if isinstance(value, (list, tuple)):
            if len(value) != 2 or not all(isinstance(v, int) and not isinstance(v, bool) for v in value):
                raise ConfigError(f"{option.flag} must be [MIN, MAX] with whole numbers, got {value!r}")
            value = ",".join(str(v) for v in value)
        if isinstance(value, int) and not isinstance(value, bool):
            value = str(value)
        if not isinstance(value, str):
            raise ConfigError(f"{option.flag} must be MIN,MAX with whole numbers, got {value!r}")
        return parse_int_range(value, option.flag)
    if isinstance(default, bool) or option.kind == "switch":
        if not isinstance(value, bool):
            raise ConfigError(f"{where} must be true or false, got {value!r}")
        return value
    if isinstance(default, int):
        if isinstance(value, bool) or not isinstance(value, int):
            raise ConfigError(f"{where} must be a whole number, got {value!r}")
        return int(value)
    if isinstance(default, float):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise ConfigError(f"{where} must be a number, got {value!r}")
        return float(value)
    if not isinstance(value, str):
        raise ConfigError(f"{where} must be text, got {value!r}")
    return value


def read_toml(path: Path) -> dict[str, Any]:
    """The settings in a TOML file: top-level keys or keys inside the stage sections of
    `default_toml()`; dashes and underscores are the same. Unknown sections and keys are
    refused; a key in another known section than its own is read all the same."""
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise ConfigError(f"cannot read config file {path}: {e.strerror or e}") from None
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(f"config file {path} is not valid TOML: {e}") from None
    flat: dict[str, Any] = {}
    origin = f"config file {path}"

    def take(key: str, value: Any) -> None:
        option = _option(key, origin)
        if option.name in flat:
            raise ConfigError(f"{origin}: {option.name!r} is set twice")
        flat[option.name] = _coerce(option, value, str(path))

    for key, value in data.items():
        if isinstance(value, dict):
            if key not in STAGES:
                raise ConfigError(f"{origin}: unknown section [{key}]{_suggest(key, STAGES)} (sections: "
                                  f"{', '.join(STAGES)})")
            for inner, inner_value in value.items():
                take(inner, inner_value)
        else:
            take(key, value)
    # Relative paths in a file are relative to the file.
    base = Path(os.path.abspath(path)).parent
    for name in ("fasta", "output", "impurities", "design"):
        if flat.get(name) is not None and not flat[name].is_absolute():
            flat[name] = base / flat[name]
    if "spectra" in flat:
        flat["spectra"] = tuple(p if p.is_absolute() else base / p for p in flat["spectra"])
    if isinstance(flat.get("index_cache"), Path) and not flat["index_cache"].is_absolute():
        flat["index_cache"] = base / flat["index_cache"]
    return flat


def load_settings(flags: dict[str, Any] | None = None, config: Path | str | None = None) -> SearchSettings:
    """Settings from defaults, the preset, a TOML file and flags (in that order of
    precedence, lowest first), checked. `flags` holds only what the user gave, by setting
    name (older names accepted)."""
    given: dict[str, Any] = {}
    for key, value in (flags or {}).items():
        option = _option(key, "the command line")
        if option.name in given:
            raise ConfigError(f"{option.flag} is given twice (also as {key!r})")
        given[option.name] = _coerce(option, value, "the command line")
    from_file = read_toml(Path(config)) if config is not None else {}
    values: dict[str, Any] = {}
    preset = given.get("preset", from_file.get("preset"))
    if preset is not None:
        if preset not in PRESETS:
            raise ConfigError(f"--preset must be one of {', '.join(PRESETS)}, got {preset!r}")
        values.update(PRESETS[preset])
    values.update(from_file)
    values.update(given)
    return SearchSettings(**values)


def _toml_string(text: str) -> str:
    out = []
    for char in text:
        if char in '"\\':
            out.append("\\" + char)
        elif ord(char) < 0x20 or ord(char) == 0x7F:
            out.append(f"\\u{ord(char):04x}")
        else:
            out.append(char)
    return '"' + "".join(out) + '"'


def _toml_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_toml_value(v) for v in value) + "]"
    return _toml_string(str(value))


_EXAMPLES = {"fasta": '"proteins.fasta"', "output": '"results"', "preset": '"ion-trap"', "mbr": "true",
             "design": '"design.tsv"', "impurities": '"lot_impurities.tsv"',
             "scheduler": '"tcp://scheduler.example:8786"'}


def _toml_file(values: dict[str, Any], header: list[str], commented: bool) -> str:
    lines = list(header)
    for stage in STAGES:
        lines += ["", f"[{stage}]"]
        for option in options_of(stage):
            value = values[option.name]
            if commented:
                lines.append(f"# {option.help}")
            if value is None:
                lines.append(f"# {option.name} = {_EXAMPLES[option.name]}" if commented
                             else f"# {option.name}: not set")
            elif option.name == "spectra" and commented:
                lines.append('# spectra = ["run1.mzML", "run2.mgf"]')
            else:
                lines.append(f"{option.name} = {_toml_value(value)}")
    return "\n".join(lines) + "\n"


def default_toml() -> str:
    """A complete TOML file with every setting at its default, commented."""
    return _toml_file(SearchSettings().as_dict(), [
        "# tovel-mesk search settings. Use with: tovel-mesk search --config FILE [flags]",
        "# Flags given on the command line win over this file. Paths are relative to this file."], True)


def settings_toml(settings: SearchSettings) -> str:
    """The effective settings as a TOML file that `--config` reads back to equal settings
    (paths absolute, so that the file may be saved anywhere)."""
    values = settings.as_dict()
    for name in ("fasta", "output", "impurities", "design"):
        if values[name] is not None:
            values[name] = os.path.abspath(values[name])
    if isinstance(settings.index_cache, Path):
        values["index_cache"] = os.path.abspath(settings.index_cache)
    values["spectra"] = [os.path.abspath(p) for p in values["spectra"]]
    return _toml_file(values, ["# tovel-mesk search settings in effect. Use with: tovel-mesk search --config FILE"],
                      False)
