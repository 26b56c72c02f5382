"""P from the data against scikit-learn's, used here as an oracle only; the command
line's --data against the package."""

import json
import subprocess
import warnings

import numpy as np
import pytest
import scipy.io
import scipy.sparse
from scipy.spatial.distance import squareform
from sklearn.manifold._t_sne import _joint_probabilities, _joint_probabilities_nn, _kl_divergence
from sklearn.metrics import pairwise_distances
from sklearn.neighbors import NearestNeighbors

import tsneloss
from tsneloss import _core

from conftest import BUILD, EXAMPLES

PERPLEXITY = 30.0


def clustered(seed, n, d):
    """Points in a few clusters of different widths, as real data tends to be."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=10, size=(5, d))
    labels = rng.integers(0, 5, size=n)
    return centres[labels] + rng.normal(size=(n, d)) * (0.5 + labels[:, None])


def sklearn_p(X, perplexity=PERPLEXITY):
    """scikit-learn's P from its own exact neighbours, as its t-SNE computes it."""
    k = min(len(X) - 1, int(3.0 * perplexity + 1))
    graph = NearestNeighbors(n_neighbors=k).fit(X).kneighbors_graph(mode="distance")
    graph.data **= 2
    return graph, _joint_probabilities_nn(graph, perplexity, verbose=0)


def test_same_neighbours_give_sklearn_p_bit_for_bit():
    # Over 8192 points: NumPy sums P's row sums in pieces of that many.
    X = clustered(1, 9000, 3)
    graph, expected = sklearn_p(X, perplexity=5.0)
    graph.sort_indices()
    k = graph.indptr[1]
    indices = graph.indices.reshape(-1, k).astype(np.int32)
    distances = graph.data.reshape(-1, k).astype(np.float32)
    # Rows given out of order: the search sums in index order whatever the lists' order.
    rng = np.random.default_rng(0)
    order = np.argsort(rng.random(indices.shape), axis=1)
    ours = _core.affinities_from_neighbours(np.take_along_axis(indices, order, 1),
                                            np.take_along_axis(distances, order, 1), 5.0)
    expected = expected.tocsr()
    expected.sort_indices()
    np.testing.assert_array_equal(ours["indptr"], expected.indptr)
    np.testing.assert_array_equal(ours["indices"], expected.indices)
    np.testing.assert_array_equal(ours["data"], expected.data)


@pytest.mark.parametrize("last, message", [
    (1, None),
    (3, "indices: element 5: index 3 is outside 0 to 2"),
    (-1, "indices: element 5: index -1 is outside 0 to 2"),
])
def test_neighbour_indices_must_name_a_point(last, message):
    indices = np.array([[1, 2], [0, 2], [0, last]], dtype=np.int32)
    distances = np.ones((3, 2), dtype=np.float32)
    if message is None:
        assert _core.affinities_from_neighbours(indices, distances, 1.5)["indices"].size == 6
    else:
        with pytest.raises(ValueError, match=message):
            _core.affinities_from_neighbours(indices, distances, 1.5)


def test_neighbour_lists_must_share_one_2d_shape():
    for indices, distances in [(np.zeros((2, 1), np.int32), np.ones((1, 2), np.float32)),
                               (np.zeros(2, np.int32), np.ones(2, np.float32))]:
        with pytest.raises(ValueError, match="two 2-D arrays of one shape"):
            _core.affinities_from_neighbours(indices, distances, 1.5)


@pytest.mark.parametrize("neighbours", ["exact", "approx"])
def test_p_from_data_agrees_with_sklearn(neighbours):
    X = clustered(2, 1500, 10)
    Y = np.random.default_rng(3).normal(size=(len(X), 2))
    _, expected = sklearn_p(X)
    P = tsneloss.affinities(X, PERPLEXITY, neighbours=neighbours)
    assert P.format == "csr" and P.dtype == np.float64 and P.has_sorted_indices
    assert (P != P.T).nnz == 0
    assert abs(P.sum() - 1) < 1e-12
    if neighbours == "exact":
        assert P.neighbours_found == 1.0
        assert np.array_equal(P.indptr, expected.indptr) and np.array_equal(P.indices, expected.indices)
        relative = np.abs(P.data - expected.data) / expected.data
        assert np.mean(relative <= 1e-6) >= 0.999
    else:
        assert 0.98 <= P.neighbours_found <= 1.0
    ours, theirs = tsneloss.kl_divergence(Y, P), tsneloss.kl_divergence(Y, expected)
    assert abs(ours - theirs) <= (1e-6 if neighbours == "exact" else 1e-2) * theirs


