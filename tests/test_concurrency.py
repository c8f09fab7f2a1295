"""Many Python threads at once: own Encoders agree with one thread; a shared Encoder refuses
overlapping calls cleanly and never tears its tables."""

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
