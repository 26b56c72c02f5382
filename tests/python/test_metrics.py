"""Other metrics, precomputed distances, several perplexities and the neighbours
themselves, against scikit-learn's brute-force neighbours and joint probabilities
(an oracle in tests only)."""

import numpy as np
import pytest
import scipy.sparse
from sklearn.manifold._t_sne import _joint_probabilities_nn, _kl_divergence
from sklearn.neighbors import NearestNeighbors

import tsneloss

from test_affinities import clustered


def image_like(seed, n, side=6):
    """Small non-negative 'images': a few blurred strokes each, as pixel data are."""
    rng = np.random.default_rng(seed)
    base = rng.random((4, side * side)) ** 3
    weights = rng.random((n, 4)) * rng.integers(0, 2, size=(n, 4))
    weights[:, 0] += 0.1  # no all-zero image
    return weights @ base + 0.05 * rng.random((n, side * side))


def sklearn_graph(X, k, metric):
    return NearestNeighbors(n_neighbors=k, metric=metric, algorithm="brute").fit(X).kneighbors_graph(mode="distance")


def sklearn_metric_p(X, perplexity, metric):
    """As scikit-learn's t-SNE: distances themselves for metrics other than Euclidean."""
    k = min(len(X) - 1, int(3.0 * perplexity + 1))
    graph = sklearn_graph(X, k, metric)
    if metric == "euclidean":
        graph.data **= 2
    return graph, _joint_probabilities_nn(graph, perplexity, verbose=0).tocsr()


def low_dimensional(seed, n):
    """Points near a 3-D subspace of 20 dimensions, off centre: correlation differs from cosine."""
    rng = np.random.default_rng(seed)
    return clustered(seed, n, 3) @ rng.normal(size=(3, 20)) + 0.01 * rng.normal(size=(n, 20)) + 5.0


