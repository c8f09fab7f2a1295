"""Encode time against rows, log-log, for quorlin and three peers; writes a PNG and a CSV.

The table is bench_end_to_end.make_table's: 4 text columns (10, 1,000, 10,000 and 100,000
distinct labels, about 2% missing) and 4 float columns. quorlin encodes the whole DataFrame; the
peers encode only the 4 text columns:
  - pandas.factorize(sort=True) per text column,
  - scikit-learn's OrdinalEncoder().fit_transform on the text columns,
  - polars: each text column cast to pl.Enum of its sorted distinct labels, then to_physical
    (the conversion of the pandas table to polars is not timed).
Each point is the best of several runs (fewer for large tables); a peer whose time at some size
passed --peer-budget seconds is not run at larger sizes, and its legend entry says so.

    python bench/plot_scaling.py [--max-rows 10000000] [--out docs/encode_scaling.png]
"""

import argparse
import csv
import math
import pathlib
import platform
import sys
import time

import numpy as np
import pandas as pd

from bench_end_to_end import TEXT_NAMES, make_table, peer_encoders, pl
from quorlin import Encoder

try:
    import sklearn
except ImportError:  # pragma: no cover
    sklearn = None


def timed(fn, runs):
    best = math.inf
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def runs_for(rows):
    return 7 if rows <= 100_000 else 5 if rows <= 1_000_000 else 3 if rows <= 3_000_000 else 2


def methods(frame):
    found = {"quorlin Encoder().encode (whole table)": lambda: Encoder().encode(frame)}
    found.update(peer_encoders(frame[TEXT_NAMES]))
    return found


def sizes(max_rows):
    out, rows = [], 10_000
    while rows <= max_rows:
        out.append(rows)
        if rows * 3 <= max_rows:
            out.append(rows * 3)
        rows *= 10
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--max-rows", type=int, default=10_000_000)
    parser.add_argument("--peer-budget", type=float, default=30.0,
                        help="seconds; a peer slower than this is not run at larger sizes")
    parser.add_argument("--out", default="docs/encode_scaling.png")
    parser.add_argument("--csv", default="bench/out/encode_scaling.csv")
    args = parser.parse_args()

    times = {}  # method -> {rows: seconds}
    stopped = {}  # method -> last rows measured
    for rows in sizes(args.max_rows):
        frame = make_table(rows)
        for name, fn in methods(frame).items():
            if name in stopped:
                continue
            if rows <= 1_000_000:
                fn()  # warm-up (the first one also starts the thread pool)
            seconds = timed(fn, runs_for(rows))
            times.setdefault(name, {})[rows] = seconds
            print(f"{rows:>10,d} rows  {name:42s} {seconds * 1e3:10.1f} ms", flush=True)
            if not name.startswith("quorlin") and seconds > args.peer_budget:
                stopped[name] = rows
        del frame

    csv_path = pathlib.Path(args.csv)
    csv_path.parent.mkdir(parents=True, exist_ok=True)
    with csv_path.open("w", newline="") as handle:
        writer = csv.writer(handle)
        writer.writerow(["method", "rows", "seconds"])
        for name, points in times.items():
            for rows, seconds in points.items():
                writer.writerow([name, rows, f"{seconds:.6f}"])
    print(f"wrote {csv_path}")

    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7.5, 4.8), dpi=100)
    styles = ["o-", "s--", "^-.", "D:"]
    for (name, points), style in zip(times.items(), styles):
        label = name
        if name in stopped and stopped[name] < args.max_rows:
            label += f" (not run above {stopped[name]:,} rows: > {args.peer_budget:g} s)"
        ax.plot(list(points), list(points.values()), style, label=label, linewidth=1.6,
                markersize=5)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("rows (4 text + 4 float columns)")
    ax.set_ylabel("encode time, seconds (best of runs)")
    versions = [f"Python {platform.python_version()}", f"numpy {np.__version__}",
                f"pandas {pd.__version__}"]
    if sklearn is not None:
        versions.append(f"scikit-learn {sklearn.__version__}")
    if pl is not None:
        versions.append(f"polars {pl.__version__}")
    ax.set_title("Encoding the text columns of a table\n" + ", ".join(versions), fontsize=9)
    ax.grid(True, which="major", linewidth=0.6, alpha=0.6)
    ax.grid(True, which="minor", linewidth=0.3, alpha=0.3)
    ax.legend(fontsize=8, loc="upper left")
    fig.tight_layout()
    out = pathlib.Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out)
    # A 64-colour palette keeps the committed image small (about a third of the RGBA size).
    from PIL import Image
    with Image.open(out) as image:
        small = image.convert("RGB").quantize(colors=64, method=Image.Quantize.MEDIANCUT,
                                             dither=Image.Dither.NONE)
    small.save(out, optimize=True)
    print(f"wrote {out}")

    # A table for the README: time per method at each decade of rows.
    decades = [r for r in sizes(args.max_rows) if math.log10(r).is_integer()]
    print("\n| rows | " + " | ".join(times) + " |")
    print("|---:|" + "---:|" * len(times))
    for rows in decades:
        cells = [f"{points[rows] * 1e3:,.0f} ms" if rows in points else "—"
                 for points in times.values()]
        print(f"| {rows:,} | " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
