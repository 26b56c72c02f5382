"""The tool's refusals arrive as ValueError with its messages; the module's errors as
ModuleError carrying the identifier and the host's text."""

import numpy as np
import pytest
import scipy.sparse

import tsneloss
from tsneloss import _core

TWO_POINTS = np.array([[0.0, 0.0], [3.0, 4.0]])
TWO_POINTS_P = scipy.sparse.coo_array(([0.5, 0.5], ([1, 0], [0, 1])), shape=(2, 2))

# Their P are not normalised: the warnings are tested in test_warnings.py.
pytestmark = pytest.mark.filterwarnings("ignore::tsneloss.TsnelossWarning")


def refusal(*args, **kwargs):
    with pytest.raises(ValueError) as raised:
        tsneloss.kl_divergence(*args, **kwargs)
    return str(raised.value)


def test_worked_example_is_ln_13():
    assert tsneloss.kl_divergence(TWO_POINTS, TWO_POINTS_P, 1) == np.log(13.0)


@pytest.mark.parametrize("args,kwargs,message", [
    ((TWO_POINTS.ravel(), TWO_POINTS_P, 1), {}, "Y: the array's shape is (4,); a 2-D shape (N, D) is needed"),
    ((np.array([[0.0, 0.0], [3.0, np.inf]]), TWO_POINTS_P, 1), {},
     "Y: element 3: a coordinate is inf; coordinates must be finite"),
    ((np.zeros((0, 2)), TWO_POINTS_P, 1), {}, "Y: the embedding holds no points"),
    ((TWO_POINTS[:1], np.ones((1, 1))), {}, "Y: the embedding has one point; computing Z needs at least two"),
    ((np.array([[0.0, 0.0], [1e300, 0.0]]), TWO_POINTS_P), {}, "Y: the exact Z of this embedding is 0 in double"),
    ((TWO_POINTS, np.ones((2, 3)), 1), {}, "P: P must be square; it is 2 by 3"),
    ((TWO_POINTS, np.array([[0, 0.5], [-0.5, 0]]), 1), {},
     "P: element 2: a value of P is -0.5; values of P must be finite and not negative"),
    ((TWO_POINTS, scipy.sparse.csr_matrix(([0.5, np.nan], ([0, 1], [1, 0])), shape=(2, 2)), 1), {},
     "P: element 1: a value of P is nan; values of P must be finite and not negative"),
    ((TWO_POINTS, scipy.sparse.coo_array(([1e308, 1e308], ([0, 0], [1, 1])), shape=(2, 2)), 1), {},
     "P: the values given for row 0, column 1 (zero-based) add up to more than the largest double"),
    ((TWO_POINTS, np.zeros((2, 2)), 1), {}, "P: P has no stored entries"),
    ((TWO_POINTS, scipy.sparse.coo_array((2, 2)), 1), {}, "P: P has no stored entries"),
    ((np.ones((2, 3)), np.eye(3) / 3, 1), {},
     "P: P is 3 by 3, but the embedding Y has 2 points of 3 coordinates: it looks transposed"),
    ((TWO_POINTS, TWO_POINTS_P, 0.0), {}, "z: Z must be finite and greater than 0, not 0"),
    ((np.array([[0.0, 0.0], [1e200, 0.0]]), TWO_POINTS_P, 1), {},
     "Y: the loss is inf in double precision, which cannot hold its terms"),
    ((np.zeros((2, 2)), TWO_POINTS_P * 1e-323, 1e-300), {}, "Y: the loss is -inf in double precision"),
    ((np.array([[0.0, 0.0], [1e20, 0.0]]), TWO_POINTS_P, 1), {"precision": "single"},
     "Y: the loss is inf in single precision"),
    ((TWO_POINTS, TWO_POINTS_P, 1), {"precision": "half"}, "precision must be 'double' or 'single', not 'half'"),
])
def test_refusals_say_what_tsneloss_says(args, kwargs, message):
    assert message in refusal(*args, **kwargs)


