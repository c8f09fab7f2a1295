"""End-to-end encode/decode timings against pandas, scikit-learn and polars, in one process.

10^6 rows x 8 columns: 4 text columns (10, 1,000, 10,000 and 100,000 distinct labels, about 2% of
cells missing) and 4 float columns, as a DataFrame and as an object ndarray. Best of 5 after a
warm-up; prints times and ratios (peer time / quorlin time, above 1 means quorlin is faster).
"""

import argparse
import time

import numpy as np
import pandas as pd

from quorlin import Encoder

try:
    import polars as pl
except ImportError:  # pragma: no cover
    pl = None
try:
    from sklearn.preprocessing import OrdinalEncoder
except ImportError:  # pragma: no cover
    OrdinalEncoder = None

CARDINALITIES = (10, 1_000, 10_000, 100_000)
TEXT_NAMES = [f"text{i}" for i in range(len(CARDINALITIES))]


def make_table(rows, seed=7):
    rng = np.random.default_rng(seed)
    data = {}
    for i, distinct in enumerate(CARDINALITIES):
        pool = np.array([f"label-{i}-{k:07d}-{rng.integers(1 << 30):x}" for k in range(distinct)],
                        dtype=object)
        column = pool[rng.integers(0, distinct, rows)]
        column[rng.random(rows) < 0.02] = np.nan
        data[f"text{i}"] = column
    for i in range(4):
        data[f"num{i}"] = rng.normal(size=rows)
    return pd.DataFrame(data)


def peer_encoders(text):
    """The peers' ways to encode the text columns, by name; each gets only the text columns."""
    found = {"pandas.factorize(sort=True) per text column": lambda: [
        pd.factorize(text[c], sort=True) for c in text.columns]}
    if OrdinalEncoder is not None:
        found["sklearn OrdinalEncoder.fit_transform"] = lambda: OrdinalEncoder().fit_transform(text)
    if pl is not None:
        # The conversion to polars is not timed.
        ptext = pl.from_pandas(text.astype(object).where(text.notna(), None))

        def polars_encode():
            out = []
            for c in ptext.columns:
                labels = ptext[c].drop_nulls().unique().sort()
                out.append(ptext[c].cast(pl.Enum(labels)).to_physical())
            return out

        found["polars Enum cast + to_physical"] = polars_encode
    return found


def best(fn, runs=5):
    fn()  # warm-up
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    frame = make_table(args.rows)
    text = frame[TEXT_NAMES]
    array = frame.to_numpy(dtype=object)
    print(f"pandas {pd.__version__}, numpy {np.__version__}, rows {args.rows}, "
          f"frame dtypes: {sorted(set(map(str, frame.dtypes)))}")

    results = {}
    results["quorlin encode (DataFrame)"] = best(lambda: Encoder().encode(frame), args.runs)
    results["quorlin encode (object ndarray)"] = best(lambda: Encoder().encode(array), args.runs)
    for name, fn in peer_encoders(text).items():
        results[name] = best(fn, args.runs)

    enc = Encoder()
    encoded = enc.encode(frame)
    results["quorlin decode (DataFrame)"] = best(lambda: enc.decode(encoded), args.runs)
    if OrdinalEncoder is not None:
        ordinal = OrdinalEncoder()
        codes = ordinal.fit_transform(text)
        results["sklearn OrdinalEncoder.inverse_transform"] = best(
            lambda: ordinal.inverse_transform(codes), args.runs)

    for name, seconds in results.items():
        print(f"{name:48s} {seconds * 1e3:9.1f} ms")
    ours = results["quorlin encode (DataFrame)"]
    ours_array = results["quorlin encode (object ndarray)"]
    print()
    for name in results:
        if name.startswith("quorlin"):
            continue
        base = results["quorlin decode (DataFrame)"] if "inverse" in name else ours
        print(f"ratio {name:42s} / quorlin: {results[name] / base:6.2f}x"
              + ("" if "inverse" in name else f"   (vs ndarray input {results[name] / ours_array:6.2f}x)"))


if __name__ == "__main__":
    main()
