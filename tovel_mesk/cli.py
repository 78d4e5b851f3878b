"""The `tovel-mesk` command: `search`, `config` and `show`.

The command is thin: it turns flags and an optional TOML file into one `SearchSettings`,
calls the same functions a Python user calls, and reports. Exit statuses, the same in one
process and on a Dask cluster:

    0    every file searched, the results written
    1    a spectra file could not be read: it is named with its error in the console summary
         and summary.json, the others are searched and written (--fail-fast: the first such
         file stops the search and nothing is written); or nothing was searched in any file
         (a line says why; nothing is written); or the search failed on the way
    2    a usage or settings error, found before any work (bad options, missing or unusable
         inputs, an output folder that cannot be written or that another search is writing)
    130  interrupted (Ctrl-C or SIGTERM); nothing was written
"""

from __future__ import annotations

import argparse
import contextlib
import difflib
import os
import re
import signal
import sys
import threading
from collections.abc import Iterator
from pathlib import Path
from typing import Any, NoReturn, Sequence

from .config import OPTIONS, STAGES, SearchSettings, default_toml, load_settings, modification_notes, settings_toml
from .errors import ConfigError, UsageError

__all__ = ["main", "run", "build_parser", "UsageError"]

PROG = "tovel-mesk"
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


#: A value that starts with a minus sign and a digit ("-10,20ppm", "-1,3", "-.5"): never an option.
_NEGATIVE_VALUE = re.compile(r"-\.?\d")


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line, without the usage block, and which
    reads a value starting with a minus sign as a value (``--precursor-tol -10,20ppm``)."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{self.prog}: {message} (see {self.prog} --help)")

    def _parse_optional(self, arg_string: str) -> Any:
        if _NEGATIVE_VALUE.match(arg_string):
            return None  # a value, such as a negative tolerance or range
        return super()._parse_optional(arg_string)


def _default_text(value: Any) -> str:
    if value is None:
        return "none"
    if isinstance(value, bool):
        return "on" if value else "off"
    if isinstance(value, tuple) and len(value) == 2 and all(isinstance(v, int) for v in value):
        return f"{value[0]},{value[1]}"
    if isinstance(value, tuple):
        return " ".join(value) if value else "none"
    return str(value)


