"""kl_divergence gives the module's numbers, bit for bit those of tsneloss on files
holding the same values, for every SciPy format, dense arrays and both precisions."""

import subprocess

import numpy as np
import pytest
import scipy.io
import scipy.sparse

import tsneloss
from conftest import BUILD, EXAMPLES

# Their P are not normalised: the warnings are tested in test_warnings.py.
pytestmark = pytest.mark.filterwarnings("ignore::tsneloss.TsnelossWarning")

FORMATS = {
    "coo_array": scipy.sparse.coo_array,
    "coo_matrix": scipy.sparse.coo_matrix,
    "csr_matrix": scipy.sparse.csr_matrix,
    "csc_array": scipy.sparse.csc_array,
    "bsr_matrix": scipy.sparse.bsr_matrix,
    "dia_matrix": scipy.sparse.dia_matrix,
    "lil_matrix": scipy.sparse.lil_matrix,
    "dok_matrix": scipy.sparse.dok_matrix,
    "dense": lambda coo: coo.toarray(),
}


def same_bits(a, b):
    return np.array(a).tobytes() == np.array(b).tobytes()


@pytest.mark.parametrize("precision", ["double", "single"])
def test_shipped_example_matches_tsneloss(precision):
    Y = np.loadtxt(EXAMPLES / "iris_embedding.txt")
    P = scipy.io.mmread(EXAMPLES / "iris_p.mtx")
    command = [BUILD / "bin" / "tsneloss", EXAMPLES / "iris_embedding.txt", EXAMPLES / "iris_p.mtx"]
    if precision == "single":
        command.insert(1, "--single")
    printed = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    loss = tsneloss.kl_divergence(Y, P, precision=precision)
    cast = np.float32 if precision == "single" else np.float64
    assert same_bits(cast(loss), cast(float(printed)))


def random_case(rng, n, d, dtype, fortran):
    Y = rng.normal(scale=rng.uniform(0.5, 20), size=(n, d)).astype(dtype)
    Y = np.asfortranarray(Y) if fortran else Y
    nnz = 6 * n
    rows = rng.integers(0, n, nnz)
    columns = rng.integers(0, n, nnz)
    values = rng.uniform(1e-6, 1.0, nnz) / nnz
    return Y, rows, columns, values


@pytest.mark.parametrize("precision", ["double", "single"])
@pytest.mark.parametrize("name", FORMATS)
def test_random_cases_match_tsneloss(tool, name, precision):
    rng = np.random.default_rng([list(FORMATS).index(name), precision == "single"])
    for trial in range(3):
        n, d = int(rng.integers(2, 40)), int(rng.integers(1, 5))
        Y, rows, columns, values = random_case(rng, n, d, [np.float64, np.float32][trial % 2], trial == 1)
        coo = scipy.sparse.coo_array((values, (rows, columns)), shape=(n, n))
        P = FORMATS[name](coo)
        # The tool gets the entries as the package hands them over, so that repeated
        # positions are added in one order in both.
        if name == "dense":
            nonzero = np.nonzero(P)
            handed = scipy.sparse.coo_array((P[nonzero], nonzero), shape=(n, n))
        else:
            handed = P.tocoo()
        z = float(rng.uniform(1, 1e4))
        options = ["--z", repr(z)] + (["--single"] if precision == "single" else [])
        expected = tool(Y, handed.row, handed.col, handed.data, n, *options)["loss"]
        loss = tsneloss.kl_divergence(Y, P, z, precision=precision)
        if precision == "single":
            assert same_bits(np.float32(loss), np.float32(expected))
            assert float(np.float32(loss)) == loss, "a single-precision result, widened"
        else:
            assert same_bits(loss, expected)


def test_computed_z_matches_tsneloss(tool):
    rng = np.random.default_rng(7)
    Y, rows, columns, values = random_case(rng, 30, 2, np.float64, False)
    P = scipy.sparse.coo_array((values, (rows, columns)), shape=(30, 30))
    expected = tool(Y, rows, columns, values, 30)
    assert same_bits(tsneloss.normaliser(Y), expected["z"])
    assert same_bits(tsneloss.kl_divergence(Y, P), expected["loss"])


def test_normaliser_methods_agree():
    """auto is the exact Z at this size; approx agrees with it within its stated 1e-6."""
    rng = np.random.default_rng(11)
    Y = np.vstack([rng.normal(0, 1, (300, 2)), rng.normal(8, 0.5, (200, 2))])
    exact = tsneloss.normaliser(Y, "exact")
    assert same_bits(tsneloss.normaliser(Y, "auto"), exact)
    approx = tsneloss.normaliser(Y, "approx")
    assert abs(approx - exact) <= 1e-6 * exact
    assert not same_bits(approx, exact), "approx must not quietly be the exact sum"


