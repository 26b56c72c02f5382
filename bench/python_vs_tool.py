"""Times tsneloss.kl_divergence on arrays in memory next to the tsneloss program
reading the same data from text files, with Z given to both (no normaliser in
either), and checks that both give the same bits.

    /usr/bin/python3 bench/python_vs_tool.py [N] [DIR]     (default N = 100000)

The case: a 2-D embedding of N points and a P with 90 entries in each column at
random rows, values adding to 1, held as a SciPy CSR matrix; text files written to
DIR (default: a temporary directory, removed afterwards). The package comes from the
import path (scripts/example.sh sets it up), the program from build/dev/bin.
"""
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np
import scipy.sparse

import tsneloss

NEIGHBOURS = 90
Z = 12345.678
REPEATS = 3
TOOL = pathlib.Path(__file__).resolve().parents[1] / "build" / "dev" / "bin" / "tsneloss"


def make_case(n):
    rng = np.random.default_rng(2026)
    Y = rng.normal(scale=30, size=(n, 2))
    rows = rng.integers(0, n, n * NEIGHBOURS)
    values = rng.uniform(0.1, 1.0, n * NEIGHBOURS)
    values /= values.sum()
    P = scipy.sparse.csc_matrix((values, rows, np.arange(0, n * NEIGHBOURS + 1, NEIGHBOURS)), shape=(n, n))
    return Y, P.tocsr()


def write_text(directory, Y, P):
    np.savetxt(directory / "y.txt", Y, fmt="%.17g")
    coo = P.tocoo()
    with open(directory / "p.mtx", "w") as out:
        out.write(f"%%MatrixMarket matrix coordinate real general\n{P.shape[0]} {P.shape[1]} {coo.nnz}\n")
        np.savetxt(out, np.column_stack([coo.row + 1, coo.col + 1, coo.data]), fmt="%d %d %.17g")


def best_of(repeats, action):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = action()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    n = int(float(sys.argv[1])) if len(sys.argv) > 1 else 100_000
    with tempfile.TemporaryDirectory() as temporary:
        directory = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else pathlib.Path(temporary)
        directory.mkdir(parents=True, exist_ok=True)
        Y, P = make_case(n)
        start = time.perf_counter()
        write_text(directory, Y, P)
        written = time.perf_counter() - start
        python_time, loss = best_of(REPEATS, lambda: tsneloss.kl_divergence(Y, P, Z))
        command = [TOOL, "--z", repr(Z), directory / "y.txt", directory / "p.mtx"]
        tool_time, printed = best_of(REPEATS, lambda: subprocess.run(command, capture_output=True, text=True,
                                                                     check=True).stdout)
        size = (directory / "p.mtx").stat().st_size + (directory / "y.txt").stat().st_size
    print(f"N = {n}, D = 2, nnz = {P.nnz}, double, Z given; best of {REPEATS}")
    print(f"  kl_divergence (CSR in memory)  {python_time:8.3f} s   loss {loss!r}")
    print(f"  tsneloss (text, {size / 1e9:.2f} GB)     {tool_time:8.3f} s   loss {float(printed)!r}")
    print(f"  (writing the text files took {written:.1f} s)")
    print("  same bits" if float(printed) == loss else "  DIFFERENT RESULTS")


if __name__ == "__main__":
    main()
