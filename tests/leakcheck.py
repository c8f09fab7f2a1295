"""Repeats marked tests to find leaks: `pytest --leak-check -m leakcheck`.

After a warm-up, each marked test body runs traced, in windows of WINDOW repetitions. A leak
grows traced memory in every window alike; the interpreter's and pandas' own caches grow it in
steps that settle, some within the first window, some over several hundred calls (dicts that
resize, free lists refilled under the trace), and would hide a small per-call leak in a single
total. So windows follow one another until one, after the first, grows by less than 50 bytes a
repetition (a leak of one small object per call never does), up to MAX_WINDOWS: a case whose
last window still grows that much fails. Resident memory may grow by less than 5 KiB a
repetition over the traced run, and the reference counts of the test's own arguments must end
where they started. QUORLIN_LEAK_REPORT=1 prints each case's growth on standard error.
"""

import gc
import os
import sys
import tracemalloc

import pytest

WINDOW = 125
MAX_WINDOWS = 8
WARM_UP = 100
TRACED_LIMIT = 50 * WINDOW
RSS_PER_REPETITION = 5 * 1024
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
    rss_before = rss_bytes()
    growth = []
    while len(growth) < MAX_WINDOWS and (len(growth) < 2 or growth[-1] >= TRACED_LIMIT):
        traced_before = tracemalloc.get_traced_memory()[0]
        run(WINDOW)
        growth.append(tracemalloc.get_traced_memory()[0] - traced_before)
    tracemalloc.stop()
    rss_growth = rss_bytes() - rss_before
    refs_after = {name: sys.getrefcount(value) for name, value in kwargs.items()}
    if REPORT:
        print(f"\nleak-report {item.nodeid} traced={growth} rss={rss_growth}", file=sys.stderr)
    assert growth[-1] < TRACED_LIMIT, f"traced memory grew by {growth} bytes in its windows"
    assert rss_growth < RSS_PER_REPETITION * WINDOW * len(growth), (
        f"resident memory grew by {rss_growth} bytes"
    )
    assert refs_after == refs_before, f"reference counts changed: {refs_before} -> {refs_after}"
