"""P for other metrics, the recall estimate and float32 data, against scikit-learn
(an oracle here only; the package never depends on it).

    /usr/bin/python3 bench/metrics_vs_sklearn.py agreement
        cosine and correlation P (exact) against scikit-learn's brute-force
        NearestNeighbors and joint probabilities; a precomputed cosine graph;
        nearest_neighbours against kneighbors_graph, for the three metrics
    /usr/bin/python3 bench/metrics_vs_sklearn.py recall
        the approximate search's estimate of the share of true neighbours found,
        against the share measured on 1000 other random points
    /usr/bin/python3 bench/metrics_vs_sklearn.py memory float32|float64|sklearn
        the peak memory of P from 20000 images-like float32 points (784 dimensions)
        in one way, in a fresh process: run each in turn

The package comes from the import path (PYTHONPATH=build/dev/python); the data
makers are the Python tests'.
"""
import pathlib
import resource
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

import tsneloss  # noqa: E402


def agreement():
    from test_metrics import image_like, low_dimensional, sklearn_graph, sklearn_metric_p
    for metric in ["cosine", "correlation"]:
        for make in [image_like, low_dimensional]:
            X = make(3, 2000)
            _, expected = sklearn_metric_p(X, 30.0, metric)
            P = tsneloss.affinities(X, perplexity=30.0, metric=metric, neighbours="exact")
            same = (P.astype(bool) != expected.astype(bool)).nnz == 0
            rows, columns = expected.nonzero()
            gap = np.abs(np.asarray(P[rows, columns]).ravel() - np.asarray(expected[rows, columns]).ravel())
            Y = np.random.default_rng(4).normal(size=(len(X), 2))
            loss_gap = abs(tsneloss.kl_divergence(Y, P) - tsneloss.kl_divergence(Y, expected))
            print(f"{metric:12s} {make.__name__:16s} N=2000: same positions {same}, within 1e-6: "
                  f"{np.mean(gap <= 1e-6):.5f}, max |dP| {gap.max():.2e}, |dloss| {loss_gap:.2e}")
    X = image_like(6, 2000)
    graph = sklearn_graph(X, 91, "cosine")
    _, expected = sklearn_metric_p(X, 30.0, "cosine")
    P = tsneloss.affinities(graph, perplexity=30.0, metric="precomputed")
    print("precomputed cosine graph: max |dP|", abs(P - expected).max())
    for metric in ["euclidean", "cosine", "correlation"]:
        X = low_dimensional(5, 2000)
        D = tsneloss.nearest_neighbours(X, 30, metric=metric, method="exact")
        E = sklearn_graph(X, 30, metric)
        gap = np.max(np.abs(D.data - E.data) / np.maximum(E.data, 1e-300))
        print(f"nearest_neighbours {metric}: same indices {np.array_equal(D.indices, E.indices)}, "
              f"max relative difference {gap:.2e}")


def recall():
    from test_affinities import clustered
    k = 91
    for name, X in [("clustered N=40000 D=30", clustered(2, 40000, 30)),
                    ("uniform N=20000 D=20", np.random.default_rng(1).random((20000, 20)))]:
        start = time.time()
        A = tsneloss.nearest_neighbours(X, k, method="approx")
        approx_s = time.time() - start
        E = tsneloss.nearest_neighbours(X, k, method="exact")
        points = np.random.default_rng(12345).choice(len(X), 1000, replace=False)
        shares = [len(np.intersect1d(A.indices[i * k:(i + 1) * k], E.indices[i * k:(i + 1) * k])) / k
                  for i in points]
        print(f"{name}: estimate {A.neighbours_found:.4f} +- {A.neighbours_found_error:.4f} (SE); measured on "
              f"1000 other random points {np.mean(shares):.4f} +- {np.std(shares, ddof=1) / np.sqrt(1000):.4f}; "
              f"approx {approx_s:.1f} s")


def images_like(n=20000, d=784):
    rng = np.random.default_rng(0)
    strokes = rng.random((10, d)).astype(np.float32) ** 3
    weights = rng.random((n, 10), dtype=np.float32) * (rng.random((n, 10)) < 0.4)
    return (weights @ strokes + 0.05 * rng.random((n, d), dtype=np.float32)).astype(np.float32)


def memory(how):
    X = images_like()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    if how == "float32":
        tsneloss.affinities(X, 30.0, neighbours="exact")
    elif how == "float64":
        tsneloss.affinities(X.astype(np.float64), 30.0, neighbours="exact")
    else:
        from sklearn.manifold._t_sne import _joint_probabilities_nn
        from sklearn.neighbors import NearestNeighbors
        graph = NearestNeighbors(n_neighbors=91).fit(X).kneighbors_graph(mode="distance")
        graph.data **= 2
        _joint_probabilities_nn(graph, 30.0, verbose=0)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(f"{how}: X {X.nbytes / 2**20:.0f} MiB; peak {after / 1024:.0f} MiB, growth {(after - before) / 1024:.0f} MiB")


if __name__ == "__main__":
    {"agreement": agreement, "recall": recall, "memory": lambda: memory(sys.argv[2])}[sys.argv[1]]()
