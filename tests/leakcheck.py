"""Repeats marked tests to find leaks: `pytest --leak-check -m leakcheck`.

Each marked test body runs 2,000 more times after a warm-up; traced memory must grow by less than
100 KiB, resident memory by less than 10 MiB, and the reference counts of the test's own
arguments must end where they started.
"""

import gc
import os
import sys
import tracemalloc

import pytest

REPEATS = 2_000
TRACED_LIMIT = 100 * 1024
RSS_LIMIT = 10 * 1024 * 1024


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_repeated(item):
    fn = item.obj
    kwargs = {name: item.funcargs[name] for name in item._fixtureinfo.argnames}
    # Fixtures that capture output would grow with every repetition; reset them as we go.
    captures = [v for v in kwargs.values() if hasattr(v, "readouterr")]
    # pandas and NumPy fill caches of their own on first use; let them settle first.
    for _ in range(200):
        fn(**kwargs)
    for capture in captures:
        capture.readouterr()
    gc.collect()
    refs_before = {name: sys.getrefcount(value) for name, value in kwargs.items()}
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    rss_before = rss_bytes()
    for i in range(REPEATS):
        fn(**kwargs)
        if captures and i % 100 == 0:
            for capture in captures:
                capture.readouterr()
    for capture in captures:
        capture.readouterr()
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    rss_growth = rss_bytes() - rss_before
    refs_after = {name: sys.getrefcount(value) for name, value in kwargs.items()}
    assert traced_growth < TRACED_LIMIT, f"traced memory grew by {traced_growth} bytes"
    assert rss_growth < RSS_LIMIT, f"resident memory grew by {rss_growth} bytes"
    assert refs_after == refs_before, f"reference counts changed: {refs_before} -> {refs_after}"
