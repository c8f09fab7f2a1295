"""Encodes and decodes the Palmer penguins table and shows what happened.

The data set ships with the `palmerpenguins` package: 344 penguins, three text columns
(species, island, sex, with missing values in sex) and five numeric ones.
"""

import copy
import time

import numpy as np
import pandas as pd
from palmerpenguins import load_penguins

from quorlin import Encoder


def best_of(runs, fn):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    penguins = load_penguins()
    print(f"Palmer penguins: {penguins.shape[0]} rows x {penguins.shape[1]} columns")
    print(penguins.head(4).to_string(), "\n")

    enc = Encoder()
    codes = enc.encode(penguins)
    print("encode() -> every column float64; text columns hold codes in byte order of labels:")
    print(codes.head(4).to_string(), "\n")

    text_columns = [c for c in penguins.columns
                    if not pd.api.types.is_numeric_dtype(penguins[c].dtype)]
    for column in text_columns:
        labels = sorted(str(v) for v in penguins[column].dropna().unique())
        table = ", ".join(f"{code}={label}" for code, label in enumerate(labels))
        missing = int(codes[column].isna().sum())
        print(f"  {column:8s} {table}   (missing: {missing} rows -> NaN)")

    decoded = enc.decode(codes)
    print("\ndecode(codes) -> labels back, None where a label was missing:")
    print(decoded.head(4).to_string(), "\n")

    ok = True
    for column in penguins.columns:
        if column in text_columns:
            want = [None if pd.isna(v) else str(v) for v in penguins[column]]
            ok &= decoded[column].tolist() == want
        else:
            ok &= np.allclose(decoded[column].to_numpy(float), penguins[column].to_numpy(float),
                              equal_nan=True)
    print("round trip exact:", ok)

    clone = copy.deepcopy(enc)
    state = enc.__getstate__()
    print(f"state bytes: {len(state)}; a deep copy decodes the same: "
          f"{clone.decode(codes).equals(decoded)}")

    # Timing on the same table repeated to a million rows (the rows are the real ones).
    big = pd.concat([penguins] * (1_000_000 // len(penguins) + 1), ignore_index=True)
    big = big.iloc[:1_000_000]
    t_ours = best_of(3, lambda: Encoder().encode(big))
    t_factorize = best_of(3, lambda: [pd.factorize(big[c], sort=True) for c in text_columns])
    print(f"\n1,000,000 rows x {big.shape[1]} columns: quorlin encode {t_ours * 1e3:.1f} ms "
          f"(whole table); pandas.factorize(sort=True) on the {len(text_columns)} text columns "
          f"{t_factorize * 1e3:.1f} ms")
    if not ok:
        raise SystemExit(1)


if __name__ == "__main__":
    main()
