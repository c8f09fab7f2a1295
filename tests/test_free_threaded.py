"""The free-threaded interpreter (CPython 3.13t): the module keeps the GIL off, and Python
threads that really run side by side get results or the module's clean refusals, never a crash.

Every case runs in a child process, so that a crash fails the test instead of ending the suite.
"""

import os
import subprocess
import sys
import textwrap

import pytest

from helpers import FREE_THREADED

pytestmark = pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded CPython")


def run_child(code, *args, timeout=600):
    """Runs `code` in a fresh interpreter with the GIL left at its default (off)."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=timeout)
    assert proc.returncode == 0, f"child ended with {proc.returncode}:\n{proc.stderr[-4000:]}"
    return proc.stdout


def test_the_gil_stays_off_through_import_and_first_calls():
    out = run_child("""
        import sys, warnings
        warnings.simplefilter("error")  # the warning that comes with a GIL turned back on
        seen = [sys._is_gil_enabled()]
        import quorlin
        seen.append(sys._is_gil_enabled())
        import numpy as np
        import pandas as pd
        seen.append(sys._is_gil_enabled())
        enc = quorlin.Encoder()
        codes = enc.encode(pd.DataFrame({"t": ["b", "a"], "n": [1.0, 2.0]}))
        enc.decode(codes)
        enc.encode(np.array([["x"], ["y"]], dtype=object))
        seen.append(sys._is_gil_enabled())
        print(seen)
    """)
    assert out.strip() == "[False, False, False, False]"
