"""Times tsneloss.kl_divergence on arrays in memory: a canonical CSR P against the
same P as canonical CSC and against the plain NumPy expression of the loss, with the
memory the call takes on top of the caller's arrays, and SciPy's own P.tocsc() for
scale; then, up to 200000 points, next to the tsneloss program reading the same data
from text files. Z is given to all (no normaliser in any), and the results are
checked to be the same bits.

    /usr/bin/python3 bench/python_vs_tool.py [N] [DIR]     (default N = 100000)

The case: a 2-D embedding of N points and a P with 90 entries in each column at
random rows, values adding to 1, held as a SciPy CSR matrix; text files written to
DIR (default: a temporary directory, removed afterwards). The package comes from the
import path (scripts/example.sh sets it up), the program from build/dev/bin. Calls
are interleaved, best of three each, so the ratios hold on a noisy machine.
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
# Writing text files of more entries takes longer than the runs it times.
TOOL_POINTS = 200_000
TOOL = pathlib.Path(__file__).resolve().parents[1] / "build" / "dev" / "bin" / "tsneloss"


def make_case(n):
    rng = np.random.default_rng(2026)
    Y = rng.normal(scale=30, size=(n, 2))
    rows = rng.integers(0, n, n * NEIGHBOURS)
    values = rng.uniform(0.1, 1.0, n * NEIGHBOURS)
    values /= values.sum()
    P = scipy.sparse.csc_matrix((values, rows, np.arange(0, n * NEIGHBOURS + 1, NEIGHBOURS)), shape=(n, n))
    P = P.tocsr()
    P.sum_duplicates()
    return Y, P


def numpy_loss(Y, P, z):
    """The loss as a NumPy user writes it, from P's own arrays (CSR)."""
    rows = np.repeat(np.arange(P.shape[0]), np.diff(P.indptr))
    diff = Y[rows] - Y[P.indices]
    s = 1.0 + np.einsum("ij,ij->i", diff, diff)
    return float(np.sum(P.data * np.log(P.data * s * z)))


def peak_bytes_during(action):
    """Resident memory the action adds at its peak, the peak mark reset before it."""
    def status(field):
        for line in pathlib.Path("/proc/self/status").read_text().splitlines():
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
        raise RuntimeError(f"no {field} in /proc/self/status")
    pathlib.Path("/proc/self/clear_refs").write_text("5")
    before = status("VmRSS")
    action()
    return status("VmHWM") - before


def interleaved(repeats, actions):
    """Best time and result of each action, the actions run in turn `repeats` times."""
    best = {name: (float("inf"), None) for name in actions}
    for _ in range(repeats):
        for name, action in actions.items():
            time_taken, result = best_of(1, action)
            best[name] = (min(best[name][0], time_taken), result)
    return best


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
    Y, P = make_case(n)
    csc = P.tocsc()
    assert P.has_canonical_format and csc.has_canonical_format
    best = interleaved(REPEATS, {
        "csr": lambda: tsneloss.kl_divergence(Y, P, Z),
        "csc": lambda: tsneloss.kl_divergence(Y, csc, Z),
        "numpy": lambda: numpy_loss(Y, P, Z),
        "tocsc": lambda: P.tocsc(),
    })
    extra = peak_bytes_during(lambda: tsneloss.kl_divergence(Y, P, Z)) / P.nnz
    (csr_time, loss), (csc_time, csc_loss), (numpy_time, numpy_value) = best["csr"], best["csc"], best["numpy"]
    print(f"N = {n}, D = 2, nnz = {P.nnz}, double, Z given; best of {REPEATS}, interleaved")
    print(f"  kl_divergence, canonical CSR   {csr_time:8.3f} s   loss {loss!r}")
    print(f"  kl_divergence, canonical CSC   {csc_time:8.3f} s   loss {csc_loss!r}")
    print(f"  plain NumPy expression (CSR)   {numpy_time:8.3f} s   loss {numpy_value!r}")
    print(f"  SciPy's P.tocsc() alone        {best['tocsc'][0]:8.3f} s")
    print(f"  CSR / CSC                      {csr_time / csc_time:8.2f}   (at most 1.3 wanted)")
    print(f"  NumPy / CSR                    {numpy_time / csr_time:8.2f}   (at least 5 wanted)")
    print(f"  bytes per entry beyond P's arrays, CSR call {extra:6.1f}   (at most 24 wanted)")
    print("  CSR and CSC: same bits" if csc_loss == loss else "  CSR and CSC: DIFFERENT RESULTS")
    if n > TOOL_POINTS:
        print(f"  (the program on text files is timed up to N = {TOOL_POINTS})")
        return
    with tempfile.TemporaryDirectory() as temporary:
        directory = pathlib.Path(sys.argv[2]) if len(sys.argv) > 2 else pathlib.Path(temporary)
        directory.mkdir(parents=True, exist_ok=True)
        start = time.perf_counter()
        write_text(directory, Y, P)
        written = time.perf_counter() - start
        command = [TOOL, "--z", repr(Z), directory / "y.txt", directory / "p.mtx"]
        tool_time, printed = best_of(REPEATS, lambda: subprocess.run(command, capture_output=True, text=True,
                                                                     check=True).stdout)
        size = (directory / "p.mtx").stat().st_size + (directory / "y.txt").stat().st_size
    print(f"  tsneloss (text, {size / 1e9:.2f} GB)     {tool_time:8.3f} s   loss {float(printed)!r}")
    print(f"  (writing the text files took {written:.1f} s)")
    print("  tool and package: same bits" if float(printed) == loss else "  tool and package: DIFFERENT RESULTS")


if __name__ == "__main__":
    main()
