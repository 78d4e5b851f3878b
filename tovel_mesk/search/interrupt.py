"""Long native calls that Ctrl-C (or SIGTERM) can still interrupt at once.

The core releases the interpreter lock while it digests, indexes and scores, but Python runs
signal handlers only on the main thread and only between bytecodes: a call that scores a
large chunk on the main thread would hold an interrupt back until the chunk is done. So the
main thread hands such a call to a helper thread and waits for it in short steps; an
interrupt then raises in the main thread at once. The call itself runs unchanged (same
arguments, same results); once interrupted, its result is dropped when it ends.
"""

from __future__ import annotations

import threading
from collections.abc import Callable
from concurrent.futures import Future
from typing import TypeVar

__all__ = ["interruptible", "start_interruptible"]

T = TypeVar("T")

#: How long the main thread waits for the call between looks at pending signals.
_STEP_SECONDS = 0.1


def interruptible(function: Callable[..., T], *args, **kwargs) -> T:
    """`function(*args, **kwargs)`, run so that a signal reaching the main thread interrupts
    the wait for it. On any other thread the call runs in place."""
    if threading.current_thread() is not threading.main_thread():
        return function(*args, **kwargs)
    return start_interruptible(function, *args, **kwargs)()


def start_interruptible(function: Callable[..., T], *args, **kwargs) -> Callable[[], T]:
    """Starts `function(*args, **kwargs)` on a thread of its own and returns the wait for
    its result (or its exception), which a signal reaching the main thread interrupts.
    The caller goes on meanwhile, and must wait before relying on what the call does."""
    done: Future[T] = Future()

    def run() -> None:
        try:
            result = function(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001 - handed to the waiting thread as is
            done.set_exception(error)
        else:
            done.set_result(result)

    threading.Thread(target=run, name="tovel-mesk-native", daemon=True).start()

    def wait() -> T:
        while True:
            try:
                return done.result(timeout=_STEP_SECONDS)
            except TimeoutError:
                continue

    return wait