def test_all_pairs_loss_is_sklearn_exact_kl():
    X = clustered(4, 300, 5)
    Y = np.random.default_rng(5).normal(size=(len(X), 2))
    condensed = _joint_probabilities(pairwise_distances(X, squared=True), PERPLEXITY, verbose=0)
    expected, _ = _kl_divergence(Y.ravel(), condensed, 1, len(X), 2)
    P = tsneloss.affinities(X, PERPLEXITY, neighbours="all")
    assert P.nnz == len(X) * (len(X) - 1) and P.data.min() >= np.finfo(float).eps
    np.testing.assert_array_equal(P.toarray()[np.triu_indices(len(X), 1)], condensed)
    assert abs(tsneloss.kl_divergence(Y, P) - expected) <= 1e-9


def test_iris_from_data_is_the_shipped_p():
    X = np.loadtxt(EXAMPLES / "iris_data.txt")
    Y = np.loadtxt(EXAMPLES / "iris_embedding.txt")
    P = tsneloss.affinities(X, neighbours="all")
    shipped = scipy.io.mmread(EXAMPLES / "iris_p.mtx").tocsr()
    shipped.sort_indices()
    assert np.array_equal(P.indices, shipped.indices) and np.array_equal(P.data, shipped.data)
    expected = float((EXAMPLES / "iris_kl.txt").read_text())
    assert abs(tsneloss.kl_divergence(Y, P) - expected) <= 1e-9


def test_command_line_data_gives_the_package_bits(tmp_path):
    X = clustered(6, 400, 4)
    Y = np.random.default_rng(7).normal(size=(len(X), 2))
    np.savetxt(tmp_path / "x.txt", X, fmt="%r")
    np.save(tmp_path / "y.npy", Y)
    P = tsneloss.affinities(X, 20.0, neighbours="exact", threads=3)
    done = subprocess.run([BUILD / "bin" / "tsneloss", "--json", "--data", tmp_path / "x.txt", "--perplexity", "20",
                           "--neighbours", "exact", "--save-p", tmp_path / "p.npz", tmp_path / "y.npy"],
                          capture_output=True, text=True, check=True)
    result = json.loads(done.stdout)
    assert result["loss"] == tsneloss.kl_divergence(Y, P)
    assert (result["neighbours"], result["perplexity"], result["neighbours_found"]) == ("exact", 20, P.neighbours_found)
    saved = scipy.sparse.load_npz(tmp_path / "p.npz")
    assert saved.format == "csr" and (saved != P).nnz == 0 and np.array_equal(saved.data, P.data)
    # Saved as Matrix Market too, and read back by tsneloss to the same loss.
    subprocess.run([BUILD / "bin" / "tsneloss", "--data", tmp_path / "x.txt", "--perplexity", "20", "--save-p",
                    tmp_path / "p.mtx", tmp_path / "y.npy"], capture_output=True, check=True)
    assert np.array_equal(scipy.io.mmread(tmp_path / "p.mtx").tocsr().data, P.data)
    for saved_p in ("p.npz", "p.mtx"):
        again = subprocess.run([BUILD / "bin" / "tsneloss", "--json", tmp_path / "y.npy", tmp_path / saved_p],
                               capture_output=True, text=True, check=True)
        assert json.loads(again.stdout)["loss"] == result["loss"]


@pytest.mark.parametrize("X, perplexity, error, message", [
    ([[0.0, 1.0]], 0.5, ValueError, "at least 2 points"),
    ([[0.0, 1.0], [np.nan, 2.0], [3.0, 4.0]], 1.0, ValueError, "element 2"),
    ([[0.0, np.inf], [1.0, 2.0], [3.0, 4.0]], 1.0, ValueError, "element 1"),
    ([[0.0], [1.0], [2.0]], 3.0, ValueError, "below the number of points"),
    ([[0.0], [1.0], [2.0]], 0.0, ValueError, "at least 1"),
    ([[0.0], [1.0], [2.0]], 1e-10, ValueError, "at least 1"),
    ([[0.0], [1.0], [2.0]], 1e-300, ValueError, "at least 1"),
    ([[0.0], [1.0], [2.0]], 4.9e-324, ValueError, "at least 1"),
    ([[0.0], [1.0], [2.0]], np.nextafter(1.0, 0.0), ValueError, "at least 1"),
    ([[0.0], [1.0], [2.0]], np.nan, ValueError, "finite"),
    ([[0.0], [1.0], [2.0]], "30", TypeError, "real number"),
    ([["a"], ["b"]], 1.0, TypeError, "real numbers"),
])
def test_refusals(X, perplexity, error, message):
    with pytest.raises(error, match=message):
        tsneloss.affinities(X, perplexity)


