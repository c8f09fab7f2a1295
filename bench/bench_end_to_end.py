"""End-to-end encode/decode timings against pandas, scikit-learn, polars and NumPy, in one process.

The table: --rows rows (10^6 by default), 4 text columns (10, 1,000, 10,000 and 100,000 distinct
labels, about 2% of cells missing as NaN) and 4 float64 columns, in these forms:
  - "default frame" (pandas 3 only): pd.DataFrame(data) as pandas builds it; the text columns
    get pandas' str dtype (Arrow-backed when pyarrow is installed);
  - "object frame": the same table with text columns of object dtype (the default on pandas 2);
  - "object ndarray": object_frame.to_numpy(dtype=object), 8 columns.

Every figure is a ratio of medians over --runs rounds (7 by default) in which quorlin and the
peer alternate: round i times quorlin once, then the peer once, after one warm-up of each.
quorlin works on the whole table (8 columns); a peer gets only the 4 text columns, and its time
is summed over them. Each line of the printed table says whether its target is met; the exit
status is 0 whatever the figures are. The lines, with their targets (ratio peer / quorlin unless
said otherwise):
  - encode, every form, against pd.factorize(sort=True) per text column (>=3x), the polars Enum
    cast of each column to its sorted labels then to_physical (>=3x; the conversion of the table
    to polars is not timed) and scikit-learn's OrdinalEncoder().fit_transform (>=10x);
  - decode of each frame form's codes against OrdinalEncoder.inverse_transform (>=2x) and the
    plain NumPy decode, labels.take(codes) per text column (>=1x);
  - decode of the object ndarray's codes against OrdinalEncoder.inverse_transform (>=1x);
  - encode of a C-contiguous float64 array (rows x 8) against a.copy(), as quorlin / copy (<=1.1x);
  - hard one-column tables (99% missing; every label distinct; 1,000 labels of about 120 bytes),
    each frame form, against pd.factorize(sort=True) (>=1x);
  - with --scaling: encode of the default frame at 10x --rows against --rows, median of 3 (<=11x).

    python bench/bench_end_to_end.py [--rows 1000000] [--runs 7] [--scaling]
"""

import argparse
import gc
import statistics
import time

import numpy as np
import pandas as pd

from quorlin import Encoder

try:
    import polars as pl
except ImportError:  # pragma: no cover
    pl = None
try:
    import pyarrow
except ImportError:  # pragma: no cover
    pyarrow = None
try:
    from sklearn.preprocessing import OrdinalEncoder
except ImportError:  # pragma: no cover
    OrdinalEncoder = None

CARDINALITIES = (10, 1_000, 10_000, 100_000)
TEXT_NAMES = [f"text{i}" for i in range(len(CARDINALITIES))]
NUMBER_NAMES = [f"num{i}" for i in range(4)]
PANDAS3 = int(pd.__version__.split(".")[0]) >= 3


# --- tables -----------------------------------------------------------------------------------

def make_columns(rows, seed=7):
    """The table's columns by name: object arrays of str (NaN where missing), then float64."""
    rng = np.random.default_rng(seed)
    data = {}
    for i, distinct in enumerate(CARDINALITIES):
        pool = np.array([f"label-{i}-{k:07d}-{rng.integers(1 << 30):x}" for k in range(distinct)],
                        dtype=object)
        column = pool[rng.integers(0, distinct, rows)]
        column[rng.random(rows) < 0.02] = np.nan
        data[TEXT_NAMES[i]] = column
    for name in NUMBER_NAMES:
        data[name] = rng.normal(size=rows)
    return data


def make_table(rows, seed=7):
    """The table as pandas builds it by default (on pandas 3 the text columns get dtype str)."""
    return pd.DataFrame(make_columns(rows, seed))


def object_frame(columns):
    """A DataFrame of the columns with every object column kept as object dtype (pandas 3 turns
    object arrays of str into its str dtype unless told dtype=object)."""
    return pd.DataFrame({name: pd.Series(col, dtype=object) if col.dtype == object else col
                         for name, col in columns.items()})


def make_forms(rows, seed=7):
    """The table's forms by name: default frame (pandas 3), object frame, object ndarray."""
    columns = make_columns(rows, seed)
    forms = {}
    if PANDAS3:
        forms["default frame"] = pd.DataFrame(columns)
    forms["object frame"] = object_frame(columns)
    forms["object ndarray"] = forms["object frame"].to_numpy(dtype=object)
    return forms


def text_part(table):
    """What a peer gets: the text columns only (a DataFrame, or a 2-D object array)."""
    if isinstance(table, pd.DataFrame):
        return table[TEXT_NAMES]
    return table[:, :len(TEXT_NAMES)]


