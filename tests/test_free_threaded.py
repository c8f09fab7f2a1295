"""The free-threaded interpreter (CPython 3.13t): the module keeps the GIL off, and Python
threads that really run side by side get results or the module's clean refusals, never a crash.

Every case runs in a child process, so that a crash fails the test instead of ending the suite.
"""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

from helpers import FREE_THREADED

pytestmark = pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded CPython")


def run_child(code, *args, timeout=600):
    """Runs `code` in a fresh interpreter with the GIL left at its default (off). A crash prints
    every thread's stack, so that a failure shows whose code it was in."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code),
                           *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=timeout)
    assert proc.returncode == 0, f"child ended with {proc.returncode}:\n{proc.stderr[-8000:]}"
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


# The tables of the stress cases, built the same way in every child: each form of input.
TABLES = r"""
import json, os, re, sys, tempfile, threading
import numpy as np
import pandas as pd
from quorlin import Encoder

ROWS = int(os.environ.get("STRESS_ROWS", "20000"))
POOL = np.array([f"label{k:03d}" for k in range(300)], dtype=object)


def object_array(seed, rows=ROWS):
    rng = np.random.default_rng(seed)
    a = np.empty((rows, 4), dtype=object)
    a[:, 0] = POOL[rng.integers(0, 300, rows)]
    a[:, 1] = [float(x) for x in rng.normal(size=rows)]
    a[:, 2] = POOL[rng.integers(0, 30, rows)]
    a[rng.integers(0, rows, rows // 50), 2] = None
    a[:, 3] = [float(x) for x in rng.integers(0, 9, rows)]
    a[rows // 2, 3] = "late text"
    return a


def object_frame(seed, rows=ROWS):
    a = object_array(seed, rows)
    return pd.DataFrame({"t": pd.Series(a[:, 0], dtype=object), "n": a[:, 1].astype(float),
                         "u": pd.Series(a[:, 2], dtype=object),
                         "m": pd.Series(a[:, 3], dtype=object)})


def forms(seed, folder):
    a = object_array(seed)
    rng = np.random.default_rng(seed + 100)
    floats = rng.normal(size=(ROWS, 4))
    float_map = np.memmap(os.path.join(folder, f"f{seed}.bin"), dtype=np.float64, mode="w+",
                          shape=(ROWS, 4))
    float_map[:] = floats
    text_map = np.memmap(os.path.join(folder, f"u{seed}.bin"), dtype="U9", mode="w+",
                         shape=(ROWS, 2))
    text_map[:] = a[:, [0, 0]].astype("U9")
    default = pd.DataFrame({"t": list(a[:, 0]), "n": a[:, 1].astype(float),
                            "u": [None if v is None else v for v in a[:, 2]]})
    numeric = pd.DataFrame({"f": floats[:, 0], "i": rng.integers(0, 50, ROWS),
                            "b": floats[:, 1] > 0})
    return {"object ndarray": a, "float ndarray": floats, "float memmap": float_map,
            "text memmap": text_map, "object DataFrame": object_frame(seed),
            "default DataFrame": default, "numeric DataFrame": numeric}


def plain(v):
    if isinstance(v, float) and v != v:
        return "NaN"
    return [type(v).__name__, v]


def fingerprint(x):
    if isinstance(x, pd.DataFrame):
        return ["frame", [str(c) for c in x.columns], [str(d) for d in x.dtypes],
                fingerprint(x.to_numpy(dtype=object))]
    if x.dtype == object:
        return ["object", list(x.shape), [[plain(v) for v in row] for row in x.tolist()]]
    return [x.dtype.str, list(x.shape), x.tobytes().hex()]


def fit(table):
    enc = Encoder()
    codes = enc.encode(table)
    return [fingerprint(codes), fingerprint(enc.decode(codes)), enc.__getstate__().hex()]


def run_threads(count, target):
    failures = []

    def guarded(i):
        try:
            target(i)
        except BaseException as exc:
            failures.append(f"thread {i}: {type(exc).__name__}: {exc}")

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return failures


def outcome(call):
    try:
        call()
        return "result"
    except BaseException as exc:  # PanicException derives from BaseException
        return f"{type(exc).__name__}: {re.sub(r'[0-9]+', 'N', str(exc))}"
"""

OWN_TABLES = TABLES + r"""
threads, rounds = int(sys.argv[1]), int(sys.argv[2])
with tempfile.TemporaryDirectory() as folder:
    tables = [forms(i % 3, folder) for i in range(threads)]
    expected = {(i % 3, name): fit(t) for i in range(3) for name, t in tables[i].items()}
    mismatches = []

    def work(i):
        for _ in range(rounds):
            for name, table in tables[i].items():
                if fit(table) != expected[(i % 3, name)]:
                    mismatches.append((i, name))

    failures = run_threads(threads, work)
print(json.dumps({"failures": failures, "mismatches": sorted(set(map(tuple, mismatches))),
                  "fits": threads * rounds * len(tables[0])}))
"""


@pytest.mark.parametrize("threads, rounds", [(4, 3), (8, 2)])
def test_threads_with_their_own_tables_get_what_one_thread_gets(threads, rounds):
    report = json.loads(run_child(OWN_TABLES, threads, rounds))
    assert report["failures"] == []
    assert report["mismatches"] == []
    assert report["fits"] == threads * rounds * 7


SHARED_ENCODER = TABLES + r"""
threads, rounds = int(sys.argv[1]), int(sys.argv[2])
# Each thread fits its own table, with labels of its own, so that every state tells whose it is.
fits = []
for i in range(threads):
    a = object_array(i, 3000)
    a[:, 0] = [f"t{i}-{v}" for v in a[:, 0]]
    fits.append(a)
probe = np.array([[0.0, 1.5, 1.0, 2.0], [3.0, -1.0, np.nan, 0.0]] * 2)
known_codes, known_decodes, states = [], set(), []


def decodes_as(state):
    # State bytes list the labels in the order of a hash map: compared by what they decode.
    restored = Encoder()
    restored.__setstate__(state)
    return json.dumps(fingerprint(restored.decode(probe)))


for a in fits:
    enc = Encoder()
    known_codes.append(fingerprint(enc.encode(a)))
    known_decodes.add(json.dumps(fingerprint(enc.decode(probe))))
    states.append(enc.__getstate__())
shared = Encoder()
shared.__setstate__(states[0])
counts, torn = {}, []
lock = threading.Lock()


def work(i):
    for r in range(rounds):
        op = (i + r) % 4
        try:
            if op == 0:
                if fingerprint(shared.encode(fits[i])) != known_codes[i]:
                    torn.append("encode")
            elif op == 1:
                if json.dumps(fingerprint(shared.decode(probe))) not in known_decodes:
                    torn.append("decode")
            elif op == 2:
                if decodes_as(shared.__getstate__()) not in known_decodes:
                    torn.append("__getstate__")
            else:
                shared.__setstate__(states[(i + r) % threads])
            what = "result"
        except RuntimeError as exc:
            what = str(exc)
        with lock:
            counts[what] = counts.get(what, 0) + 1


failures = run_threads(threads, work)
final = decodes_as(shared.__getstate__()) in known_decodes
print(json.dumps({"failures": failures, "torn": torn, "counts": counts, "final": final}))
"""


@pytest.mark.parametrize("threads", [4, 8])
def test_threads_sharing_one_encoder_get_results_or_its_refusals(threads):
    rounds = 40
    report = json.loads(run_child(SHARED_ENCODER, threads, rounds))
    assert report["failures"] == []
    assert report["torn"] == []
    assert report["final"]
    counts = report["counts"]
    assert sum(counts.values()) == threads * rounds
    assert set(counts) <= {"result", "Already borrowed", "Already mutably borrowed"}, counts
    assert counts.get("result", 0) > 0


# One thread changes a table while another encodes and decodes it, again and again. Every value
# that a cell ever holds stays alive (the values written in a pool, the first ones in a copy of
# the cells): a value freed by its overwrite while a reader takes it is the writer's race, which
# NumPy's own item access does not survive either.
CHANGED_WHILE_READ = TABLES + r"""
case, repetitions, calls = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
values = list(POOL[:40]) + [float(k) / 4 for k in range(20)] + [None, 7, True, "NaN"]
outcomes, changer_errors = {}, {}
for rep in range(repetitions):
    rng = np.random.default_rng(rep)
    table = object_frame(rep) if "frame" in case else object_array(rep)
    if case == "default frame cells":
        table = pd.DataFrame({"t": list(table["t"]), "n": table["n"], "u": list(table["t"])})
    first_cells = np.array(table, dtype=object)
    fitted = Encoder()
    fitted.encode(table)
    # A frame's cells are changed in its columns' own arrays (NumPy's, or pandas' str arrays),
    # by their item assignment. pandas' frame setters (a column added or deleted) rebuild its
    # block bookkeeping, which pandas' own reads of the frame on the calling thread race: that
    # crashes or hangs inside pandas, also without the module (iloc reads of a frame against
    # another thread's column inserts and deletes alone).
    if case == "frame cells":
        columns = [table[name].to_numpy() for name in ("t", "u", "m")]
        for column in columns:
            column.flags.writeable = True
    elif case == "default frame cells":
        columns = [table[name].array for name in ("t", "u")]
    stop = threading.Event()
    start = threading.Barrier(2)

    def change():
        start.wait()
        k = 0
        while not stop.is_set():
            k += 1
            i, j = int(rng.integers(0, ROWS)), int(rng.integers(0, 4))
            if case == "array cells":
                table[i, j] = values[k % len(values)]
            elif case == "frame cells":
                columns[k % 3][i] = values[k % len(values)]
            elif case == "default frame cells":
                columns[k % 2][i] = str(POOL[k % 300])

    def guarded_change():
        # pandas' own setters may fail while the frame is read: counted, and the round goes on.
        try:
            change()
        except Exception as exc:
            what = f"{type(exc).__name__}: {exc}"[:200]
            changer_errors[what] = changer_errors.get(what, 0) + 1

    changer = threading.Thread(target=guarded_change)
    changer.start()
    start.wait()
    for c in range(calls):
        if c % 2:
            what = outcome(lambda: fitted.decode(table))
        else:
            what = outcome(lambda: Encoder().encode(table))
        outcomes[what] = outcomes.get(what, 0) + 1
    stop.set()
    changer.join()
print(json.dumps({"outcomes": outcomes, "changer errors": changer_errors}))
"""

# What a call may end with while cells of its table change: a result, or the refusal of a read
# that saw the table change.
ALLOWED = re.compile(r"result|PanicException: (ndarray|DataFrame) changed while it was read")


@pytest.mark.parametrize("case", ["array cells", "frame cells", "default frame cells"])
def test_a_table_changed_by_another_thread_gives_a_result_or_a_clean_error(case):
    repetitions = 10 * int(os.environ.get("QUORLIN_STRESS_SCALE", "1"))
    calls = 20
    report = json.loads(run_child(CHANGED_WHILE_READ, case, repetitions, calls))
    outcomes = report["outcomes"]
    assert sum(outcomes.values()) == repetitions * calls
    assert [what for what in outcomes if not ALLOWED.fullmatch(what)] == [], outcomes
    assert outcomes.get("result", 0) > 0
