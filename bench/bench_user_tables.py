"""Encode/decode timings on tables with the characters users' text columns have, in one process.

Two kinds of table (bench/user_tables.py), --rows rows each (10^6 by default), 4 text and
4 float64 columns:
  - A: 50 Zipf-distributed labels with 2% NaN; 5,000 labels of 11-19 bytes; user_ ids with 20%
    of the rows distinct; 1,000 labels of 2- and 3-byte UTF-8 code points with 1% None;
  - B: "yes"/"no" with 30% the string "NaN"; 20,000 URL-like labels of 40-80 bytes with long
    shared prefixes; 16-character hex ids, half of the rows distinct; 10,000 emoji/CJK labels.
Each kind in three forms: pandas' default frame (pandas 3 only: str columns, Arrow-backed with
pyarrow; on pandas 2 the default frame is the object frame), the object frame (text columns
.astype(object), one str object per cell on pandas 3) and the object ndarray
(object_frame.to_numpy(dtype=object)).

Figures are ratios of medians over --runs rounds (7 by default) that alternate quorlin and the
peer, after one warm-up of each (bench_end_to_end's alternate). quorlin works on the whole
table; a peer gets the 4 text columns and its time is summed over them. The matrix of each kind
(ratio peer / quorlin, with targets):
  - encode, every form, against pd.factorize(sort=True) per text column (>=3x) and against
    scikit-learn's OrdinalEncoder().fit_transform (>=10x; skipped when scikit-learn is absent);
  - decode of each frame form against the plain object take, np.asarray(uniques,
    dtype=object).take(codes) per text column (>=1.2x);
  - decode of the object ndarray against OrdinalEncoder.inverse_transform of the text columns
    joined with the numeric columns as Python floats, as quorlin's output has them (>=2x);
  - the time of encoding the first form (pandas' default frame), quorlin's median of the
    factorize line: kind A at most 60 ms, kind B at most 100 ms at 10^6 rows, scaled linearly
    with --rows.
Then a per-column breakdown: each text column alone as a one-column default frame and as a
one-column object frame, encode against pd.factorize(sort=True) on that column, with the
table's target (>=3x) column by column, to show which column holds a kind back.

--seeds N repeats the matrix for N seeds (--seed, --seed + 1, ...) and prints, per line, the
worst and the median figure, judged on the median; the breakdown runs on --seed only. The exit
status is 0 whatever the figures are.

    python bench/bench_user_tables.py [--rows 1000000] [--runs 7] [--seed 7] [--seeds 1]
                                      [--kind A|B|both]
"""

import argparse
import gc
import statistics
import sys

import numpy as np
import pandas as pd

import user_tables
from bench_end_to_end import (FACTORIZE, HEADER, ORDINAL, OrdinalEncoder, Report, alternate,
                              describe_dtypes, numpy_decoder, peer_encoders, pyarrow, text_part)
from quorlin import Encoder

# The version of the scikit-learn whose OrdinalEncoder imported (one that fails halfway counts
# as absent, as bench_end_to_end counts it).
sklearn = sys.modules.get("sklearn") if OrdinalEncoder is not None else None

# ms at 10^6 rows for encoding the first form, scaled linearly with rows.
ENCODE_MS = {"A": 60.0, "B": 100.0}
ENCODE_TARGETS = ((FACTORIZE, "pd.factorize(sort=True)", 3.0),
                  (ORDINAL, "OrdinalEncoder.fit_transform", 10.0))
TAKE_TARGET = 1.2
INVERSE_TARGET = 2.0
COLUMN_TARGET = 3.0


