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
