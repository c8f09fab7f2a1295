"""Reading tables into the encoder: direct reads of exact arrays and frames against item access.

Each case is encoded once through the fast path (an exact numpy.ndarray or pandas.DataFrame)
and once through the general road (a subclass of the same class name, read by one item access
per cell). Best of --repeat runs after a warm-up; the times include the label encoding, which
is the same on both roads.
"""

import argparse
import time

import numpy as np
import pandas as pd

from quorlin import Encoder


class ndarray(np.ndarray):  # noqa: N801 - the general road: same class name, not exact
    pass


class DataFrame(pd.DataFrame):
    @property
    def values(self):
        return pd.DataFrame.values.fget(self).view(ndarray)


def best(fn, repeat):
    fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def pool_column(rng, rows, distinct):
    pool = np.array([f"label-{k:07d}-{rng.integers(1 << 30):x}" for k in range(distinct)],
                    dtype=object)
    column = pool[rng.integers(0, distinct, rows)]
    column[rng.random(rows) < 0.02] = np.nan
    return column


def cases(rows):
    rng = np.random.default_rng(7)
    mixed = {f"text{i}": pool_column(rng, rows, d) for i, d in enumerate((50, 5_000))}
    mixed.update({f"str{i}": pd.Series(pool_column(rng, rows, 50), dtype="str") for i in range(2)})
    mixed.update({f"num{i}": rng.normal(size=rows) for i in range(4)})
    frame = pd.DataFrame(mixed)
    yield "frame 2 object + 2 str + 4 float64", frame, DataFrame(frame), frame
    for distinct in (50, 200_000):
        array = pool_column(rng, rows, distinct).reshape(-1, 1)
        yield f"object array, {distinct} labels", array, array.view(ndarray), None
    text = pool_column(rng, rows, 50).astype(str).reshape(-1, 1)
    yield "unicode array, 50 labels", text, text.view(ndarray), None
    ints = rng.integers(-1000, 1000, size=(rows, 4))
    yield "int64 array, 4 columns", ints, ints.view(ndarray), None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print(f"rows={args.rows}  pandas {pd.__version__}  numpy {np.__version__}")
    print(f"{'case':40} {'direct s':>9} {'item s':>9} {'ratio':>6} {'values s':>9}")
    for name, direct, general, frame in cases(args.rows):
        fast = best(lambda: Encoder().encode(direct), args.repeat)
        slow = best(lambda: Encoder().encode(general), args.repeat)
        values = f"{best(lambda: frame.values, args.repeat):9.3f}" if frame is not None else ""
        print(f"{name:40} {fast:9.3f} {slow:9.3f} {slow / fast:6.1f} {values:>9}")


if __name__ == "__main__":
    main()