class Matrix(Report):
    """A Report that also keeps each line's figure, so that several seeds can be summed up, and
    that prints only when asked (one seed: as the lines come)."""

    def __init__(self, verbose):
        super().__init__()
        self.verbose = verbose
        self.figures = {}  # (check, form) -> (figure, at_least, at_most, unit)

    def line(self, check, form, ours, theirs, ratio, at_least=None, at_most=None):
        self.figures[check, form] = (ratio, at_least, at_most, "x")
        if self.verbose:
            super().line(check, form, ours, theirs, ratio, at_least=at_least, at_most=at_most)
        else:
            self.total += 1
            self.met += ratio >= at_least if at_least is not None else ratio <= at_most

    def absolute(self, check, form, seconds, limit):
        """A time against a limit (seconds), in the columns of the ratio lines."""
        ok = seconds <= limit
        self.figures[check, form] = (seconds * 1e3, None, limit * 1e3, "ms")
        self.total += 1
        self.met += ok
        if self.verbose:
            target = f"<={limit * 1e3:.3g}ms"
            print(f"{check:<40s} {form:<16s} {seconds * 1e3:11.1f} {'':>11s} {'':>8s} "
                  f"{target:>8s}  {'met' if ok else 'MISSED'}", flush=True)

    def skipped(self, check, form, why):
        if self.verbose:
            print(f"{check:<40s} {form:<16s} ({why})", flush=True)


def matrix(kind, forms, rows, runs, report):
    """The matrix of one kind's forms into report."""
    first = next(iter(forms))

    # Encode, every form, against each peer.
    for form, table in forms.items():
        peers = peer_encoders(text_part(table), with_polars=False)
        for peer, short, target in ENCODE_TARGETS:
            check = f"encode vs {short}"
            if peer not in peers:
                report.skipped(check, form, "scikit-learn not installed")
                continue
            ours, theirs = alternate(lambda: Encoder().encode(table), peers[peer], runs)
            report.line(check, form, ours, theirs, theirs / ours, at_least=target)
            if form == first and peer == FACTORIZE:
                encode_time = ours
        del peers
        gc.collect()
    report.absolute("encode time (whole table)", first, encode_time,
                    ENCODE_MS[kind] / 1e3 * rows / 1e6)

    # Decode of the codes of each form.
    for form, table in forms.items():
        enc = Encoder()
        codes = enc.encode(table)
        text = text_part(table)
        if isinstance(table, pd.DataFrame):
            ours, theirs = alternate(lambda: enc.decode(codes), numpy_decoder(text), runs)
            report.line("decode vs object take", form, ours, theirs, theirs / ours,
                        at_least=TAKE_TARGET)
        elif OrdinalEncoder is None:
            report.skipped("decode vs inverse_transform + floats", form,
                           "scikit-learn not installed")
        else:
            ordinal = OrdinalEncoder()
            ordinal_codes = ordinal.fit_transform(text)
            texts = ordinal_codes.shape[1]
            numeric = codes[:, texts:]

            def inverse():
                # quorlin's ndarray output holds each numeric cell as a Python float: so must
                # the peer's.
                out = np.empty(codes.shape, dtype=object)
                out[:, :texts] = ordinal.inverse_transform(ordinal_codes)
                out[:, texts:] = numeric
                return out

            ours, theirs = alternate(lambda: enc.decode(codes), inverse, runs)
            report.line("decode vs inverse_transform + floats", form, ours, theirs,
                        theirs / ours, at_least=INVERSE_TARGET)
            del ordinal, ordinal_codes
        del enc, codes
        gc.collect()


def breakdown(kind, columns, runs, report):
    """Each text column alone, one-column default frame and object frame, against factorize."""
    for name, description in zip(user_tables.TEXT_NAMES, user_tables.DESCRIPTIONS[kind]):
        default = pd.DataFrame({name: columns[name]})
        tables = {}
        if user_tables.PANDAS3:
            tables["default frame"] = default
        tables["object frame"] = default.astype(object)
        for form, table in tables.items():
            series = table[name]
            ours, theirs = alternate(lambda: Encoder().encode(table),
                                     lambda: pd.factorize(series, sort=True), runs)
            report.line(f"{kind}.{name} {description}", form, ours, theirs, theirs / ours,
                        at_least=COLUMN_TARGET)
        del tables, default
        gc.collect()