@pytest.mark.parametrize("args", [
    (np.array([["0", "0"], ["3", "4"]]), TWO_POINTS_P, 1),
    (np.array([[0, 0], [3, object()]]), TWO_POINTS_P, 1),
    (TWO_POINTS.astype(complex), TWO_POINTS_P, 1),
    (TWO_POINTS, TWO_POINTS_P.astype(complex), 1),
    (TWO_POINTS, TWO_POINTS_P.toarray().astype(str), 1),
    (TWO_POINTS, TWO_POINTS_P, "5"),
])
def test_what_is_not_a_real_number_is_a_type_error(args):
    with pytest.raises(TypeError, match="^(Y|P|z): "):
        tsneloss.kl_divergence(*args)


def test_compressed_arrays_are_checked_as_given():
    P = scipy.sparse.csr_matrix(([0.25, 0.25, 0.5], [1, 0, 1], [0, 1, 3]), shape=(2, 2))
    P.data[2] = np.nan
    assert refusal(TWO_POINTS, P, 1).startswith("P: element 2: a value of P is nan")
    P.data[2], P.indices[1] = 0.5, 7
    assert refusal(TWO_POINTS, P, 1).startswith("P: element 1: column index 7 is outside 0 to 1")
    P.indices[1], P.indptr = 0, np.array([0, 2, 1], dtype=P.indices.dtype)
    assert refusal(TWO_POINTS, P, 1) == "P: indptr decreases at offset 2 (1 after 2)"


def test_normaliser_refusals():
    with pytest.raises(ValueError, match="method: unknown method 'approximate'; the methods are 'exact', 'approx' and 'auto'"):
        tsneloss.normaliser(TWO_POINTS, "approximate")
    with pytest.raises(ValueError, match="Y: the embedding has one point"):
        tsneloss.normaliser(TWO_POINTS[:1])
    assert tsneloss.normaliser(TWO_POINTS) == 2 / 26


def test_module_errors_arrive_as_module_error(monkeypatch, test_module):
    monkeypatch.setenv("TSNELOSS_MODULE", test_module("raises_after_output"))
    with pytest.raises(tsneloss.ModuleError) as raised:
        tsneloss.kl_divergence(TWO_POINTS, TWO_POINTS_P, 1)
    assert raised.value.identifier == "quarn:tsnevek:TooManyOutputs"
    assert raised.value.text and raised.value.text in str(raised.value)
    monkeypatch.setenv("TSNELOSS_MODULE", test_module("bad_version"))
    with pytest.raises(RuntimeError, match="interface version"):
        tsneloss.kl_divergence(TWO_POINTS, TWO_POINTS_P, 1)


def _every_other(a):
    """a's values, not contiguous: every other element of a doubled copy."""
    return np.repeat(a, 2)[::2]


def _one_row(a):
    return a.reshape(1, -1)


@pytest.mark.parametrize("misshape", [_every_other, _one_row])
@pytest.mark.parametrize("function, arrays", [
    ("loss_of_compressed", ["indptr", "indices", "data"]),
    ("loss_of_coordinates", ["rows", "columns", "values"]),
])
def test_core_takes_only_contiguous_1d_arrays(function, arrays, misshape):
    csr = scipy.sparse.csr_array(TWO_POINTS_P)
    given = {"indptr": csr.indptr, "indices": csr.indices, "data": csr.data, "rows": TWO_POINTS_P.row,
             "columns": TWO_POINTS_P.col, "values": TWO_POINTS_P.data}
    common = dict(z=1.0, single=False, per_point=False, module_path=tsneloss._module_path(), threads=1)
    shape = dict(n=2, by_columns=False) if function == "loss_of_compressed" else dict(n=2)
    call = getattr(_core, function)
    assert call(TWO_POINTS, **shape, **{name: given[name] for name in arrays}, **common)["loss"] == np.log(13.0)
    for bad in arrays:
        with pytest.raises(TypeError, match="must be contiguous and 1-D"):
            call(TWO_POINTS, **shape, **{name: misshape(given[name]) if name == bad else given[name]
                                         for name in arrays}, **common)