@pytest.mark.parametrize("metric", ["cosine", "correlation"])
@pytest.mark.parametrize("make", [image_like, low_dimensional])
def test_metric_agrees_with_sklearn(metric, make):
    X = make(3, 700)
    _, expected = sklearn_metric_p(X, 20.0, metric)
    P = tsneloss.affinities(X, perplexity=20.0, metric=metric, neighbours="exact")
    # The same positions, nearly every value within 1e-6 of scikit-learn's, the same loss.
    assert (P.astype(bool) != expected.astype(bool)).nnz == 0
    rows, columns = expected.nonzero()
    ours, theirs = np.asarray(P[rows, columns]).ravel(), np.asarray(expected[rows, columns]).ravel()
    assert np.mean(np.abs(ours - theirs) <= 1e-6) >= 0.999
    Y = np.random.default_rng(4).normal(size=(len(X), 2))
    assert tsneloss.kl_divergence(Y, P) == pytest.approx(tsneloss.kl_divergence(Y, expected), abs=1e-6)


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "correlation"])
def test_nearest_neighbours_agree_with_sklearn(metric):
    X = low_dimensional(5, 600)
    ours = tsneloss.nearest_neighbours(X, 15, metric=metric, method="exact")
    expected = sklearn_graph(X, 15, metric)
    np.testing.assert_array_equal(ours.indices, expected.indices)
    np.testing.assert_allclose(ours.data, expected.data, rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("sparse", [True, False])
def test_precomputed_agrees_with_sklearn(sparse):
    X = image_like(6, 500)
    graph = sklearn_graph(X, 40, "cosine")  # more candidates than perplexity 10 takes
    _, expected = sklearn_metric_p(X, 10.0, "cosine")
    given = graph if sparse else graph.toarray() + np.where(graph.toarray() == 0, 10.0, 0.0)
    P = tsneloss.affinities(given, perplexity=10.0, metric="precomputed")
    np.testing.assert_array_equal(P.indices, expected.indices)
    np.testing.assert_allclose(P.data, expected.data, rtol=0, atol=1e-12)


def test_squared_euclidean_precomputed_gives_the_euclidean_p_bit_for_bit():
    X = clustered(7, 400, 5)
    X[5] = X[17]  # a zero distance, kept as a stored entry
    D = tsneloss.nearest_neighbours(X, 31, method="exact")
    D.data **= 2
    expected = tsneloss.affinities(X, perplexity=10.0, neighbours="exact")
    P = tsneloss.affinities(D, perplexity=10.0, metric="precomputed")
    assert (P != expected).nnz == 0


@pytest.mark.parametrize("metric", ["euclidean", "cosine"])
def test_perplexity_list_gives_each_calls_bits(metric):
    X = image_like(8, 500)
    perplexities = [5.0, 30.0, 12.5]
    Ps = tsneloss.affinities(X, perplexity=perplexities, metric=metric, neighbours="exact")
    for perplexity, P in zip(perplexities, Ps):
        alone = tsneloss.affinities(X, perplexity=perplexity, metric=metric, neighbours="exact")
        np.testing.assert_array_equal(P.indptr, alone.indptr)
        np.testing.assert_array_equal(P.indices, alone.indices)
        np.testing.assert_array_equal(P.data, alone.data)


def test_larger_k_widens_each_points_neighbours():
    X = clustered(9, 300, 4)
    graph = sklearn_graph(X, 50, "euclidean")
    graph.data **= 2
    expected = _joint_probabilities_nn(graph, 5.0, verbose=0).tocsr()
    P = tsneloss.affinities(X, perplexity=5.0, k=50, neighbours="exact")
    np.testing.assert_array_equal(P.indices, expected.indices)
    np.testing.assert_array_equal(P.data, expected.data)


@pytest.mark.parametrize("call, words", [
    (lambda X: tsneloss.affinities(np.vstack([X, np.zeros(6)]), 5.0, metric="cosine"), "row 60 is all zeros"),
    (lambda X: tsneloss.affinities(np.vstack([X, np.full(6, 2.0)]), 5.0, metric="correlation"),
     "row 60 is all one value"),
    (lambda X: tsneloss.affinities(X, 5.0, metric="manhattan"), "the metrics are"),
    (lambda X: tsneloss.affinities(X, 5.0, metric="cosine", neighbours="all"), "Euclidean distances only"),
    (lambda X: tsneloss.affinities(X, 5.0, k=10), "k = 10 is fewer than the 16"),
    (lambda X: tsneloss.affinities(X, 5.0, k=60), "k must be below"),
    (lambda X: tsneloss.nearest_neighbours(X, 60), "k must be at least 1 and below"),
    (lambda X: tsneloss.affinities(sklearn_graph(X, 10, "euclidean"), 5.0, metric="precomputed"),
     "row 0 holds 10 distances off the diagonal; 16 neighbours are needed"),
    (lambda X: tsneloss.affinities(-np.ones((60, 60)), 5.0, metric="precomputed"), "row 0, column 1"),
])
def test_refusals(call, words):
    X = clustered(10, 60, 6)
    with pytest.raises(ValueError, match=words):
        call(X)


def test_sparse_points_are_refused_saying_why():
    with pytest.raises(TypeError, match="metric='precomputed'"):
        tsneloss.affinities(scipy.sparse.random(20, 20, density=0.5, format="csr"), 3.0)


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "correlation"])
def test_float32_points_give_the_p_of_the_same_doubles(metric):
    X = image_like(11, 400).astype(np.float32)
    wide = X.astype(np.float64)
    P, expected = (tsneloss.affinities(A, [5.0, 10.0], metric=metric) for A in (X, wide))
    for ours, theirs in zip(P, expected):
        assert (ours != theirs).nnz == 0
    D, E = (tsneloss.nearest_neighbours(A, 7, metric=metric) for A in (X, wide))
    np.testing.assert_array_equal(D.indices, E.indices)
    np.testing.assert_array_equal(D.data, E.data)
