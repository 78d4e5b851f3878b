"""Repeating a call many times and checking that memory and reference counts stay where
they were: the leak check shared by the tests of the core module and of the package.

Memory is counted by the allocators, never read from the operating system: resident
memory moves with what the kernel does to pages (huge pages, reclaim), which a busy machine
changes, while these counts move only with this process's own allocations."""

from __future__ import annotations

import ctypes
import gc
import sys
import tracemalloc

WARMUP = 2_000
ROUNDS = 30_000
#: The rounds run in this many blocks after the warm-up. A leak grows memory in every block,
#: by its size times the block's rounds; a one-off (a cache filled, a table grown) shows in
#: one block at most.
BLOCKS = 3
#: Growth allowed in a block; a count that grew by more in every block is a leak. Every
#: allocation of the C heap takes at least 32 bytes, so a leak of one allocation a call
#: shows once a block has 256 calls.
MAX_BLOCK_GROWTH = 8 * 1024
class _HeapInfo(ctypes.Structure):
    """glibc's `struct mallinfo2`: what the C heap holds, in bytes."""

    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_mallinfo2 = getattr(_libc, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _HeapInfo
    _mallinfo2.argtypes = []


def c_heap_in_use():
    """Bytes of the C heap in use (allocated and not freed, over every arena, mapped blocks
    included), as malloc counts them; 0 where the C library cannot tell."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def repeat(action, n):
    for _ in range(n):
        try:
            action()
        except BaseException:  # noqa: BLE001 - every outcome is expected here, only memory matters
            pass


def memory_in_use():
    """(bytes held by traced Python allocations, bytes of the C heap in use)."""
    gc.collect()
    return tracemalloc.get_traced_memory()[0], c_heap_in_use()


def check_steady(action, watched=(), rounds=ROUNDS):
    """Runs `action` many times and fails if memory or the watched objects' reference counts grow."""
    warmup = min(WARMUP, rounds // 4)
    repeat(action, warmup)
    gc.collect()
    refs_before = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    try:
        repeat(action, warmup)
        samples = [memory_in_use()]
        for _ in range(BLOCKS):
            repeat(action, rounds // BLOCKS)
            samples.append(memory_in_use())
    finally:
        tracemalloc.stop()
    refs_after = [sys.getrefcount(o) for o in watched]
    assert refs_after == refs_before, "reference counts of the arguments changed"
    for kind, (name, unit) in enumerate((("Python memory", "traced"), ("the C heap", "in use"))):
        growth = [after[kind] - before[kind] for before, after in zip(samples, samples[1:])]
        assert min(growth) <= MAX_BLOCK_GROWTH, \
            f"{name} grew in every block of {rounds // BLOCKS} calls: {growth} bytes {unit}"
