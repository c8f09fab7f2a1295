"""Peak extra memory of encode on large inputs, as a multiple of the size of encode's output.

The peak during the call is read from VmHWM after resetting it (Linux /proc/self/clear_refs);
the extra is that peak less the resident size just before the call (after the allocators gave
back what they held freed), so it includes the output itself. Run each case in a fresh process:

    python bench/bench_memory.py frame [ROWS]    # 10^7 rows x 8 columns: 4 text, 4 float64
    python bench/bench_memory.py floats [ROWS]   # 10^7 rows x 10 float64 columns
    python bench/bench_memory.py A|B [ROWS] [FORM]  # a users' table (bench/user_tables.py), 4 x
                                                  # 10^6 rows; FORM: default (pandas 3), object
                                                  # (frame) or ndarray

The frame is the table as pandas builds it by default (on pandas 3 the text columns get its str
dtype, Arrow-backed when pyarrow is installed; object dtype on pandas 2), about 2% of text cells
missing. Targets: frame at most 1.5x the output; floats the output alone (1.0x, with 2% slack).
Prints one line; the exit status is 0 whatever the figures are.
"""

import ctypes
import gc
import sys
import time

import numpy as np

TARGETS = {"frame": 1.5, "floats": 1.02, "A": 1.5, "B": 1.5}
FORMS = {"default": "default frame", "object": "object frame", "ndarray": "object ndarray"}


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def trim():
    """Gives back what the allocators hold freed (glibc's heap, Arrow's pool), so that the call
    starts from the same state whatever building the input left: else the output may land on
    freed pages already in memory and seem to cost nothing, or not, from one run to the next."""
    gc.collect()
    try:
        import pyarrow

        pyarrow.default_memory_pool().release_unused()
    except ImportError:
        pass
    ctypes.CDLL(None).malloc_trim(0)


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def build(case, rows, form):
    if case in ("A", "B"):
        import user_tables

        forms = user_tables.make_forms(user_tables.make_columns(case, rows, 7))
        table = forms[FORMS[form]]
        del forms
        return table
    if case == "floats":
        return np.random.default_rng(1).normal(size=(rows, 10))
    import pandas as pd

    rng = np.random.default_rng(1)
    data = {}
    for i, distinct in enumerate((10, 1_000, 10_000, 100_000)):
        pool = np.array([f"label-{i}-{k:07d}" for k in range(distinct)], dtype=object)
        column = pool[rng.integers(0, distinct, rows)]
        column[rng.random(rows) < 0.02] = np.nan
        data[f"text{i}"] = column
    for i in range(4):
        data[f"num{i}"] = rng.normal(size=rows)
    return pd.DataFrame(data)


def main():
    case = sys.argv[1] if len(sys.argv) > 1 else "frame"
    if case not in TARGETS:
        sys.exit(f"usage: {sys.argv[0]} frame|floats|A|B [ROWS] [default|object|ndarray]")
    users = case in ("A", "B")
    rows = int(sys.argv[2]) if len(sys.argv) > 2 else (4_000_000 if users else 10_000_000)
    form = sys.argv[3] if len(sys.argv) > 3 else "default"
    from quorlin import Encoder

    gc.collect()
    before_input = status("VmRSS")
    data = build(case, rows, form)
    gc.collect()
    input_bytes = status("VmRSS") - before_input
    kinds = (sorted(set(map(str, data.dtypes))) if hasattr(data, "dtypes")
             else [f"{data.dtype} ndarray"])
    enc = Encoder()
    trim()
    before_call = status("VmRSS")
    reset_peak()
    start = time.perf_counter()
    out = enc.encode(data)
    seconds = time.perf_counter() - start
    peak_extra = status("VmHWM") - before_call
    output_bytes = int(out.memory_usage(deep=False).sum()) if hasattr(out, "memory_usage") \
        else out.nbytes
    ratio = peak_extra / output_bytes
    target = TARGETS[case]
    name = f"{case} {FORMS[form]}" if users else case
    print(f"{name}: {rows:,} rows ({', '.join(kinds)}), input {input_bytes / 2**20:.0f} MiB, "
          f"output {output_bytes / 2**20:.0f} MiB, peak extra during encode "
          f"{peak_extra / 2**20:.0f} MiB = {ratio:.3f}x output (target <={target:g}x: "
          f"{'met' if ratio <= target else 'MISSED'}), {seconds:.2f} s")


if __name__ == "__main__":
    main()
