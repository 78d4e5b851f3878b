"""Search settings: one value that the command line, a TOML file and Python callers share.

Every setting is a field of `SearchSettings` (with its default) and an entry of `OPTIONS`
(its TOML key, command-line flag and help text); the argument parser, `--help`, the TOML reader and
`tovel-mesk config --defaults` are all made from that table. Precedence, lowest first:
built-in defaults, a preset, the TOML file, then flags on the command line.
"""

from __future__ import annotations

import dataclasses
import math
import os
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from .errors import ConfigError

__all__ = ["SearchSettings", "Option", "OPTIONS", "PRESETS", "ConfigError", "load_settings",
           "default_toml", "parse_int_range", "available_cores"]


@dataclass(frozen=True)
class Option:
    """One setting: its name (the TOML key and the `SearchSettings` field), help text,
    section of the TOML file, and how the command line spells it. The default is the
    field's default in `SearchSettings`."""

    name: str
    help: str
    section: str
    kind: str = "value"      # "value", "switch" (--x/--no-x), "list" (repeatable), "path", "paths"
    metavar: str | None = None

    @property
    def default(self) -> Any:
        f = _FIELDS[self.name]
        return f.default_factory() if f.default_factory is not dataclasses.MISSING else f.default

    @property
    def flag(self) -> str:
        return "--" + self.name.replace("_", "-")


