"""Peak extra memory of encode on large inputs, as a multiple of the size of encode's output.

The peak during the call is read from VmHWM after resetting it (Linux /proc/self/clear_refs);
the extra is that peak less the resident size just before the call, so it includes the output
itself. Run each case in a fresh process:

    python bench/bench_memory.py frame [ROWS]    # 10^7 rows x 8 columns: 4 text, 4 float64
    python bench/bench_memory.py floats [ROWS]   # 10^7 rows x 10 float64 columns

The frame is the table as pandas builds it by default (on pandas 3 the text columns get its str
dtype, Arrow-backed when pyarrow is installed; object dtype on pandas 2), about 2% of text cells
missing. Targets: frame at most 1.5x the output; floats the output alone (1.0x, with 2% slack).
Prints one line; the exit status is 0 whatever the figures are.
"""

import gc
import sys
import time

import numpy as np

TARGETS = {"frame": 1.5, "floats": 1.02}


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def build(case, rows):
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
        sys.exit(f"usage: {sys.argv[0]} frame|floats [ROWS]")
    rows = int(sys.argv[2]) if len(sys.argv) > 2 else 10_000_000
    from quorlin import Encoder

    gc.collect()
    before_input = status("VmRSS")
    data = build(case, rows)
    gc.collect()
    input_bytes = status("VmRSS") - before_input
    kinds = (sorted(set(map(str, data.dtypes))) if hasattr(data, "dtypes")
             else [f"{data.dtype} ndarray"])
    enc = Encoder()
    gc.collect()
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
    print(f"{case}: {rows:,} rows ({', '.join(kinds)}), input {input_bytes / 2**20:.0f} MiB, "
          f"output {output_bytes / 2**20:.0f} MiB, peak extra during encode "
          f"{peak_extra / 2**20:.0f} MiB = {ratio:.3f}x output (target <={target:g}x: "
          f"{'met' if ratio <= target else 'MISSED'}), {seconds:.2f} s")


if __name__ == "__main__":
    main()