def compressed(rows, columns, values, n, by_columns, index_dtype):
    """P compressed as given, entries kept in the order given within each column (or
    row): unsorted and repeated where the triplets are."""
    major, minor = (columns, rows) if by_columns else (rows, columns)
    order = np.argsort(major, kind="stable")
    indptr = np.searchsorted(major[order], np.arange(n + 1)).astype(index_dtype)
    kind = scipy.sparse.csc_matrix if by_columns else scipy.sparse.csr_matrix
    P = kind((values[order], minor[order].astype(index_dtype), indptr), shape=(n, n))
    P.indices, P.indptr = P.indices.astype(index_dtype), P.indptr.astype(index_dtype)
    return P, order


@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
@pytest.mark.parametrize("canonical", [True, False])
@pytest.mark.parametrize("by_columns", [True, False])
def test_compressed_as_given_match_tsneloss(tool, by_columns, canonical, index_dtype):
    rng = np.random.default_rng([by_columns, canonical, index_dtype == np.int64])
    n = 30
    Y, rows, columns, values = random_case(rng, n, 2, np.float64, False)
    if canonical:
        P = scipy.sparse.coo_array((values, (rows, columns)), shape=(n, n))
        P = (P.tocsc() if by_columns else P.tocsr())
        P.indices, P.indptr = P.indices.astype(index_dtype), P.indptr.astype(index_dtype)
        assert P.has_canonical_format
        handed = P.tocoo()
        rows, columns, values = handed.row, handed.col, handed.data
    else:
        P, order = compressed(rows, columns, values, n, by_columns, index_dtype)
        rows, columns, values = rows[order], columns[order], values[order]
        assert not P.has_sorted_indices
    assert P.indices.dtype == index_dtype and P.indptr.dtype == index_dtype
    expected = tool(Y, rows, columns, values, n, "--z", "7.5")["loss"]
    assert same_bits(tsneloss.kl_divergence(Y, P, 7.5), expected)


def test_coo_with_repeats_and_int32_indices_matches_tsneloss(tool):
    rng = np.random.default_rng(21)
    Y, rows, columns, values = random_case(rng, 12, 3, np.float32, True)
    P = scipy.sparse.coo_array((values, (rows.astype(np.int32), columns.astype(np.int32))), shape=(12, 12))
    assert P.row.dtype == np.int32 and len(set(zip(rows, columns))) < len(rows)
    expected = tool(Y, rows, columns, values, 12, "--z", "3.25")["loss"]
    assert same_bits(tsneloss.kl_divergence(Y, P, 3.25), expected)


def test_sorted_csc_with_rows_repeated_in_a_column_is_merged(tool):
    """Rows that never decrease but repeat inside a column: the repeats are added, as
    tsneloss adds them, and counted, not taken as already packed."""
    n = 4
    indptr = np.array([0, 3, 5, 5, 8], dtype=np.int32)
    indices = np.array([1, 1, 3, 0, 2, 0, 0, 0], dtype=np.int32)
    data = np.array([0.5, 0.25, 0.125, 1.5, 2.5, 0.1, 0.2, 0.3])
    P = scipy.sparse.csc_matrix((data, indices, indptr), shape=(n, n))
    Y = np.random.default_rng(3).normal(size=(n, 2))
    columns = np.repeat(np.arange(n), np.diff(indptr))
    expected = tool(Y, indices, columns, data, n, "--z", "2.5")
    assert expected["merged_positions"] == 2
    with pytest.warns(tsneloss.TsnelossWarning) as caught:
        loss = tsneloss.kl_divergence(Y, P, 2.5)
    assert same_bits(loss, expected["loss"])
    assert "2 positions of P were given more than once; their values were added together" in [
        str(w.message) for w in caught]


@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
def test_large_p_in_every_layout_matches_tsneloss(tool, index_dtype):
    """Entries enough to be packed in parts on several threads and spread over several
    runs, most positions repeated: COO as given and by columns, CSR and CSC all give
    the tool's bits on the triplets as given. (A sum's order of adding barely moves
    the loss; the packed arrays' bits are checked in C++.)"""
    rng = np.random.default_rng(25)
    n, nnz = 3000, 200_003
    pool = rng.integers(0, n, (2, 50_000))
    rows, columns = pool[:, rng.integers(0, 50_000, nnz)]
    values = rng.uniform(1, 10, nnz) * 10.0 ** rng.integers(-3, 0, nnz)
    Y = rng.normal(scale=5, size=(n, 2))
    expected = tool(Y, rows, columns, values, n, "--z", "7.5")
    assert expected["merged_positions"] > 0
    rows, columns = rows.astype(index_dtype), columns.astype(index_dtype)
    by_column = np.argsort(columns, kind="stable")
    layouts = {
        "coo": scipy.sparse.coo_array((values, (rows, columns)), shape=(n, n)),
        "coo by columns": scipy.sparse.coo_array((values[by_column], (rows[by_column], columns[by_column])),
                                                 shape=(n, n)),
        "csr": compressed(rows, columns, values, n, False, index_dtype)[0],
        "csc": compressed(rows, columns, values, n, True, index_dtype)[0],
    }
    for name, P in layouts.items():
        for threads in (1, 3):
            loss = tsneloss.kl_divergence(Y, P, 7.5, threads=threads)
            assert same_bits(loss, expected["loss"]), (name, threads)