X_THREE = np.array([[0.0, 1.0], [2.0, 2.0], [3.0, 5.0]])


@pytest.mark.parametrize("call, error, message", [
    (lambda: tsneloss.kl_divergence(np.ma.masked_array(TWO_POINTS, [[0, 0], [0, 1]]), TWO_POINTS_P, 1),
     ValueError, "Y: 1 of the array's values is masked"),
    (lambda: tsneloss.kl_divergence(TWO_POINTS, np.ma.masked_equal(TWO_POINTS_P.toarray(), 0), 1),
     ValueError, "P: 2 of the array's values are masked"),
    (lambda: tsneloss.affinities(np.ma.masked_greater(X_THREE, 4), perplexity=1.5),
     ValueError, "X: 1 of the array's values is masked"),
    (lambda: tsneloss.affinities(X_THREE, perplexity=10**400),
     ValueError, "perplexity: 1000000000000000000000000000000000000000... is too large for a double"),
    (lambda: tsneloss.kl_divergence(TWO_POINTS, TWO_POINTS_P, -10**400), ValueError, "z: -100000"),
    (lambda: tsneloss.affinities(X_THREE, perplexity=np.ma.masked), ValueError, "perplexity: 1 of the array's"),
    (lambda: tsneloss.affinities(X_THREE, perplexity=np.array("3")), TypeError, "not str"),
    (lambda: tsneloss.affinities(X_THREE, perplexity=np.array([[1.5]])), TypeError, "not ndarray"),
    (lambda: tsneloss.affinities(X_THREE[:1]), ValueError, "X: P needs at least 2 points; the data holds 1"),
    (lambda: tsneloss.affinities(np.zeros((3, 0))), ValueError, "X: the data's points have no coordinates (D = 0)"),
])
def test_masked_and_out_of_range_inputs(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert message in str(raised.value)


THREE_POINTS = np.array([[0.0, 0.0], [3.0, 4.0], [1.0, -1.0]])
THREE_POINTS_P = np.array([[0, 0.25, 0.25], [0.25, 0, 0], [0.25, 0, 0]])
SWAPPED = "the arguments look swapped: kl_divergence takes the embedding Y first, then P"


@pytest.mark.parametrize("Y,P,error,message", [
    (scipy.sparse.csr_array(THREE_POINTS_P), THREE_POINTS, TypeError, f"Y is a sparse matrix and P is not: {SWAPPED}"),
    (THREE_POINTS_P, THREE_POINTS, ValueError, f"P: P must be square; it is 3 by 2; {SWAPPED}"),
    (scipy.sparse.csr_array(THREE_POINTS_P), scipy.sparse.csr_array(THREE_POINTS_P), TypeError,
     "Y: a sparse matrix is not an embedding; give the points as a dense array"),
    # A square Y beside a P wider than long: not an embedding, nothing swapped.
    (np.eye(3), np.ones((3, 4)), ValueError, "P: P must be square; it is 3 by 4"),
])
def test_arguments_given_the_other_way_round_are_told_so(Y, P, error, message):
    with pytest.raises(error) as raised:
        tsneloss.kl_divergence(Y, P, 1.0)
    assert str(raised.value) == message


@pytest.mark.parametrize("sparse", [scipy.sparse.csr_matrix, scipy.sparse.coo_array, scipy.sparse.lil_matrix])
def test_sparse_data_are_refused_saying_so(sparse):
    X = sparse(np.array([[0.0, 1.0], [2.0, 0.0], [1.0, 1.0]]))
    with pytest.raises(TypeError) as raised:
        tsneloss.affinities(X, 1.5)
    assert str(raised.value) == (f"X: a sparse matrix ({X.format}) is not taken as data; give the points as a dense "
                                 "array (X.toarray()), or distances with metric='precomputed'")
