"""Reading ahead of scoring on a thread of its own: every item in order, the reader's
errors raised to the consumer, and the thread stopped and the source closed however the
consumer leaves."""

from __future__ import annotations

import contextlib
import threading

import pytest

from tovel_mesk.search.scoring import read_ahead


def _source(n: int, fail_at: int | None = None, log: list | None = None):
    try:
        for i in range(n):
            if i == fail_at:
                raise ValueError(f"item {i} is damaged")
            yield i
    finally:
        if log is not None:
            log.append(("closed", threading.current_thread().name))


@pytest.mark.parametrize("depth", [1, 2, 5])
def test_every_item_in_order_and_the_source_closed(depth):
    log: list = []
    with read_ahead(_source(50, log=log), depth) as items:
        assert list(items) == list(range(50))
    assert log == [("closed", "tovel-mesk-reader")]


def test_an_error_of_the_source_reaches_the_consumer_after_the_items_before_it():
    seen = []
    with pytest.raises(ValueError, match="item 7 is damaged"):
        with read_ahead(_source(20, fail_at=7)) as items:
            for item in items:
                seen.append(item)
    assert seen == list(range(7))


@pytest.mark.parametrize("how", ["break", "raise"])
def test_leaving_early_stops_the_thread_and_closes_the_source(how):
    log: list = []
    before = threading.active_count()
    with pytest.raises(RuntimeError) if how == "raise" else contextlib.nullcontext():
        with read_ahead(_source(10_000, log=log), 2) as items:
            for item in items:
                if item == 3:
                    if how == "raise":
                        raise RuntimeError("scoring failed")
                    break
    assert log == [("closed", "tovel-mesk-reader")]
    assert threading.active_count() == before