def _add_search_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--config", metavar="FILE", type=Path, default=argparse.SUPPRESS,
                        help="read settings from a TOML file (see `tovel-mesk config --defaults`; `config --show` prints "
                             "the settings in effect); "
                             "flags win over the file")
    groups = {stage: parser.add_argument_group(title) for stage, title in STAGES.items()}
    for option in OPTIONS:
        group = groups[option.stage]
        # A switch without a default (--mbr: decided by the data) says its default in its help.
        default = "" if option.default in (None, ()) and option.kind in ("path", "paths", "switch") else \
            f" (default: {_default_text(option.default)})"
        help_text = option.help + default
        if option.kind == "paths":
            parser.add_argument(option.name, nargs="*", type=Path, metavar=option.metavar,
                                default=argparse.SUPPRESS, help=help_text)
        elif option.kind == "switch":
            group.add_argument(*option.flags, dest=option.name, action=argparse.BooleanOptionalAction,
                               default=argparse.SUPPRESS, help=help_text)
        elif option.kind == "list":
            # Repeatable; the flags given replace the default list, and "none" empties it.
            group.add_argument(*option.flags, dest=option.name, action="append", metavar=option.metavar,
                               default=argparse.SUPPRESS, help=help_text + "; 'none' for none")
        else:
            # Numbers are read here; text, tolerances and ranges when the settings are made.
            default = option.default
            kind: Any = type(default) if isinstance(default, (int, float)) and not isinstance(default, bool) else str
            kind = Path if option.kind == "path" else kind
            group.add_argument(*option.flags, dest=option.name, type=kind, metavar=option.metavar,
                               default=argparse.SUPPRESS, help=help_text)


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the `tovel-mesk` command."""
    parser = _Parser(prog=PROG, description="Peptide search for tandem mass spectra: a protein FASTA and "
                     "mzML/MGF runs in, peptides and proteins at a controlled false discovery rate out.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    search = commands.add_parser(
        "search", help="search spectra against a protein database",
        usage=f"{PROG} search --fasta PROTEINS.fasta --output DIR [options] SPECTRA...",
        description="Digest the FASTA, index its peptides with reversed decoys, score every MS2 spectrum, "
                    "rescore the matches, control the false discovery rate, and write psms.parquet, psms.tsv, "
                    "peptides.tsv, proteins.tsv, results.pin, summary.json and report.html into DIR.",
    )
    _add_search_options(search)
    config = commands.add_parser(
        "config", help="print settings as a TOML file",
        usage=f"{PROG} config --defaults | --show [--config FILE] [options] [SPECTRA...]",
        description="Print the search settings as a TOML file for --config: every setting at its default "
                    "and commented (--defaults), or the settings a search with the given --config file "
                    "and options would use (--show).")
    shown = config.add_mutually_exclusive_group()
    shown.add_argument("--defaults", action="store_true", help="print every setting at its default, commented")
    shown.add_argument("--show", action="store_true",
                       help="print the settings in effect for the given --config file and options")
    _add_search_options(config)
    show = commands.add_parser(
        "show", help="draw one match of a finished search as an annotated spectrum",
        usage=f"{PROG} show DIR SPEC_ID [--rank N] [--file NAME] [--out FILE.svg|FILE.png]",
        description="Draw a match of the search whose results are in DIR: the spectrum SPEC_ID (its native id, "
                    "or its TITLE in an MGF file) is read again from the searched file, its b and y ions are "
                    "labelled and the peptide's fragment ladder is drawn. An .svg file always works; a .png "
                    "file needs a converter: rsvg-convert, the cairosvg package or chromium.")
    show.add_argument("directory", metavar="DIR", type=Path, help="the output folder of a finished search")
    show.add_argument("spec_id", metavar="SPEC_ID", help="the spectrum, as the spec_id column of psms.tsv names it")
    show.add_argument("--rank", type=int, default=1, metavar="N", help="which match of the spectrum (default: 1)")
    show.add_argument("--file", default=None, metavar="NAME",
                      help="the spectra file, when several searched files hold a spectrum of this id")
    show.add_argument("--out", type=Path, default=None, metavar="FILE",
                      help="where to write the drawing, .svg or .png (default: SPEC_ID's characters that are "
                           "safe in a file name, with .svg, in the current folder)")
    return parser


def _version() -> str:
    from ._version import __version__  # noqa: PLC0415

    return __version__


def _fail(message: str, status: int) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return status


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the process's arguments); returns the exit status."""
    parser = build_parser()
    try:
        args = _parse(parser, argv)
    except UsageError as e:
        print(e, file=sys.stderr)
        return EXIT_USAGE
    command = args.pop("command", None)
    if command is None:
        parser.print_help(sys.stderr)
        return EXIT_USAGE
    if command == "config":
        return _config(args)
    if command == "show":
        return _show(args)
    return _search(args)


def _parse(parser: argparse.ArgumentParser, argv: Sequence[str] | None) -> dict[str, Any]:
    """The parsed arguments; UsageError for an unknown one, with the closest known flag."""
    namespace, unknown = parser.parse_known_args(argv)
    args = vars(namespace)
    if unknown:
        flags = [o for o in _option_strings(parser, args.get("command")) if o.startswith("--")]
        first = next((u for u in unknown if u.startswith("-")), unknown[0])
        name = first.split("=", 1)[0]
        close = difflib.get_close_matches(name, flags, n=1) if name.startswith("-") else []
        hint = f"; did you mean {close[0]}?" if close else ""
        what = "option" if name.startswith("-") else "argument"
        prog = f"{PROG} {args['command']}" if args.get("command") else PROG
        raise UsageError(f"{prog}: unrecognized {what} {name}{hint} (see {prog} --help)")
    for option in OPTIONS:
        if option.kind == "list" and option.name in args:
            args[option.name] = [v for v in args[option.name] if v.lower() != "none"]
    return args


