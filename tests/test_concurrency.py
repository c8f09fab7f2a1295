"""Many Python threads at once: own Encoders agree with one thread; a shared Encoder refuses
overlapping calls cleanly and never tears its tables."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pytest

from quorlin import Encoder


def table(seed):
    rng = np.random.default_rng(seed)
    pool = np.array([f"v{k:04d}" for k in range(300)], dtype=object)
    return pd.DataFrame({
        "a": pool[rng.integers(0, 300, 4000)],
        "n": rng.normal(size=4000),
        "b": pool[rng.integers(0, 50, 4000)],
    })


def run_threads(count, target):
    errors = []

    def guarded(i):
        try:
            target(i)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


def test_own_encoders_in_many_threads_match_one_thread():
    tables = [table(i % 4) for i in range(8)]
    expected = []
    for t in tables:
        enc = Encoder()
        codes = enc.encode(t)
        expected.append((codes, enc.decode(codes), enc.__getstate__()))
    results = [None] * len(tables)

    def work(i):
        for _ in range(5):
            enc = Encoder()
            codes = enc.encode(tables[i])
            results[i] = (codes, enc.decode(codes), len(enc.__getstate__()))

    run_threads(len(tables), work)
    for (codes, decoded, state), (got_codes, got_decoded, got_len) in zip(expected, results):
        pd.testing.assert_frame_equal(codes, got_codes)
        pd.testing.assert_frame_equal(decoded, got_decoded)
        assert got_len == len(state)


class Yielding:
    """A text cell whose str() gives other threads the chance to run mid-call."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        time.sleep(0)
        return self.text


def test_shared_encoder_refuses_overlaps_cleanly():
    enc = Encoder()
    fits = [np.array([[Yielding(f"t{i}-{k}")] for k in range(50)], dtype=object) for i in range(4)]
    states = set()
    for fit in fits:
        probe = Encoder()
        probe.encode(fit)
        states.add(len(probe.__getstate__()))
    outcomes = []
    allowed = {"Already borrowed", "Already mutably borrowed"}

    def work(i):
        for round_ in range(20):
            try:
                if (i + round_) % 3 == 0:
                    enc.encode(fits[i % 4])
                    outcomes.append("encode")
                elif (i + round_) % 3 == 1:
                    out = enc.decode(np.array([[0.0], [1.0]]))
                    assert out.dtype in (np.float64, object)
                    outcomes.append("decode")
                else:
                    enc.__setstate__(enc.__getstate__())
                    outcomes.append("state")
            except RuntimeError as exc:
                assert str(exc) in allowed, str(exc)
                outcomes.append(str(exc))

    run_threads(6, work)
    assert len(outcomes) == 120
    # The tables are whole: those of one of the fits.
    assert len(enc.__getstate__()) in states
    assert enc.decode(np.array([[0.0]]))[0, 0].startswith("t")


# Forked children with little address space left, swept in small steps, so that the end of
# memory falls at every point of a thread's start: the pool's first use (its workers start),
# or a new Python thread's first call into the module. Each child must end with a result or
# an exception. A thread that fails to get its per-thread memory where the C library allocates
# it lazily ends the process instead. A child whose threading.Thread.start waits forever for a
# thread that could not start (CPython's own wait) is stopped and not counted.
MEMORY_SWEEP = """
    import os, resource, sys, threading, time
    import numpy as np
    from quorlin import Encoder

    mode, low, high, step = sys.argv[1], *map(float, sys.argv[2:])
    table = np.array([["a", 1.0], ["b", 2.0]] * 50, dtype=object)

    def vm_size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    def child(headroom):
        if mode == "thread":
            Encoder().encode(table)  # the pool exists before the limit
        cap = vm_size() + int(headroom * 2**20)
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
        status = [1]

        def call():
            try:
                Encoder().encode(table)
            except BaseException:  # MemoryError, or the pool's own failure
                pass
            status[0] = 0

        if mode == "thread":
            try:
                worker = threading.Thread(target=call)
                worker.start()
                worker.join()
            except RuntimeError:  # can't start new thread
                status[0] = 0
        else:
            call()
        os._exit(status[0])

    died = []
    steps = int(round((high - low) / step))
    for k in range(steps):
        headroom = low + k * step
        pid = os.fork()
        if pid == 0:
            child(headroom)
        start = time.monotonic()
        while (done := os.waitpid(pid, os.WNOHANG))[0] == 0:
            if time.monotonic() - start > 3:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                done = None
                break
            time.sleep(0.001)
        if done is not None and done[1] != 0:
            died.append((round(headroom, 3), done[1]))
    print(died)
"""


# The address sanitizer's own allocator reserves far more address space than a limit leaves.
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="address-space limits and the address sanitizer exclude each other")
@pytest.mark.parametrize("mode, workers, low, high", [
    ("pool", "2", 0.0, 8.0),
    ("pool", "8", 10.0, 22.0),
    ("thread", "2", 7.0, 10.0),
])
def test_memory_running_out_as_a_thread_starts_never_ends_the_process(
        tmp_path, mode, workers, low, high):
    script = tmp_path / "sweep.py"
    script.write_text(textwrap.dedent(MEMORY_SWEEP))
    proc = subprocess.run(
        [sys.executable, str(script), mode, str(low), str(high), "0.02"],
        capture_output=True, text=True, timeout=600,
        env={**os.environ, "RAYON_NUM_THREADS": workers})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "[]", proc.stderr[-2000:]