@dataclass
class SearchSettings:
    """Every setting of a search, with the defaults of a typical data-dependent run: the
    precursor tolerance (10 ppm) is honoured, the wide window and chimeric search are off."""

    fasta: Path | None = None
    output: Path | None = None
    spectra: list[Path] = field(default_factory=list)
    preset: str | None = None
    precursor_tol: str = "10ppm"
    fragment_tol: str = "auto"
    calibration: bool = True
    wide_window: bool = False
    chimera: bool = False
    report_psms: int = 1
    min_matched_peaks: int = 3
    isotope_errors: str = "-1,3"
    charges: str = "2,4"
    max_fragment_charge: int = 2
    top_peaks: int = 150
    ms_level: int = 2
    enzyme: str = "trypsin"
    missed_cleavages: int = 2
    min_length: int = 7
    max_length: int = 50
    min_mass: float = 500.0
    max_mass: float = 5000.0
    fixed_mods: list[str] = field(default_factory=lambda: ["C:+57.021464"])
    variable_mods: list[str] = field(default_factory=list)
    max_variable_mods: int = 2
    remove_initiator_met: bool = True
    fasta_decoy_prefixes: list[str] = field(default_factory=lambda: ["rev_", "DECOY_"])
    fasta_decoy_suffixes: list[str] = field(default_factory=lambda: ["_rev"])
    decoy_tag: str = "rev_"
    bucket_size: int = 8192
    fragment_index: str = "auto"
    rescore: str = "lda"
    fdr: float = 0.01
    threads: int = 0
    chunk_size: int = 4096
    quiet: bool = False
    scheduler: str | None = None
    workers: int = 0

    def validate(self) -> "SearchSettings":
        """Checks every value and returns self; raises ConfigError naming the setting."""
        from .conventions import parse_tolerance  # noqa: PLC0415 (keeps the import of this module light)

        for name in ("precursor_tol", "fragment_tol"):
            if name == "fragment_tol" and self.fragment_tol == "auto":
                continue
            try:
                parse_tolerance(getattr(self, name))
            except ValueError as e:
                raise ConfigError(f"{_BY_NAME[name].flag}: {e}") from None
        parse_int_range(self.isotope_errors, "--isotope-errors")
        lo, hi = parse_int_range(self.charges, "--charges")
        if lo < 1 or hi > 255:
            raise ConfigError(f"--charges must lie within 1..255, got {self.charges!r}")
        lo, hi = parse_int_range(self.isotope_errors, "--isotope-errors")
        if lo < -128 or hi > 127:
            raise ConfigError(f"--isotope-errors must lie within -128..127, got {self.isotope_errors!r}")
        limits = {"report_psms": (0, 1 << 20), "min_matched_peaks": (0, 65535), "max_fragment_charge": (1, 255),
                  "top_peaks": (1, 1 << 20), "ms_level": (1, 255), "missed_cleavages": (0, 255),
                  "min_length": (1, 1000), "max_length": (1, 1000), "max_variable_mods": (0, 16),
                  "bucket_size": (1, 1 << 24), "threads": (0, 4096), "chunk_size": (1, 1 << 24),
                  "workers": (0, 4096)}
        for name, (lo, hi) in limits.items():
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, int) or not lo <= value <= hi:
                raise ConfigError(f"{_BY_NAME[name].flag} must be a whole number from {lo} to {hi}, got {value!r}")
        if self.min_length > self.max_length:
            raise ConfigError(f"--min-length ({self.min_length}) is above --max-length ({self.max_length})")
        for name in ("min_mass", "max_mass", "fdr"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
                raise ConfigError(f"{_BY_NAME[name].flag} must be a finite number, got {value!r}")
        if self.min_mass > self.max_mass:
            raise ConfigError(f"--min-mass ({self.min_mass}) is above --max-mass ({self.max_mass})")
        if not 0.0 < self.fdr < 1.0:
            raise ConfigError(f"--fdr must lie between 0 and 1, got {self.fdr!r}")
        if self.rescore not in ("lda", "mokapot", "hyperscore"):
            raise ConfigError(f"--rescore must be lda, mokapot or hyperscore, got {self.rescore!r}")
        if self.preset is not None and self.preset not in PRESETS:
            raise ConfigError(f"--preset must be one of {', '.join(PRESETS)}, got {self.preset!r}")
        if not self.decoy_tag:
            raise ConfigError("--decoy-tag must not be empty")
        if self.scheduler is not None and (not isinstance(self.scheduler, str) or not self.scheduler.strip()):
            raise ConfigError(f"--scheduler must be a scheduler address such as tcp://HOST:8786, got {self.scheduler!r}")
        if self.scheduler is not None and self.workers:
            raise ConfigError("--scheduler and --workers exclude each other: give the address of a running "
                              "cluster, or the number of workers of a local one")
        if self.fragment_index not in FRAGMENT_INDEX_CHOICES:
            raise ConfigError(f"--fragment-index must be auto, on or off, got {self.fragment_index!r}")
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
    def lists_fragments(self) -> bool:
        """Whether the index lists every fragment ion: `fragment_index` on, or auto where
        the list pays for its build: with the wide window, or a wide precursor window
        (`WIDE_PRECURSOR_DA`) on narrow fragment windows (`NARROW_FRAGMENT_DA`), whose
        brackets hold too many peptides to count their ions one by one. Without the list
        the matches are the same; see `build_database`."""
        if self.fragment_index != "auto":
            return self.fragment_index == "on"
        if self.wide_window:
            return True
        from .conventions import tolerance_width  # noqa: PLC0415

        try:
            precursor = tolerance_width(self.precursor_tol, 1000.0)
            # "auto" searches high-resolution files with 10 ppm fragments: the one index of
            # the call must serve them.
            fragment = tolerance_width("10ppm" if self.fragment_tol == "auto" else self.fragment_tol, 1000.0)
        except (TypeError, ValueError):  # validate() reports it
            return False
        return precursor > WIDE_PRECURSOR_DA and fragment < NARROW_FRAGMENT_DA

    @property
    def thread_count(self) -> int:
        """Worker threads to use: the setting, or every core the process may run on."""
        return self.threads or available_cores()

    def as_dict(self) -> dict[str, Any]:
        """The settings as plain values (paths as text), e.g. for `summary.json`."""
        out = {}
        for f in dataclasses.fields(self):
            value = getattr(self, f.name)
            if isinstance(value, Path):
                value = str(value)
            elif isinstance(value, list):
                value = [str(v) for v in value]
            out[f.name] = value
        return out


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


_FIELDS = {f.name: f for f in dataclasses.fields(SearchSettings)}

#: Values of the `fragment_index` setting.
FRAGMENT_INDEX_CHOICES = ("auto", "on", "off")

#: Window widths at 1,000 Da (daltons) beyond and below which `fragment_index` "auto" lists
#: the fragments. Measured on six ion-trap runs (4,032 spectra) against the 18-protein
#: FASTA with decoys (1.66 M peptides, 57 M fragments), 2 threads: with 10 ppm fragment
#: windows, counting each candidate's ions scored as fast as the fragment list at 10 and
#: 50 ppm precursor windows but twice as slow at 0.5 and 3 Da, where the list's build
#: (about 1.5 CPU seconds more) repaid after 5,000 to 11,000 spectra; with 0.5 Da fragment
#: windows, counting was never slower.
WIDE_PRECURSOR_DA = 0.2     # +-100 ppm
NARROW_FRAGMENT_DA = 0.2    # +-100 ppm

_DIGEST = "digestion"
_SEARCH = "search"
_INPUT = "input"
_RUN = "run"
_INDEX = "index"
_SCORING = "error-control"
_CLUSTER = "cluster"

#: Every setting, in the order of `--help` and of the TOML file.
OPTIONS: tuple[Option, ...] = (
    Option("fasta", "protein FASTA file (plain or .gz)", _INPUT, "path", "FILE"),
    Option("output", "folder for the results (created if missing)", _INPUT, "path", "DIR"),
    Option("spectra", "mzML or MGF files to search", _INPUT, "paths", "SPECTRA"),
    Option("preset", "settings for a kind of instrument: 'ion-trap' (low-resolution fragments: "
           "fragment tolerance 0.5da, 5 matches reported per spectrum)", _SEARCH, "value", "NAME"),
    Option("precursor_tol", "precursor mass tolerance: 10ppm, 0.02da, or asymmetric -10,20ppm",
           _SEARCH, "value", "TOL"),
    Option("fragment_tol", "fragment mass tolerance, same forms, or 'auto': read the fragment analyzer from each "
           "file (filter strings, instrument configuration; for MGF a guess from the peak lists) and search "
           "ion-trap spectra as --preset ion-trap does, Orbitrap and time-of-flight spectra with 10ppm",
           _SEARCH, "value", "TOL"),
    Option("calibration", "calibrate each file's masses first: score a sample of its spectra, measure the "
           "offset and spread of the precursor (and high-resolution fragment) errors, correct the m/z values "
           "and set the tolerances from the spread", _SEARCH, "switch"),
    Option("wide_window", "search every charge within each precursor's isolation window instead of "
           "the precursor tolerance around its reported charge", _SEARCH, "switch"),
    Option("chimera", "report co-isolated peptides: after the best match, remove its peaks and "
           "search again", _SEARCH, "switch"),
    Option("report_psms", "matches reported per spectrum", _SEARCH, "value", "N"),
    Option("min_matched_peaks", "fewest matched fragment peaks for a match", _SEARCH, "value", "N"),
    Option("isotope_errors", "isotope errors of the precursor pick searched, MIN,MAX", _SEARCH,
           "value", "MIN,MAX"),
    Option("charges", "precursor charges tried when a spectrum gives none, MIN,MAX", _SEARCH,
           "value", "MIN,MAX"),
    Option("max_fragment_charge", "highest fragment charge (never above the precursor charge - 1)",
           _SEARCH, "value", "N"),
    Option("top_peaks", "most intense peaks kept per spectrum", _SEARCH, "value", "N"),
    Option("ms_level", "MS level of the spectra searched", _SEARCH, "value", "N"),
    Option("enzyme", "trypsin, trypsin/p, lys-c, lys-n, arg-c, asp-n, glu-c, chymotrypsin, "
           "or non-specific", _DIGEST, "value", "NAME"),
    Option("missed_cleavages", "missed cleavages per peptide", _DIGEST, "value", "N"),
    Option("min_length", "shortest peptide, residues", _DIGEST, "value", "N"),
    Option("max_length", "longest peptide, residues", _DIGEST, "value", "N"),
    Option("min_mass", "lightest peptide, Da (neutral)", _DIGEST, "value", "DA"),
    Option("max_mass", "heaviest peptide, Da (neutral)", _DIGEST, "value", "DA"),
    Option("fixed_mods", "fixed modification SITE:MASS (repeat the flag for several); "
           "SITE is residues (STY), peptide-nterm, peptide-cterm, protein-nterm, protein-cterm, or "
           "residues at a terminus (Q@peptide-nterm)", _DIGEST, "list", "SITE:MASS"),
    Option("variable_mods", "variable modification SITE:MASS, same forms (e.g. M:+15.994915)",
           _DIGEST, "list", "SITE:MASS"),
    Option("max_variable_mods", "most variable modifications per peptide", _DIGEST, "value", "N"),
    Option("remove_initiator_met", "also digest each protein without its N-terminal methionine", _DIGEST,
           "switch"),
    Option("fasta_decoy_prefixes", "accession prefix of decoy proteins already in the FASTA, which are left "
           "out (the index makes its own decoys)", _DIGEST, "list", "PREFIX"),
    Option("fasta_decoy_suffixes", "accession suffix of decoy proteins already in the FASTA, left out too",
           _DIGEST, "list", "SUFFIX"),
    Option("decoy_tag", "tag in front of the accessions of the generated (reversed) decoys",
           _INDEX, "value", "TAG"),
    Option("bucket_size", "fragments per index bucket", _INDEX, "value", "N"),
    Option("fragment_index", "list every fragment ion in the index ('on'), or keep the peptides alone and count "
           "the ions of each spectrum's candidates ('off': same matches, far less memory and start-up time, "
           "for narrow precursor windows); 'auto' lists them for the wide window, or a precursor tolerance "
           "beyond +-100 ppm with a fragment tolerance within +-100 ppm", _INDEX, "value", "MODE"),
    Option("rescore", "rescoring: 'lda' (built-in linear discriminant), 'mokapot' (needs "
           "tovel-mesk[mokapot]) or 'hyperscore' (no rescoring)", _SCORING, "value", "METHOD"),
    Option("fdr", "false discovery rate at which identifications are counted and plotted",
           _SCORING, "value", "RATE"),
    Option("threads", "worker threads of each search (0: every core; with --workers, the cores shared out "
           "among the local workers)", _RUN, "value", "N"),
    Option("chunk_size", "spectra scored together; bounds memory per file", _RUN, "value", "N"),
    Option("quiet", "no progress output", _RUN, "switch"),
    Option("scheduler", "search the files on a running Dask cluster: the address of its scheduler "
           "(tcp://HOST:8786); every worker must read the FASTA and spectra files at the same absolute paths "
           "as this machine (needs tovel-mesk[distributed])", _CLUSTER, "value", "ADDRESS"),
    Option("workers", "search the files on a local Dask cluster of N worker processes started for this "
           "call (0: in this process; needs tovel-mesk[distributed])", _CLUSTER, "value", "N"),
)

_BY_NAME = {o.name: o for o in OPTIONS}
assert set(_BY_NAME) == set(_FIELDS), "every setting needs an option entry"

#: What each preset sets; explicit settings (file or flag) win over a preset.
PRESETS: dict[str, dict[str, Any]] = {
    # Low-resolution fragments: unit-mass tolerance; five matches per spectrum, so that error
    # control can re-rank them by the calibrated cross-correlation.
    "ion-trap": {"fragment_tol": "0.5da", "report_psms": 5},
}


def _coerce(option: Option, value: Any, origin: str) -> Any:
    """A value read from TOML or a flag, in the type of the option's default."""
    default = option.default
    where = f"{option.name} (in {origin})"
    if option.kind == "path":
        if not isinstance(value, (str, os.PathLike)):
            raise ConfigError(f"{where} must be a path, got {value!r}")
        return Path(value)
    if option.kind == "paths":
        if isinstance(value, (str, os.PathLike)):
            value = [value]
        if not isinstance(value, list) or not all(isinstance(v, (str, os.PathLike)) for v in value):
            raise ConfigError(f"{where} must be a list of paths, got {value!r}")
        return [Path(v) for v in value]
    if option.kind == "list":
        if isinstance(value, str):
            value = [value]
        if not isinstance(value, list) or not all(isinstance(v, str) for v in value):
            raise ConfigError(f"{where} must be a list of strings, got {value!r}")
        return list(value)
    if isinstance(default, bool):
        if not isinstance(value, bool):
            raise ConfigError(f"{where} must be true or false, got {value!r}")
        return value
    if isinstance(default, int):
        if isinstance(value, bool) or not isinstance(value, int):
            raise ConfigError(f"{where} must be a whole number, got {value!r}")
        return value
    if isinstance(default, float):
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise ConfigError(f"{where} must be a number, got {value!r}")
        return float(value)
    # text settings; a tolerance or a range may be written as a TOML number or list too
    if isinstance(value, (int, float)) and not isinstance(value, bool) and option.name.endswith("_tol"):
        raise ConfigError(f"{where} needs a unit, e.g. \"{value}ppm\" or \"{value}da\"")
    if isinstance(value, list) and option.name in ("isotope_errors", "charges"):
        value = ",".join(str(v) for v in value)
    if not isinstance(value, (str, type(None))):
        raise ConfigError(f"{where} must be text, got {value!r}")
    return value


def read_toml(path: Path) -> dict[str, Any]:
    """The settings in a TOML file: top-level keys or keys inside the section tables of
    `default_toml()`; dashes and underscores are the same. Unknown keys are refused."""
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise ConfigError(f"cannot read config file {path}: {e.strerror or e}") from None
    except tomllib.TOMLDecodeError as e:
        raise ConfigError(f"config file {path} is not valid TOML: {e}") from None
    flat: dict[str, Any] = {}

    def take(key: str, value: Any) -> None:
        name = key.replace("-", "_")
        if name not in _BY_NAME:
            raise ConfigError(f"config file {path}: unknown setting {key!r}")
        if name in flat:
            raise ConfigError(f"config file {path}: {key!r} is set twice")
        flat[name] = _coerce(_BY_NAME[name], value, str(path))

    for key, value in data.items():
        if isinstance(value, dict):
            for inner, inner_value in value.items():
                take(inner, inner_value)
        else:
            take(key, value)
    # Relative paths in a file are relative to the file.
    for name in ("fasta", "output"):
        if name in flat and not flat[name].is_absolute():
            flat[name] = path.parent / flat[name]
    if "spectra" in flat:
        flat["spectra"] = [p if p.is_absolute() else path.parent / p for p in flat["spectra"]]
    return flat


def load_settings(flags: dict[str, Any] | None = None, config: Path | None = None) -> SearchSettings:
    """Settings from defaults, the preset, a TOML file and flags (in that order of
    precedence, lowest first), validated. `flags` holds only what the user gave."""
    flags = dict(flags or {})
    from_file = read_toml(Path(config)) if config is not None else {}
    values: dict[str, Any] = {}
    preset = flags.get("preset", from_file.get("preset"))
    if preset is not None:
        if preset not in PRESETS:
            raise ConfigError(f"--preset must be one of {', '.join(PRESETS)}, got {preset!r}")
        values.update(PRESETS[preset])
    values.update(from_file)
    values.update({k: _coerce(_BY_NAME[k], v, "the command line") for k, v in flags.items()})
    return SearchSettings(**values).validate()


def _toml_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return repr(value)
    if isinstance(value, list):
        return "[" + ", ".join(_toml_value(v) for v in value) + "]"
    text = str(value).replace("\\", "\\\\").replace('"', '\\"')
    return f'"{text}"'


def default_toml() -> str:
    """A complete TOML file with every setting at its default, commented."""
    lines = ["# tovel-mesk search settings. Use with: tovel-mesk search --config FILE [flags]",
             "# Flags given on the command line win over this file. Paths are relative to this file."]
    section = None
    for option in OPTIONS:
        if option.section != section:
            section = option.section
            lines += ["", f"[{section}]"]
        lines.append(f"# {option.help}")
        if option.default is None:
            example = {"fasta": '"proteins.fasta"', "output": '"results"', "preset": '"ion-trap"',
                       "scheduler": '"tcp://scheduler.example:8786"'}[option.name]
            lines.append(f"# {option.name} = {example}")
        elif option.name == "spectra":
            lines.append('# spectra = ["run1.mzML", "run2.mgf"]')
        else:
            lines.append(f"{option.name} = {_toml_value(option.default)}")
    return "\n".join(lines) + "\n"
