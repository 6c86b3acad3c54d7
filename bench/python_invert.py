#!/usr/bin/env python3
"""invert through the Python module beside invert in C++, and svd_inverse beside
numpy.linalg.pinv, on one matrix, in one run.

    python_invert.py BUILD_DIR [--shape 500x250] [--repeats 21] [--rounds 3]

Writes a random float32 matrix file, then, in alternating rounds, times
invert_timing (C++: load_file once, invert REPEATS times) and
zub_feedback.invert on the array that zub_feedback.load gives for the same
file, and prints the median of each, in ms, and their ratio. Beside them,
from the same Python calls, the wrapper's own cost: each call's time less
the time that the library measured for its invert ("took (ms)"), which
does not depend on what else the machine runs. Then, in alternating
calls, zub_feedback.svd_inverse and numpy.linalg.pinv on the same float64
matrix with the same rcond, and the ratio of their medians. One BLAS
thread, as in `make bench`.
"""

import argparse
import logging
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

for var in ("OPENBLAS_NUM_THREADS", "GOTO_NUM_THREADS", "OMP_NUM_THREADS"):
    os.environ[var] = "1"  # before the module loads the BLAS

import numpy as np


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", type=pathlib.Path)
    parser.add_argument("--shape", default="500x250")
    parser.add_argument("--repeats", type=int, default=21)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    rows, cols = map(int, args.shape.split("x"))
    sys.path.insert(0, str(args.build / "python"))
    import zub_feedback as zf

    took = []  # the library's own time of each invert, from its record

    class Took(logging.Handler):
        def emit(self, record):
            text = record.getMessage()
            if text.startswith("took (ms): "):
                took.append(float(text.split(":")[1]))

    log = logging.getLogger("zub_feedback")
    log.addHandler(Took())
    log.setLevel(logging.DEBUG)

    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "matrix.txt"
        rng = np.random.default_rng(2024)
        np.savetxt(path, rng.standard_normal((rows, cols)).astype(np.float32),
                   fmt="%.9g")
        matrix = zf.load(path, rows, cols)
        cpp, python, wrapper = [], [], []
        for _ in range(args.rounds):
            done = subprocess.run(
                [str(args.build / "bench" / "invert_timing"), str(path),
                 str(rows), str(cols), str(args.repeats)],
                check=True, capture_output=True, text=True)
            cpp.append(float(done.stdout))
            times = []
            for _ in range(args.repeats):
                t0 = time.perf_counter()
                zf.invert(matrix)
                times.append((time.perf_counter() - t0) * 1e3)
                wrapper.append(times[-1] - took[-1])
            python.append(statistics.median(times))
    c, p = statistics.median(cpp), statistics.median(python)
    print(f"invert {rows} x {cols}, median of {args.repeats} per round, "
          f"{args.rounds} rounds, one BLAS thread")
    print(f"  C++     {c:9.3f} ms   (rounds: {', '.join(f'{x:.3f}' for x in cpp)})")
    print(f"  Python  {p:9.3f} ms   (rounds: {', '.join(f'{x:.3f}' for x in python)})")
    print(f"  ratio   {p / c:9.4f}   (Python / C++)")
    w = statistics.median(wrapper)
    print(f"  wrapper {w:9.3f} ms   per call: the Python call less the library's "
          f"own time of its invert, {100 * w / p:.2f} % of the call")

    # The fast inverse against numpy's, call by call in turn, each first
    # every other time (the second of a pair finds the caches warm), so
    # that a loaded machine slows both alike.
    m64 = np.asarray(matrix, dtype=np.float64)
    calls = {"fast": lambda: zf.svd_inverse(m64, rcond=1e-15),
             "numpy": lambda: np.linalg.pinv(m64, rcond=1e-15)}
    times = {"fast": [], "numpy": []}
    for k in range(args.rounds * args.repeats):
        for name in ("fast", "numpy") if k % 2 else ("numpy", "fast"):
            t0 = time.perf_counter()
            calls[name]()
            times[name].append((time.perf_counter() - t0) * 1e3)
    fast, numpy_pinv = times["fast"], times["numpy"]
    f, n = statistics.median(fast), statistics.median(numpy_pinv)
    print(f"svd_inverse {rows} x {cols}, median of {len(fast)} alternating calls")
    print(f"  svd_inverse        {f:9.3f} ms")
    print(f"  numpy.linalg.pinv  {n:9.3f} ms")
    print(f"  ratio              {f / n:9.4f}   (svd_inverse / numpy)")


if __name__ == "__main__":
    main()
