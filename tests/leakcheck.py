"""Repeats marked tests to find leaks: `pytest --leak-check -m leakcheck`.

After a warm-up, each marked test body runs in two windows of WINDOW repetitions each, traced.
A leak grows traced memory in both windows alike; the interpreter's and pandas' own caches grow
it in steps, once in a while (a dict that resizes, free lists refilled under the trace), and a
step of tens of KiB would hide a small per-call leak in a single total. So the smaller of the
two windows' growth must stay under 50 bytes per repetition (a leak of one small object per call
fails), resident memory over both windows under 5 KiB per repetition, and the reference counts
of the test's own arguments must end where they started. QUORLIN_LEAK_REPORT=1 prints each
case's growth.
"""

import gc
import os
import sys
import tracemalloc

import pytest

WINDOW = int(os.environ.get("QUORLIN_LEAK_WINDOW", "250"))
WARM_UP = 100
TRACED_WARM_UP = 50
TRACED_LIMIT = 50 * WINDOW
RSS_LIMIT = 5 * 1024 * 2 * WINDOW
REPORT = os.environ.get("QUORLIN_LEAK_REPORT") == "1"


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_repeated(item):
    fn = item.obj
    kwargs = {name: item.funcargs[name] for name in item._fixtureinfo.argnames}
    # Fixtures that capture output would grow with every repetition; reset them as we go.
    captures = [v for v in kwargs.values() if hasattr(v, "readouterr")]

    def run(times):
        for i in range(times):
            fn(**kwargs)
            if captures and i % 100 == 0:
                for capture in captures:
                    capture.readouterr()
        for capture in captures:
            capture.readouterr()
        gc.collect()

    # pandas and NumPy fill caches of their own on first use; let them settle first.
    run(WARM_UP)
    refs_before = {name: sys.getrefcount(value) for name, value in kwargs.items()}
    tracemalloc.start()
    run(TRACED_WARM_UP)
    rss_before = rss_bytes()
    growth = []
    for _ in range(2):
        traced_before = tracemalloc.get_traced_memory()[0]
        run(WINDOW)
        growth.append(tracemalloc.get_traced_memory()[0] - traced_before)
    tracemalloc.stop()
    rss_growth = rss_bytes() - rss_before
    refs_after = {name: sys.getrefcount(value) for name, value in kwargs.items()}
    if REPORT:
        print(f"\nleak-report {item.nodeid} traced={growth[0]},{growth[1]} rss={rss_growth}")
    assert min(growth) < TRACED_LIMIT, f"traced memory grew by {growth} bytes in two windows"
    assert rss_growth < RSS_LIMIT, f"resident memory grew by {rss_growth} bytes"
    assert refs_after == refs_before, f"reference counts changed: {refs_before} -> {refs_after}"
