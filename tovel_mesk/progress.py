"""Progress bars on stderr, one per long stage, and the time each stage took."""

from __future__ import annotations

import contextlib
import os
import sys
import time
from typing import Iterator

__all__ = ["Progress", "Stage", "say"]


def say(text: str) -> None:
    """Writes one line to stderr. When stderr is a pipe whose reader has gone (a console
    piped to `head`, a closed log collector), what is left to say is dropped, and the
    search goes on to write its results: progress lines are a courtesy, the results are
    the job."""
    try:
        print(text, file=sys.stderr, flush=True)
    except (BrokenPipeError, ValueError):
        _drop_stderr()


def _drop_stderr() -> None:
    """Points sys.stderr at the null device (and its descriptor too, so native code and
    the interpreter's last flush do not meet the broken pipe either)."""
    null = open(os.devnull, "w")  # noqa: SIM115 - lives as long as the process
    with contextlib.suppress(OSError, ValueError):
        os.dup2(null.fileno(), 2)
    sys.stderr = null


class Stage:
    """One stage's bar: `advance(n)` moves it, `total` may be set once known."""

    def __init__(self, bar) -> None:
        self._bar = bar
        self.position = 0

    def advance(self, n: int = 1) -> None:
        self.position += n
        if self._bar is not None:
            self._bar.update(n)

    def set_total(self, total: int | None) -> None:
        if self._bar is not None and total is not None:
            self._bar.total = total
            self._bar.refresh()

    def update_to(self, position: int, total: int | None = None) -> None:
        """Moves the bar to `position` of `total` (when known)."""
        self.position = position
        if self._bar is not None:
            if total:
                self._bar.total = total
            self._bar.update(position - self._bar.n)

    def note(self, text: str) -> None:
        if self._bar is not None:
            self._bar.set_postfix_str(text, refresh=False)


class Progress:
    """Stage bars (tqdm, on stderr) and stage timings. On a terminal each stage draws a
    bar; when stderr is a file or a pipe, each stage writes one line when it ends. With
    `enabled` off nothing is written, but timings are still kept, in `timings` (seconds by
    stage name, summed over repeats)."""

    def __init__(self, enabled: bool = True) -> None:
        self.enabled = enabled
        self.timings: dict[str, float] = {}
        #: Every message told through `message`, in order.
        self.messages: list[str] = []
        self._terminal = enabled and sys.stderr.isatty()

    def message(self, text: str) -> None:
        """Tells the user something on stderr (above the bars on a terminal), unless
        disabled; kept in `messages` either way."""
        self.messages.append(text)
        if not self.enabled:
            return
        if self._terminal:
            from tqdm import tqdm  # noqa: PLC0415 - only when bars are drawn

            try:
                tqdm.write(text, file=sys.stderr)
            except (BrokenPipeError, ValueError):
                _drop_stderr()
        else:
            say(text)

    @contextlib.contextmanager
    def stage(self, name: str, total: int | None = None, unit: str = "", timed: bool = True,
              scaled: bool = True) -> Iterator[Stage]:
        """A bar for one stage; its time is added to `timings[name]` unless `timed` is off.
        Counts in a unit show as 12.3k unless `scaled` is off."""
        bar = None
        if self._terminal:
            from tqdm import tqdm  # noqa: PLC0415 - only when bars are drawn

            bar = tqdm(total=total, desc=f"{name:<10}", unit=f" {unit}" if unit else "it", file=sys.stderr,
                       dynamic_ncols=True, leave=True, unit_scale=bool(unit) and scaled, mininterval=0.2,
                       bar_format=None if total is not None or unit else "{desc} {elapsed}")
        started = time.perf_counter()
        stage = Stage(bar)
        try:
            yield stage
        finally:
            seconds = time.perf_counter() - started
            if timed:
                self.timings[name] = self.timings.get(name, 0.0) + seconds
            if self.enabled and bar is None and sys.exc_info()[0] is None:
                done = f", {stage.position:,} {unit}" if unit else ""
                say(f"{name}: {seconds:.2f} s{done}")
            if bar is not None:
                if bar.total is not None and bar.n < bar.total and sys.exc_info()[0] is None:
                    bar.update(bar.total - bar.n)
                bar.close()