def _spread(name):
    rng = np.random.default_rng(9)
    return {"normal times 1e17": clustered(8, 300, 3) * 1e17,
            "grid 1e17 apart": np.arange(40.0)[:, None] * 1e17,
            "normal near 1e200": rng.normal(size=(40, 3)) * 1e200}[name]


@pytest.mark.parametrize("name, sklearn_finite", [
    ("normal times 1e17", True),    # some points' affinities underflow, not all: scikit-learn's P
    ("grid 1e17 apart", False),     # every affinity underflows: scikit-learn's P is all zeros
    ("normal near 1e200", False),   # squared distances overflow
])
def test_spread_data_give_a_finite_p(tmp_path, name, sklearn_finite):
    X = _spread(name)
    Y = np.random.default_rng(10).normal(size=(len(X), 2))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        P = tsneloss.affinities(X, 5.0, neighbours="exact")
    assert np.all(np.isfinite(P.data)) and abs(P.sum() - 1) < 1e-12
    scaled = any("relative to its nearest neighbour" in str(w.message) for w in caught)
    assert scaled == (not sklearn_finite)
    if sklearn_finite:
        graph, expected = sklearn_p(X, 5.0)
        graph.sort_indices()
        k = graph.indptr[1]
        ours = _core.affinities_from_neighbours(graph.indices.reshape(-1, k).astype(np.int32),
                                                graph.data.reshape(-1, k).astype(np.float32), 5.0)
        # scikit-learn drops the zeros its sums leave; the values stored are compared.
        ours = scipy.sparse.csr_matrix((ours["data"], ours["indices"], ours["indptr"]), shape=P.shape)
        assert np.array_equal(ours.toarray(), expected.toarray())
    loss = tsneloss.kl_divergence(Y, P)
    assert np.isfinite(loss)
    np.save(tmp_path / "x.npy", X)
    np.save(tmp_path / "y.npy", Y)
    done = subprocess.run([BUILD / "bin" / "tsneloss", "--verbose", "--json", "--data", tmp_path / "x.npy",
                           "--perplexity", "5", "--save-p", tmp_path / "p.npz", tmp_path / "y.npy"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["loss"] == loss
    assert ("relative to its nearest neighbour" in done.stderr) == scaled
    assert np.array_equal(scipy.sparse.load_npz(tmp_path / "p.npz").data, P.data)


@pytest.mark.parametrize("X, perplexity, which", [
    ([[0.0], [1.0], [-1.0], [5.0]], 1.0, "1 of the 4 points"),   # point 0's nearest two tie
    ([[0.0], [1.0], [3.0]], 2.5, "every point"),                  # two neighbours: entropy at most ln 2
])
def test_points_missing_the_perplexity_are_counted(tmp_path, X, perplexity, which):
    expected = f"for {which} the perplexity search could not meet the perplexity {perplexity:g}"
    with pytest.warns(tsneloss.TsnelossWarning, match=expected):
        tsneloss.affinities(X, perplexity)
    np.savetxt(tmp_path / "x.txt", X)
    done = subprocess.run([BUILD / "bin" / "tsneloss", "--z", "1", "--data", tmp_path / "x.txt", "--perplexity",
                           str(perplexity), tmp_path / "x.txt"], capture_output=True, text=True)
    assert done.returncode == 0 and f"tsneloss: warning: {expected}" in done.stderr, done.stderr


def test_unknown_neighbours_method_is_refused():
    with pytest.raises(ValueError, match="'exact', 'approx', 'all' or 'auto'"):
        tsneloss.affinities(np.eye(3), 1.0, neighbours="nearest")


def test_coinciding_points_are_fine():
    X = np.repeat(np.arange(10.0)[:, None], 4, axis=0)
    P = tsneloss.affinities(X, 5.0, neighbours="exact")
    assert np.all(np.isfinite(P.data)) and abs(P.sum() - 1) < 1e-12