def text_columns(text):
    """The text columns one by one (Series of a frame, 1-D views of an array)."""
    if isinstance(text, pd.DataFrame):
        return [text[c] for c in text.columns]
    return [text[:, i] for i in range(text.shape[1])]


def describe_dtypes(table):
    if isinstance(table, np.ndarray):
        return f"ndarray {table.dtype} {table.shape[0]}x{table.shape[1]}"
    kinds = {}
    for name, dtype in table.dtypes.items():
        kind = str(dtype)
        if isinstance(dtype, pd.StringDtype):
            kind = f"{dtype} (StringDtype, storage {dtype.storage}, missing {dtype.na_value})"
        kinds.setdefault(kind, []).append(name)
    return ", ".join(f"{kind} x{len(names)}" for kind, names in kinds.items())


# --- peers ------------------------------------------------------------------------------------

def to_polars(text):
    """A polars DataFrame of the text columns, None where missing (untimed conversion)."""
    columns = text_columns(text)
    return pl.DataFrame({f"c{i}": pd.Series(col, dtype=object).where(pd.notna(col), None).tolist()
                         for i, col in enumerate(columns)},
                        schema={f"c{i}": pl.String for i in range(len(columns))})


FACTORIZE = "pandas.factorize(sort=True) per text column"
POLARS = "polars Enum cast + to_physical"
ORDINAL = "sklearn OrdinalEncoder.fit_transform"


def peer_encoders(text, with_polars=True):
    """The peers' ways to encode the text columns, by name; each gets only the text columns
    (a DataFrame or a 2-D object array). with_polars=False spares the untimed conversion to
    polars for a caller that does not time that peer."""
    columns = text_columns(text)
    found = {FACTORIZE: lambda: [pd.factorize(c, sort=True) for c in columns]}
    if pl is not None and with_polars:
        ptext = to_polars(text)  # the conversion to polars is not timed

        def polars_encode():
            out = []
            for c in ptext.columns:
                labels = ptext[c].drop_nulls().unique().sort()
                out.append(ptext[c].cast(pl.Enum(labels)).to_physical())
            return out

        found[POLARS] = polars_encode
    if OrdinalEncoder is not None:
        found[ORDINAL] = lambda: OrdinalEncoder().fit_transform(text)
    return found


# The encode peers: name (as peer_encoders gives it), short name for the table, target ratio.
ENCODE_PEERS = ((FACTORIZE, "pd.factorize(sort=True)", 3.0),
                (POLARS, "polars Enum cast", 3.0),
                (ORDINAL, "OrdinalEncoder.fit_transform", 10.0))


def numpy_decoder(text):
    """The plain NumPy decode of the text columns: per column, the sorted labels of
    pd.factorize(sort=True) with None appended (the index of the missing cells), taken by the
    codes as intp. Everything but the take is prepared untimed."""
    tables, codes = [], []
    for column in text_columns(text):
        code, uniques = pd.factorize(column, sort=True)
        table = np.empty(len(uniques) + 1, dtype=object)
        table[:-1] = np.asarray(uniques, dtype=object)
        table[-1] = None
        code = code.astype(np.intp)
        code[code < 0] = len(uniques)
        tables.append(table)
        codes.append(code)
    return lambda: [np.asarray(t, dtype=object).take(c) for t, c in zip(tables, codes)]


# --- timing -----------------------------------------------------------------------------------

def timed(fn):
    gc.collect()
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def alternate(ours, theirs, runs, warmup=True):
    """Median seconds of ours and of theirs over `runs` rounds that time each once, in turn."""
    if warmup:
        ours()
        theirs()
    a, b = [], []
    for _ in range(runs):
        a.append(timed(ours))
        b.append(timed(theirs))
    return statistics.median(a), statistics.median(b)


# --- report -----------------------------------------------------------------------------------

HEADER = (f"{'check':<40s} {'form':<16s} {'quorlin ms':>11s} {'peer ms':>11s} {'ratio':>8s} "
          f"{'target':>8s}  result")


class Report:
    def __init__(self):
        self.met = 0
        self.total = 0

    def line(self, check, form, ours, theirs, ratio, at_least=None, at_most=None):
        ok = ratio >= at_least if at_least is not None else ratio <= at_most
        target = f">={at_least:g}x" if at_least is not None else f"<={at_most:g}x"
        self.total += 1
        self.met += ok
        print(f"{check:<40s} {form:<16s} {ours * 1e3:11.1f} {theirs * 1e3:11.1f} {ratio:7.2f}x "
              f"{target:>8s}  {'met' if ok else 'MISSED'}", flush=True)