def _option_strings(parser: argparse.ArgumentParser, command: str | None) -> list[str]:
    for action in parser._actions:  # the subcommands' parsers
        if isinstance(action, argparse._SubParsersAction) and command in action.choices:
            return list(action.choices[command]._option_string_actions)
    return list(parser._option_string_actions)


def _config(args: dict[str, Any]) -> int:
    defaults, show = args.pop("defaults", False), args.pop("show", False)
    if defaults:
        given = sorted(name for name in args if name != "config")
        if given or "config" in args:
            return _fail("config --defaults prints the defaults alone; use --show to see the effect of "
                         f"{', '.join('--' + n.replace('_', '-') for n in given) or '--config'}", EXIT_USAGE)
        sys.stdout.write(default_toml())
        return EXIT_OK
    if not show:
        return _fail("config: say what to print: --defaults or --show", EXIT_USAGE)
    config = args.pop("config", None)
    try:
        settings = load_settings(args, config)
    except ConfigError as e:
        return _fail(str(e), EXIT_USAGE)
    sys.stdout.write(settings_toml(settings))
    return EXIT_OK


def _show(args: dict[str, Any]) -> int:
    from .report.annotate import draw_match, svg_to_png  # noqa: PLC0415

    spec_id, rank = args["spec_id"], args["rank"]
    out = args["out"] or Path(re.sub(r"[^A-Za-z0-9._-]+", "_", spec_id).strip("_") + ".svg")
    if out.suffix.lower() not in (".svg", ".png"):
        return _fail(f"show: --out must end in .svg or .png, not {str(out)!r}", EXIT_USAGE)
    if rank < 1:
        return _fail(f"show: --rank must be 1 or more, not {rank}", EXIT_USAGE)
    try:
        svg = draw_match(args["directory"], spec_id, rank=rank, file=args["file"])
    except LookupError as e:
        return _fail(str(e.args[0]) if e.args else str(e), EXIT_USAGE)
    except (OSError, ValueError) as e:   # a spectra file that cannot be read (SpectraFileError)
        return _fail(str(e), EXIT_FAILED)
    try:
        if out.suffix.lower() == ".png":
            svg_to_png(svg, out)
        else:
            out.write_text(svg, encoding="utf-8")
    except (OSError, RuntimeError) as e:
        return _fail(f"show: {out}: {e}", EXIT_FAILED)
    print(out)
    return EXIT_OK


def run() -> NoReturn:
    """The `tovel-mesk` command as a process: `main()`, then, once the output streams are
    flushed, an exit without the interpreter's teardown. By then every file is written,
    closed and renamed, and a cluster the command started is closed; what teardown would do
    is free the index and unload the libraries one object at a time, about a tenth of a
    small search's time."""
    status = main()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):  # a closed pipe: nothing more can be written anyway
            status = status or EXIT_FAILED
    os._exit(status)


