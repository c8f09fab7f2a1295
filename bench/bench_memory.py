"""Peak extra memory of encode on large inputs, as a multiple of the input's own memory.

The input's memory is the growth of the resident size while it is built; the peak during the
call is read from VmHWM after resetting it (Linux /proc/self/clear_refs). Run each case in a
fresh process: `python bench/bench_memory.py frame` (10^7 rows x 8 columns: 4 object text
columns, 4 float columns) or `python bench/bench_memory.py floats` (10^8 float64 cells).
"""

import gc
import sys
import time

import numpy as np


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
        data[f"text{i}"] = pool[rng.integers(0, distinct, rows)]
    for i in range(4):
        data[f"num{i}"] = rng.normal(size=rows)
    return pd.DataFrame(data)


def main():
    case = sys.argv[1] if len(sys.argv) > 1 else "frame"
    rows = int(sys.argv[2]) if len(sys.argv) > 2 else (10_000_000 if case == "frame" else 10_000_000)
    from quorlin import Encoder

    gc.collect()
    before_input = status("VmRSS")
    data = build(case, rows)
    gc.collect()
    input_bytes = status("VmRSS") - before_input
    enc = Encoder()
    gc.collect()
    before_call = status("VmRSS")
    reset_peak()
    start = time.perf_counter()
    out = enc.encode(data)
    seconds = time.perf_counter() - start
    peak_extra = status("VmHWM") - before_call
    output_bytes = out.memory_usage(deep=False).sum() if hasattr(out, "memory_usage") else out.nbytes
    print(f"{case}: {rows} rows, input {input_bytes / 2**20:.0f} MiB, output "
          f"{output_bytes / 2**20:.0f} MiB, peak extra during encode "
          f"{peak_extra / 2**20:.0f} MiB = {peak_extra / input_bytes:.2f}x input, {seconds:.2f} s")


if __name__ == "__main__":
    main()