def hard_columns(rows, seed=11):
    """One-column tables that are hard on an encoder, by name (object arrays, NaN missing)."""
    rng = np.random.default_rng(seed)
    pool = np.array([f"sparse-{k:05d}" for k in range(1_000)], dtype=object)
    sparse = pool[rng.integers(0, len(pool), rows)]
    sparse[rng.random(rows) < 0.99] = np.nan
    distinct = np.array([f"row-{k:09d}-{rng.integers(1 << 30):x}" for k in range(rows)],
                        dtype=object)[rng.permutation(rows)]
    stem = "long-label " + "x" * 100
    long_pool = np.array([f"{stem}-{rng.integers(1 << 30):08x}-{k:04d}" for k in range(1_000)],
                         dtype=object)
    long = long_pool[rng.integers(0, len(long_pool), rows)]
    return {"99% missing": sparse, "every label distinct": distinct,
            f"{len(long_pool[0])}-byte labels, 1,000": long}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--scaling", action="store_true",
                        help="also time the default frame at 10x --rows (median of 3)")
    args = parser.parse_args()
    runs = args.runs

    forms = make_forms(args.rows)
    print(f"pandas {pd.__version__}, numpy {np.__version__}, "
          f"pyarrow {pyarrow.__version__ if pyarrow else 'absent'}, "
          f"polars {pl.__version__ if pl else 'absent'}, rows {args.rows:,}, runs {runs}")
    for name, table in forms.items():
        print(f"  {name:16s} {describe_dtypes(table)}")
    print("ratio: peer / quorlin (above 1: quorlin is faster), except where the check says "
          "otherwise")
    print()
    print(HEADER)
    print("-" * len(HEADER))
    report = Report()

    # Encode, every form, against each peer.
    peers = {form: peer_encoders(text_part(table)) for form, table in forms.items()}
    for peer, short, target in ENCODE_PEERS:
        for form, table in forms.items():
            fn = peers[form].get(peer)
            if fn is None:
                print(f"{'encode vs ' + short:<40s} {form:<16s} (peer not installed)")
                continue
            ours, theirs = alternate(lambda: Encoder().encode(table), fn, runs)
            report.line(f"encode vs {short}", form, ours, theirs, theirs / ours, at_least=target)
    del peers

    # Decode of the codes of each form.
    for form, table in forms.items():
        enc = Encoder()
        codes = enc.encode(table)
        text = text_part(table)
        frame = isinstance(table, pd.DataFrame)
        if OrdinalEncoder is not None:
            ordinal = OrdinalEncoder()
            ordinal_codes = ordinal.fit_transform(text)
            ours, theirs = alternate(lambda: enc.decode(codes),
                                     lambda: ordinal.inverse_transform(ordinal_codes), runs)
            report.line("decode vs OrdinalEncoder.inverse", form, ours, theirs, theirs / ours,
                        at_least=2.0 if frame else 1.0)
        if frame:
            ours, theirs = alternate(lambda: enc.decode(codes), numpy_decoder(text), runs)
            report.line("decode vs NumPy take", form, ours, theirs, theirs / ours, at_least=1.0)
        del enc, codes
    first = next(iter(forms))

    # The float64 path against a plain copy.
    floats = np.random.default_rng(3).normal(size=(args.rows, 8))
    ours, theirs = alternate(lambda: Encoder().encode(floats), floats.copy, runs)
    report.line("float64 encode / a.copy()", "float64 ndarray", ours, theirs, ours / theirs,
                at_most=1.1)
    del floats

    # Hard columns, one-column tables.
    for check, column in hard_columns(args.rows).items():
        tables = {}
        if PANDAS3:
            tables["default frame"] = pd.DataFrame({"text": column})
        tables["object frame"] = pd.DataFrame({"text": pd.Series(column, dtype=object)})
        for form, table in tables.items():
            series = table["text"]
            ours, theirs = alternate(lambda: Encoder().encode(table),
                                     lambda: pd.factorize(series, sort=True), runs)
            report.line(f"hard: {check}", form, ours, theirs, theirs / ours, at_least=1.0)
        del tables, column

    # Scaling: the default frame (the first form) at 10x rows against rows.
    if args.scaling:
        small = forms[first]
        big = make_table(args.rows * 10)  # the default frame (object frame on pandas 2)
        slow, fast = alternate(lambda: Encoder().encode(big), lambda: Encoder().encode(small), 3)
        del big
        gc.collect()
        report.line("scaling: encode 10x rows / rows", first, slow, fast, slow / fast,
                    at_most=11.0)
        print("  (scaling: 'quorlin ms' is at 10x rows, 'peer ms' is quorlin at rows)")

    print()
    print(f"targets met: {report.met} of {report.total}")
    return 0


if __name__ == "__main__":
    main()
