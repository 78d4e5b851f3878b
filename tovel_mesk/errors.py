"""Every exception of the package, and how a failure is told on one line.

    ConfigError     a setting that cannot be used (bad value, unknown key, unreadable config)
    UsageError      a command line that cannot be used (subclass of ConfigError)
    InputError      an input file that cannot be used, named with the record where it applies
    SpectraFileError    a spectra file that cannot be read (subclass of InputError)
    IndexBuildError     the index cannot be built on a worker (subclass of InputError)
    FileSearchError     a spectra file could not be searched on a worker
    TrainingError       a rescoring model could not be trained
    DesignError         an experimental-design file that cannot be used (subclass of InputError)
    StoppedAtFileError  a spectra file could not be read and the search stopped there
                        (fail_fast; subclass of InputError)
    NothingSearchedError    no spectrum of any file was searched: there is nothing to write
    OutputError         the output folder cannot take the results (another search writes into
                        it, or it holds complete results that fewer files' results would replace)
"""

from __future__ import annotations

import os

__all__ = ["ConfigError", "UsageError", "InputError", "SpectraFileError", "IndexBuildError", "DesignError", "FileSearchError",
           "TrainingError", "StoppedAtFileError", "NothingSearchedError", "OutputError", "one_line", "quoted"]


class ConfigError(ValueError):
    """A setting that cannot be used: a bad value, an unknown key, an unreadable file."""


class UsageError(ConfigError):
    """A bad option or an unusable file on the command line: reported on one line, exit status 2."""


class InputError(ValueError):
    """An input file that cannot be used: missing, unreadable, malformed, or in an encoding
    that is not supported. The message names the file and, where it applies, the record."""


class SpectraFileError(InputError):
    """A spectra file that cannot be read: malformed, truncated, or in an encoding the
    package does not read. The message names the file and, where known, the spectrum.

    Attributes: `path` (the file), `spectrum` (the spectrum's id, title or position, or
    None before the first spectrum) and `reason` (what is wrong).
    """

    def __init__(self, path: str | os.PathLike, spectrum: str | None, reason: str):
        self.path = os.fspath(path)
        self.spectrum = spectrum
        self.reason = reason
        where = f"{self.path}: spectrum {quoted(spectrum)}" if spectrum is not None else self.path
        super().__init__(f"{where}: {reason}")


def quoted(name: str, limit: int = 80) -> str:
    """Text from a file (a spectrum id or title, a value) as a message shows it: quoted, and
    cut after `limit` characters with the full length told, so that a title of pages stays
    readable."""
    if len(name) <= limit:
        return repr(name)
    return f"{name[:limit]!r}... ({len(name):,} characters)"


class FileSearchError(Exception):
    """A spectra file could not be searched on a worker; the message says why."""


class IndexBuildError(InputError):
    """The index could not be built on a worker: a FASTA that cannot be read or digested, or
    one whose bytes differ from the client's. It stops the whole search."""


class TrainingError(RuntimeError):
    """A model could not be trained on a training set (too few positives, a singular
    problem, a failure inside the learner)."""


class DesignError(InputError):
    """An experimental-design file that cannot be used: a missing column, a file it names
    that the search does not have (or the reverse), a fraction given twice. The message
    names the design file and the line."""


class StoppedAtFileError(InputError):
    """A spectra file could not be read and the search stopped there (`fail_fast`)."""


class NothingSearchedError(ValueError):
    """No spectrum of any file was searched (every file failed, or none held a spectrum of
    the MS level searched): there are no results, and nothing is written."""


class OutputError(Exception):
    """The output folder cannot take the results: another search is writing into it, or it
    holds complete results of more files than this search, which had failed files, could
    replace (see `--overwrite`). The folder is left as it was."""


def one_line(error: BaseException) -> str:
    """An exception's message on one line; an OSError with its file name."""
    if isinstance(error, OSError) and error.filename is not None:
        text = f"{error.filename}: {error.strerror or error}"
    else:
        text = str(error) or type(error).__name__
    return " ".join(text.split())
