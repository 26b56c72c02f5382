"""The loss written the way a NumPy user would write it, vectorised, for comparison.

    python3 numpy_peer.py CASE_FILE     prints: loss, then ns per entry (best of 3)

The case file is the one bench/case_tool writes: int64 n, d, nnz; float64 y (n*d),
row indices (nnz), column counts (n), values (nnz), z.
"""
import sys
import time

import numpy as np


def read_case(path):
    raw = np.fromfile(path, dtype=np.float64)
    n, d, nnz = raw[:3].view(np.int64)
    at = 3
    parts = []
    for size in (n * d, nnz, n, nnz, 1):
        parts.append(raw[at:at + size])
        at += size
    y, rows, counts, values, z = parts
    return y.reshape(n, d), rows, counts, values, float(z[0])


def loss(y, rows, counts, values, z):
    columns = np.repeat(np.arange(len(counts)), counts.astype(np.int64))
    diff = y[columns] - y[rows.astype(np.int64) - 1]
    s = 1.0 + np.einsum("ij,ij->i", diff, diff)
    return float(np.sum(values * np.log(values * s * z)))


def main():
    y, rows, counts, values, z = read_case(sys.argv[1])
    best = float("inf")
    result = 0.0
    for _ in range(3):
        start = time.perf_counter()
        result = loss(y, rows, counts, values, z)
        best = min(best, time.perf_counter() - start)
    print(repr(result))
    print(f"{best * 1e9 / len(values):.3f}")


if __name__ == "__main__":
    main()