def describe_columns(columns):
    """Distinct labels, missing cells and label bytes of each text column (from a sample)."""
    for name in user_tables.TEXT_NAMES:
        column = pd.Series(columns[name], dtype=object)
        present = column.dropna()
        sample = present.iloc[:10_000].map(lambda s: len(s.encode())) if len(present) else None
        sizes = (f"{sample.min()}-{sample.max()} B, mean {sample.mean():.1f}"
                 if sample is not None else "-")
        print(f"  {name}: {column.nunique():,} distinct, {column.isna().mean():.1%} missing, "
              f"labels {sizes}")


def summary(kind, figures_by_seed, report):
    """Worst and median figure of each line over the seeds, judged on the median."""
    head = (f"{'check':<40s} {'form':<16s} {'worst':>10s} {'median':>10s} {'target':>9s}  "
            f"result")
    print(f"kind {kind}, {len(figures_by_seed)} seeds")
    print(head)
    print("-" * len(head))
    for key in figures_by_seed[0]:
        check, form = key
        values = [figures[key][0] for figures in figures_by_seed if key in figures]
        _, at_least, at_most, unit = figures_by_seed[0][key]
        middle = statistics.median(values)
        if at_least is not None:
            worst = min(values)
            ok, worst_ok = middle >= at_least, worst >= at_least
            target = f">={at_least:g}{unit}"
        else:
            worst = max(values)
            ok, worst_ok = middle <= at_most, worst <= at_most
            target = f"<={at_most:.3g}{unit}"
        report.total += 1
        report.met += ok
        result = "met" if ok else "MISSED"
        if ok and not worst_ok:
            result += " (worst missed)"
        print(f"{check:<40s} {form:<16s} {worst:9.2f}{unit:<1s} {middle:9.2f}{unit:<1s} "
              f"{target:>9s}  {result}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--seeds", type=int, default=1,
                        help="repeat the matrix for this many seeds; report worst and median")
    parser.add_argument("--kind", choices=("A", "B", "both"), default="both")
    args = parser.parse_args()
    kinds = ("A", "B") if args.kind == "both" else (args.kind,)
    seeds = [args.seed + i for i in range(max(1, args.seeds))]
    several = len(seeds) > 1

    print(f"pandas {pd.__version__}, numpy {np.__version__}, "
          f"pyarrow {pyarrow.__version__ if pyarrow else 'absent'}, "
          f"scikit-learn {sklearn.__version__ if sklearn else 'absent (its lines are skipped)'}, "
          f"rows {args.rows:,}, runs {args.runs}, seeds {', '.join(map(str, seeds))}")
    print("ratio: peer / quorlin (above 1: quorlin is faster); quorlin encodes and decodes the "
          "whole table, a peer the 4 text columns")
    total = Report()

    for kind in kinds:
        figures_by_seed = []
        for seed in seeds:
            columns = user_tables.make_columns(kind, args.rows, seed)
            forms = user_tables.make_forms(columns)
            print()
            if seed == seeds[0]:
                print(f"kind {kind}, seed {seed}")
                describe_columns(columns)
                for form, table in forms.items():
                    print(f"  {form:16s} {describe_dtypes(table)}")
            report = Matrix(verbose=not several)
            if several:
                print(f"kind {kind}, seed {seed}: matrix ...", end=" ", flush=True)
            else:
                print(HEADER)
                print("-" * len(HEADER))
            matrix(kind, forms, args.rows, args.runs, report)
            if several:
                print(f"{report.met} of {report.total} targets met", flush=True)
            else:
                total.met += report.met
                total.total += report.total
            figures_by_seed.append(report.figures)
            del forms
            gc.collect()
            if seed == seeds[0]:
                first_columns = columns
            del columns
        if several:
            print()
            summary(kind, figures_by_seed, total)
        print()
        print(f"kind {kind}, seed {seeds[0]}: each text column alone, encode vs "
              f"pd.factorize(sort=True)")
        print(HEADER)
        print("-" * len(HEADER))
        breakdown(kind, first_columns, args.runs, total)
        del first_columns
        gc.collect()

    print()
    print(f"targets met: {total.met} of {total.total}")
    return 0


if __name__ == "__main__":
    main()
