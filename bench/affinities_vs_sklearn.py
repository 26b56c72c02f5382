"""Times P from the data: tsneloss.affinities next to scikit-learn's own way
(NearestNeighbors(algorithm="brute"), then _joint_probabilities_nn on the squared
distances), side by side in one run, on standard normal data, clustered data (30
clusters, each spread over its own 8-dimensional subspace, with a little noise in
all D) or images (D = 784: a 28 x 28 grid of a few smooth blobs placed after one of 30
patterns, jittered, with noise).

    /usr/bin/python3 bench/affinities_vs_sklearn.py compare [N] [D] [KIND]    (default 20000 50 normal)
    /usr/bin/python3 bench/affinities_vs_sklearn.py alone N D METHOD [KIND]
        METHOD: exact, approx or all; KIND: normal (the default), clustered or images

`compare` runs each side twice, alternating, and prints the best times (wall
clock and processor), their ratios and whether the two P agree. `alone` runs tsneloss.affinities once in a fresh
process and prints its time and the process's peak memory. The package comes from
the import path (PYTHONPATH=build/dev/python, or scripts/example.sh's .venv).
"""
import resource
import subprocess
import sys
import time

import numpy as np

import tsneloss

PERPLEXITY = 30.0
REPEATS = 2


def images(n, rng):
    grid = np.arange(28.0)
    patterns = rng.uniform(6, 22, size=(30, 3, 2))
    widths = rng.uniform(1.5, 4, size=(30, 3))
    labels = rng.integers(0, 30, size=n)
    centres = patterns[labels] + rng.normal(scale=1.5, size=(n, 3, 2))
    heights = rng.uniform(0.5, 1, size=(n, 3))
    X = np.empty((n, 28 * 28))
    for start in range(0, n, 2000):
        part = slice(start, min(n, start + 2000))
        rows = np.exp(-((grid - centres[part, :, 0, None]) ** 2) / (2 * widths[labels[part], :, None] ** 2))
        columns = np.exp(-((grid - centres[part, :, 1, None]) ** 2) / (2 * widths[labels[part], :, None] ** 2))
        blobs = np.einsum("nbr,nbc,nb->nrc", rows, columns, heights[part])
        X[part] = blobs.reshape(-1, 28 * 28)
    return np.clip(X + rng.normal(scale=0.05, size=X.shape), 0, 1)


def data(n, d, kind="normal"):
    rng = np.random.default_rng(2026)
    if kind == "normal":
        return rng.standard_normal((n, d))
    if kind == "images":
        assert d == 28 * 28, "images have D = 784"
        return images(n, rng)
    centres = rng.normal(scale=4, size=(30, d))
    bases = rng.normal(size=(30, 8, d)) / np.sqrt(d)
    labels = rng.integers(0, 30, size=n)
    X = centres[labels]
    for c in range(30):
        members = labels == c
        X[members] += rng.normal(size=(members.sum(), 8)) @ bases[c] * 3
    return X + rng.normal(scale=0.1, size=X.shape)


def sklearn_p(X):
    from sklearn.manifold._t_sne import _joint_probabilities_nn
    from sklearn.neighbors import NearestNeighbors

    k = min(len(X) - 1, int(3.0 * PERPLEXITY + 1))
    graph = NearestNeighbors(n_neighbors=k, algorithm="brute").fit(X).kneighbors_graph(mode="distance")
    graph.data **= 2
    return _joint_probabilities_nn(graph, PERPLEXITY, verbose=0)


def timed(function, *args):
    start = time.perf_counter()
    result = function(*args)
    return time.perf_counter() - start, result


def timed_both(function):
    """Wall-clock and processor seconds (all threads): on a shared machine the
    processor time is the steadier of the two."""
    start, processor = time.perf_counter(), time.process_time()
    result = function()
    return (time.perf_counter() - start, time.process_time() - processor), result


def compare(n, d, kind):
    X = data(n, d, kind)
    ours, theirs = [], []
    for _ in range(REPEATS):
        seconds, P = timed_both(lambda: tsneloss.affinities(X, PERPLEXITY, neighbours="exact"))
        ours.append(seconds)
        seconds, expected = timed_both(lambda: sklearn_p(X))
        theirs.append(seconds)
    expected = expected.tocsr()
    same_positions = np.array_equal(P.indptr, expected.indptr) and np.array_equal(P.indices, expected.indices)
    relative = np.abs(P.data - expected.data) / expected.data if same_positions else np.array([np.inf])
    wall = [min(s[0] for s in side) for side in (ours, theirs)]
    processor = [min(s[1] for s in side) for side in (ours, theirs)]
    print(f"N = {n}, D = {d}, {kind}: tsneloss.affinities (exact) {wall[0]:.3f} s, scikit-learn {wall[1]:.3f} s, "
          f"ratio {wall[1] / wall[0]:.1f}; processor time {processor[0]:.3f} s against {processor[1]:.3f} s, "
          f"ratio {processor[1] / processor[0]:.1f}; same positions: {same_positions}, "
          f"values within 1e-6 relative: {np.mean(relative <= 1e-6):.6f}, largest {relative.max():.2g}")


def alone(n, d, method, kind):
    if method != "child":
        done = subprocess.run([sys.executable, __file__, "alone", str(n), str(d), "child", method, kind],
                              capture_output=True, text=True, check=True)
        print(done.stdout, end="")
        return
    method, kind = sys.argv[5], sys.argv[6]
    X = data(n, d, kind)
    seconds, P = timed(lambda: tsneloss.affinities(X, PERPLEXITY, neighbours=method))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1e6
    print(f"N = {n}, D = {d}, {kind}, {method}: {seconds:.2f} s, peak memory {peak:.2f} GB (X alone {X.nbytes / 1e9:.2f} GB), "
          f"nnz {P.nnz}, neighbours found {P.neighbours_found:.4f}")


if __name__ == "__main__":
    mode = sys.argv[1] if len(sys.argv) > 1 else "compare"
    if mode == "compare":
        compare(int(sys.argv[2]) if len(sys.argv) > 2 else 20000, int(sys.argv[3]) if len(sys.argv) > 3 else 50,
                sys.argv[4] if len(sys.argv) > 4 else "normal")
    else:
        alone(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5] if len(sys.argv) > 5 else "normal")