@contextlib.contextmanager
def _terminate_as_interrupt() -> Iterator[None]:
    """SIGTERM (as a batch system or `kill` sends it) ends the search as Ctrl-C does."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def interrupt(number: int, frame: Any) -> None:
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, interrupt)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _search(args: dict[str, Any]) -> int:
    """The search command, with the exit statuses of the failure contract: 0 every file
    searched and written; 1 a file could not be read (the others searched and written),
    nothing searched in any file, or the search failed on the way; 2 a usage or settings
    error found before any work; 130 interrupted, nothing written."""
    from .errors import OutputError, one_line  # noqa: PLC0415

    config = args.pop("config", None)
    with contextlib.ExitStack() as held, _terminate_as_interrupt():
        try:
            try:
                settings = load_settings(args, config)
                _check_inputs(settings)
                from .search.preflight import check_inputs  # noqa: PLC0415

                check_inputs(settings)
                assert settings.output is not None  # _check_inputs refuses a search without it
                from .report.publish import output_lock  # noqa: PLC0415

                held.enter_context(output_lock(settings.output))
            except (ConfigError, OutputError) as e:
                return _fail(str(e), EXIT_USAGE)
            except OSError as e:  # the output folder's lock cannot be made
                return _fail(one_line(e), EXIT_USAGE)
            _announce(settings)
            return _run(settings)
        except KeyboardInterrupt:
            return _fail("interrupted; nothing was written", EXIT_INTERRUPTED)
    raise AssertionError("unreachable")  # pragma: no cover


def _run(settings: SearchSettings) -> int:
    from .errors import InputError, NothingSearchedError, OutputError, StoppedAtFileError, one_line  # noqa: PLC0415

    assert settings.output is not None
    debug = bool(os.environ.get("TOVEL_MESK_DEBUG"))
    outcome = None
    try:
        from .pipeline import run_search  # noqa: PLC0415
        from .progress import Progress  # noqa: PLC0415

        progress = Progress(enabled=not settings.quiet)
        outcome = run_search(settings, progress=progress)
        if outcome.summary.searched:
            outcome.write(settings.output, progress=progress)
    except KeyboardInterrupt:
        raise
    except ConfigError as e:  # found once the search had begun, e.g. a scheduler that does not answer
        return _fail(one_line(e), EXIT_USAGE)
    except ImportError as e:  # an optional dependency that the settings need
        return _fail(one_line(e), EXIT_USAGE)
    except OutputError as e:
        _print_summary(outcome, settings)
        return _fail(one_line(e), EXIT_FAILED)
    except (InputError, NothingSearchedError) as e:
        stop = "; stopped at the first file that could not be read (--fail-fast)" \
            if isinstance(e, StoppedAtFileError) else ""
        return _fail(f"{one_line(e)}{stop}; nothing was written", EXIT_FAILED)
    except OSError as e:
        if debug:
            raise
        return _fail(one_line(e), EXIT_FAILED)
    except MemoryError:
        return _fail("out of memory; search fewer spectra per call (--chunk-size) or a smaller database",
                     EXIT_FAILED)
    except Exception as e:  # noqa: BLE001 - one line instead of a traceback, as promised
        if debug:
            raise
        return _fail(f"internal error: {type(e).__name__}: {one_line(e)} (set TOVEL_MESK_DEBUG=1 for a "
                     "traceback)", EXIT_FAILED)
    summary = outcome.summary
    _print_summary(outcome, settings)
    if not summary.searched:
        return _fail(f"nothing was searched: {summary.why_nothing_searched()}; nothing was written", EXIT_FAILED)
    print(f"\nresults in {settings.output}; report: {settings.output / 'report.html'}")
    failed = summary.failed_files
    if failed:
        return _fail(f"{len(failed)} of {len(summary.files)} files failed ({', '.join(failed)}); the others "
                     "were searched and written, see the error column of the summary", EXIT_FAILED)
    return EXIT_OK


def _print_summary(outcome: Any, settings: SearchSettings) -> None:
    """The console summary: the same object that summary.json holds."""
    if outcome is None:
        return
    from .report.html import format_summary  # noqa: PLC0415 - needs pandas, which the search has loaded

    print(format_summary(outcome.summary))
    for warning in outcome.summary.warnings:
        print(f"{PROG}: warning: {warning}", file=sys.stderr)
    cluster = outcome.summary.cluster
    if cluster is not None:
        print(f"\nsearched on {cluster.workers_used} Dask workers in {cluster.search_seconds:.1f} s, the index "
              f"built {cluster.index_builds} times; the stages' seconds are summed over the workers")


def _announce(settings: SearchSettings) -> None:
    """Names the modifications searched (unless quiet) and warns about them (always)."""
    line, warnings = modification_notes(settings)
    if not settings.quiet:
        print(line, file=sys.stderr)
    for warning in warnings:
        print(f"{PROG}: warning: {warning}", file=sys.stderr)
    sys.stderr.flush()


def _check_inputs(settings: SearchSettings) -> None:
    """Refuses, before any work, a command without a database, an output folder or spectra
    (the files themselves are checked by `tovel_mesk.search.preflight.check_inputs`)."""
    if settings.fasta is None:
        raise UsageError("no protein database: give --fasta FILE (or fasta in the config file)")
    if settings.output is None:
        raise UsageError("no output folder: give --output DIR (or output in the config file)")
    if not settings.spectra:
        raise UsageError("no spectra files: give one or more mzML or MGF files")


if __name__ == "__main__":  # pragma: no cover
    run()
