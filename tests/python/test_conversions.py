"""NumPy's conventions for Y and dense P: what is a real number is converted to
float64 (float32 kept) and gives the bits the float64 values give."""

import numpy as np
import pytest
import scipy.sparse

import tsneloss

Y = np.array([[0.0, 1.0], [3.0, 4.0], [-2.0, 5.0]])
P = scipy.sparse.csr_array(np.array([[0, 0.2, 0.1], [0.2, 0, 0.15], [0.1, 0.15, 0.1]]))

# Their P are not normalised: the warnings are tested in test_warnings.py.
pytestmark = pytest.mark.filterwarnings("ignore::tsneloss.TsnelossWarning")


def same_bits(a, b):
    return np.float64(a).tobytes() == np.float64(b).tobytes()


@pytest.mark.parametrize("converted", [
    Y.astype(np.int32),
    Y.astype(">f8"),
    Y.astype(np.float16),
    Y.tolist(),
    Y[::-1].copy()[::-1],  # a view with a negative stride
])
def test_real_embeddings_give_the_float64_bits(converted):
    assert same_bits(tsneloss.kl_divergence(converted, P, 2.5), tsneloss.kl_divergence(Y, P, 2.5))
    assert same_bits(tsneloss.normaliser(converted), tsneloss.normaliser(Y))


def test_boolean_embedding_is_zeros_and_ones():
    flags = Y > 0
    assert same_bits(tsneloss.kl_divergence(flags, P, 2.5), tsneloss.kl_divergence(flags.astype(float), P, 2.5))


@pytest.mark.parametrize("dense", [P.toarray().astype(">f8"), P.toarray().astype(np.float32), P.toarray().tolist(),
                                   np.asfortranarray(P.toarray())])
def test_dense_p_in_any_real_form(dense):
    expected = tsneloss.kl_divergence(Y, P.toarray().astype(np.float32).astype(np.float64), 2.5) \
        if np.asarray(dense).dtype == np.float32 else tsneloss.kl_divergence(Y, P, 2.5)
    assert same_bits(tsneloss.kl_divergence(Y, dense, 2.5), expected)


@pytest.mark.parametrize("z", [2, np.float32(2.0), np.int64(2)])
def test_z_any_real_number(z):
    assert same_bits(tsneloss.kl_divergence(Y, P, z), tsneloss.kl_divergence(Y, P, 2.0))


def test_unmasked_arrays_and_zero_dimensional_numbers_are_their_values():
    X = np.array([[0.0, 1.0], [2.0, 2.0], [3.0, 5.0]])
    masked = np.ma.masked_array(Y, np.zeros(Y.shape, bool))
    assert same_bits(tsneloss.kl_divergence(masked, P, np.array(2.5)), tsneloss.kl_divergence(Y, P, 2.5))
    for perplexity in (np.array(1.5), np.array(1.5, dtype=np.float32), np.ma.array(1.5)):
        assert (tsneloss.affinities(X, perplexity=perplexity) != tsneloss.affinities(X, perplexity=1.5)).nnz == 0


@pytest.mark.parametrize("dtype", [np.bool_, np.int8, ">i2", np.uint32, ">i8", np.float16, ">f2", ">f8",
                                   np.longdouble])
def test_the_command_line_reads_every_real_npy_as_the_package_converts_it(tmp_path, dtype):
    """X and Y saved in the dtype: the tool's loss of P from X has the package's bits."""
    from conftest import BUILD
    import json
    import subprocess
    rng = np.random.default_rng(3)
    X = (rng.normal(size=(40, 3)) * 50).astype(dtype)
    Y_given = (rng.normal(size=(40, 2)) * 5).astype(dtype)
    if np.dtype(dtype).kind == "u":
        X = (rng.random((40, 3)) * 4e9).astype(dtype)
    np.save(tmp_path / "x.npy", X)
    np.save(tmp_path / "y.npy", Y_given)
    printed = subprocess.run([BUILD / "bin" / "tsneloss", "--json", "--z", "2.5", "--perplexity", "5",
                              "--data", tmp_path / "x.npy", tmp_path / "y.npy"], capture_output=True, text=True)
    if np.dtype(dtype).itemsize == 16 and np.finfo(np.longdouble).nmant != 63:
        assert printed.returncode == 1 and "dtype" in printed.stderr
        return
    assert printed.returncode == 0, printed.stderr
    expected = tsneloss.kl_divergence(Y_given, tsneloss.affinities(X, perplexity=5), 2.5)
    assert same_bits(json.loads(printed.stdout)["loss"], expected)
