"""Throughput of parallel callers: k Python threads, each encoding tables of its own.

Each thread has its own table of --rows rows (10^5 by default; the first kind of
bench/user_tables.py, each thread with its own seed) and its own Encoder, and encodes it
--calls times; the figure is tables encoded per second over the whole run, for k = 1, 2 and 4,
and its ratio to k = 1. The same loop runs with pd.factorize(sort=True) on the 4 text columns
in place of quorlin. Forms: pandas' default frame (pandas 3 only), the object frame and the
object ndarray.

On a free-threaded CPython (3.13t) the threads' calls run at the same time, each sharing the
one worker pool; with the GIL they take turns (quorlin's calls keep the GIL while the pool
works). The line says which interpreter ran it. Throughput is what a server that encodes
requests on several threads sees.

    python bench/bench_threads.py [--rows 100000] [--calls 20] [--threads 1,2,4]
"""

import argparse
import sys
import sysconfig
import threading
import time

import pandas as pd

import user_tables
from quorlin import Encoder

TEXT_NAMES = user_tables.TEXT_NAMES


def free_threaded():
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and not sys._is_gil_enabled()


def quorlin_call(table):
    encoder = Encoder()
    return lambda: encoder.encode(table)


def factorize_call(table):
    if isinstance(table, pd.DataFrame):
        columns = [table[name] for name in TEXT_NAMES]
    else:
        columns = [table[:, i] for i in range(len(TEXT_NAMES))]
    return lambda: [pd.factorize(column, sort=True) for column in columns]


def throughput(make_call, tables, calls):
    """Tables per second with one thread per table, each calling `calls` times."""
    ready = threading.Barrier(len(tables) + 1)
    errors = []

    def run(call):
        try:
            call()  # warm-up, outside the timed part
            ready.wait()
            for _ in range(calls):
                call()
        except BaseException as error:  # pragma: no cover - reported below
            errors.append(error)
            ready.abort()

    threads = [threading.Thread(target=run, args=(make_call(table),)) for table in tables]
    for thread in threads:
        thread.start()
    ready.wait()
    start = time.perf_counter()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - start
    if errors:
        raise errors[0]
    return len(tables) * calls / elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--calls", type=int, default=20)
    parser.add_argument("--threads", default="1,2,4")
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()
    counts = [int(k) for k in args.threads.split(",")]

    interpreter = "free-threaded, GIL off" if free_threaded() else "with the GIL"
    print(f"Python {sys.version.split()[0]} ({interpreter}), pandas {pd.__version__}, "
          f"rows {args.rows:,} per table, {args.calls} calls per thread")
    print(f"{'form':<16s} {'encoder':<12s} " +
          " ".join(f"{f'k={k} tables/s':>14s} {'vs k=1':>7s}" for k in counts))
    forms_of = [user_tables.make_forms(user_tables.make_columns("A", args.rows, args.seed + i))
                for i in range(max(counts))]
    for form in forms_of[0]:
        for name, make_call in (("quorlin", quorlin_call), ("factorize", factorize_call)):
            figures = []
            for k in counts:
                tables = [forms[form] for forms in forms_of[:k]]
                figures.append(throughput(make_call, tables, args.calls))
            cells = " ".join(f"{f:>14.1f} {f / figures[0]:>6.2f}x" for f in figures)
            print(f"{form:<16s} {name:<12s} {cells}", flush=True)


if __name__ == "__main__":
    main()
