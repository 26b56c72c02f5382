"""The t-SNE loss KL(P || Q) of an embedding held in NumPy, for affinities P held in
SciPy or NumPy, computed by the tsnelossvek module through the host's loader: the
same numbers, bit for bit, as the tsneloss program on files holding the same values.
On the shipped example, from the root of the source tree:

>>> import numpy as np, scipy.io, tsneloss
>>> Y = np.loadtxt("examples/iris_embedding.txt")
>>> P = scipy.io.mmread("examples/iris_p.mtx")
>>> tsneloss.kl_divergence(Y, P)
0.12520453039122348

or, from the data X the embedding was made of, with P computed as t-SNE computes it:

>>> X = np.loadtxt("examples/iris_data.txt")
>>> tsneloss.kl_divergence(Y, tsneloss.affinities(X, perplexity=30))
0.12544398319650257

Refused inputs raise ValueError (bad values) or TypeError (values that are not real
numbers) with tsneloss's messages; errors of the module raise ModuleError. What
tsneloss notes on standard error comes as a TsnelossWarning. The module file is the
one installed beside this package, or the one the environment variable
TSNELOSS_MODULE names; it is opened once per process.
"""

import numbers
import os
import warnings

import numpy as np
import scipy.sparse

from . import _core
from ._progress import phase_bars, with_bars
from ._errors import ModuleError, TsnelossWarning

__version__ = _core.version
__all__ = ["affinities", "kl_divergence", "nearest_neighbours", "normaliser", "ModuleError", "TsnelossWarning"]

_PRECISIONS = {"double": False, "single": True}
# As tsneloss --threads: more would only cost memory.
_MOST_THREADS = _core.most_threads
_MODULE_BESIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tsnelossvek.so")


def _module_path():
    return os.environ.get("TSNELOSS_MODULE") or _MODULE_BESIDE


def _unmasked(A, name):
    """A masked array's data where nothing is masked. A masked value is a missing one,
    which no point or entry can stand for: refused as NaN is, not dropped."""
    if not isinstance(A, np.ma.MaskedArray):
        return A
    if np.ma.is_masked(A):
        masked = np.ma.count_masked(A)
        raise ValueError(f"{name}: {masked} of the array's values {'is' if masked == 1 else 'are'} masked; "
                         "fill them (A.filled(value)) or leave their points or entries out")
    return A.data


def _real_array(A, name, keep_float32):
    """A as a native float64 array (float32 kept with `keep_float32`), converted from
    booleans, integers, float16 and other byte orders as NumPy casts them; the
    command line reads .npy files by the same rule."""
    A = np.asarray(_unmasked(A, name))
    kind = A.dtype.kind
    if kind not in _core.real_kinds:
        raise TypeError(f"{name}: {_core.not_real_values(str(A.dtype))}")
    if kind == "f" and A.dtype.isnative and (A.dtype == np.float64 or (keep_float32 and A.dtype == np.float32)):
        return A
    return A.astype(np.float64)


def _embedding(Y):
    Y = _real_array(Y, "Y", keep_float32=True)
    if Y.ndim != 2:
        raise ValueError(f"Y: the array's shape is {Y.shape}; a 2-D shape (N, D) is needed")
    return Y


def _check_square(shape):
    _core.check_square(list(shape), "P")


def _indices(*arrays):
    """The index arrays as they come when they share int32 or int64, else int64."""
    dtypes = {a.dtype for a in arrays}
    if len(dtypes) == 1 and dtypes <= {np.dtype(np.int32), np.dtype(np.int64)}:
        return [np.ascontiguousarray(a) for a in arrays]
    return [np.ascontiguousarray(a, dtype=np.int64) for a in arrays]


def _values(data):
    return np.ascontiguousarray(_real_array(data, "P", keep_float32=True))


def _real_number(value, name, not_real):
    """A real number as a float; a 0-d array is its one value. `not_real` starts the
    TypeError for anything else; a number too large for a float is a ValueError."""
    if isinstance(value, np.ndarray) and value.ndim == 0:
        value = _unmasked(value, name)[()]
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{not_real}, not {type(value).__name__}")
    try:
        return float(value)
    except OverflowError:
        shown = str(value)
        shown = shown if len(shown) <= 40 else shown[:40] + "..."
        raise ValueError(f"{name}: {shown} is too large for a double") from None


def _checked_z(z):
    if z is None:
        return None
    return _real_number(z, "z", "z: Z must be a real number")


def _checked_threads(threads):
    """0 (one per core) for None, else a whole number from 1 to _MOST_THREADS."""
    if threads is None:
        return 0
    if isinstance(threads, (bool, np.bool_)) or not isinstance(threads, numbers.Integral):
        raise TypeError(f"threads must be a whole number or None, not {type(threads).__name__}")
    if not 1 <= threads <= _MOST_THREADS:
        raise ValueError(f"threads must be from 1 to {_MOST_THREADS}, not {threads}")
    return int(threads)


def _loss_of(Y, P, z, single, per_point, threads):
    """The boundary's dictionary for P in whatever form it comes."""
    common = dict(z=z, single=single, per_point=per_point, module_path=_module_path(), threads=threads)
    if not scipy.sparse.issparse(P):
        P = _real_array(P, "P", keep_float32=False)
        _check_square(P.shape)
        return _core.loss_of_dense(Y, P, **common)
    _check_square(P.shape)
    n = P.shape[0]
    if P.format in ("csr", "csc"):
        indptr, indices = _indices(P.indptr, P.indices)
        return _core.loss_of_compressed(Y, n, P.format == "csc", indptr, indices, _values(P.data), **common)
    # Other formats as SciPy lists their entries; COO's are its own arrays.
    coo = P if P.format == "coo" else P.tocoo()
    rows, columns = _indices(coo.row, coo.col)
    return _core.loss_of_coordinates(Y, n, rows, columns, _values(coo.data), **common)


_SWAPPED = "the arguments look swapped: kl_divergence takes the embedding Y first, then P"


def _refuse_swapped(Y, P):
    """A sparse Y, or a square Y beside an N-by-D P, is most likely P and Y swapped."""
    if scipy.sparse.issparse(Y):
        if scipy.sparse.issparse(P):
            raise TypeError("Y: a sparse matrix is not an embedding; give the points as a dense array")
        raise TypeError(f"Y is a sparse matrix and P is not: {_SWAPPED}")
    if scipy.sparse.issparse(P):
        return
    y_shape, p_shape = np.shape(Y), np.shape(P)
    if len(y_shape) == 2 and len(p_shape) == 2 and y_shape[0] == y_shape[1] == p_shape[0] > p_shape[1]:
        try:
            _check_square(p_shape)
        except ValueError as error:
            raise ValueError(f"{error}; {_SWAPPED}") from None


def _warn_as_tsneloss(result):
    """What tsneloss notes on standard error, word for word, as warnings."""
    for note in result["notes"]:
        warnings.warn(note, TsnelossWarning, stacklevel=3)


def kl_divergence(Y, P, z=None, *, precision="double", per_point=False, threads=None):
    """The t-SNE loss, KL(P || Q), over the stored entries of P.

    The sum of ``p ln(p (1 + |y_i - y_j|^2) Z)`` over the stored entries ``p`` of P,
    computed by the module: the same bits as the tsneloss program prints for files
    holding the same values.

    Parameters
    ----------
    Y : array_like, shape (N, D)
        The embedding; row i is point i. float64 and float32 are used as they are
        (any memory order); booleans, integers, float16 and other byte orders are
        converted to float64. A masked array is taken only with nothing masked: a
        masked value is missing, and no point can do without it.
    P : sparse matrix or array, or array_like, shape (N, N)
        The input affinities: a SciPy sparse matrix or array of any format (entries
        at one position are added together, in the order SciPy lists them), or a
        dense array whose zeros are not stored entries. Entry (j, i) pairs point i
        with point j. Should add up to 1.
    z : real number, optional
        The normaliser of the output affinities, finite and above 0 (a 0-d array
        counts as its value). By default it
        is computed as ``normaliser(Y, "auto")`` does.
    precision : {"double", "single"}, optional
        "single" gives the module's single-precision loss, which accumulates every
        term in float and so drifts from the double loss as P grows.
    per_point : bool, optional
        Also return each point's share: the loss over column i of P alone.
    threads : int, optional
        The threads that pack P and compute Z; None (the default) uses one per
        core. Every count gives the same bits.

    Returns
    -------
    loss : float
        The loss (in single precision, widened, for ``precision="single"``).
    shares : ndarray, shape (N,)
        Only with `per_point`: float64, or float32 in single precision. The shares
        add up to the loss up to rounding.

    Raises
    ------
    ValueError
        For values tsneloss refuses, with its message naming ``Y``, ``P`` or ``z``
        (a square Y beside a P that is not: the arguments look swapped)
        and the element (NumPy's flat index for a dense array, the index in
        ``data`` for COO, CSR and CSC, in ``P.tocoo()`` for other formats); for
        masked values, a `z` too large for a double, and a loss that is not
        finite in the precision asked for.
    TypeError
        For values that are not real numbers (strings, objects, complex), a `z`
        that is not a real number, `threads` that is not a whole number, and a
        sparse Y (with a dense P: the arguments look swapped).
    ModuleError
        For an error the module raises.

    Warns
    -----
    TsnelossWarning
        When positions of P were merged, when P does not add up to 1 (relative
        1e-6), and when the single-precision loss differs from the double one by
        more than a relative 1e-6: what tsneloss notes.

    Notes
    -----
    The interpreter's lock is released while the loss and Z are computed, so calls
    from several threads run at once; Ctrl-C stops the exact Z.

    Examples
    --------
    >>> import numpy as np, scipy.sparse, tsneloss
    >>> Y = np.array([[0.0, 0.0], [3.0, 4.0]])
    >>> P = scipy.sparse.csr_array([[0, 0.5], [0.5, 0]])
    >>> tsneloss.kl_divergence(Y, P, 1.0) == np.log(13.0)
    True
    >>> loss, shares = tsneloss.kl_divergence(Y, P, 1.0, per_point=True)
    >>> shares.tolist() == [np.log(13.0) / 2] * 2
    True
    """
    if precision not in _PRECISIONS:
        raise ValueError(f"precision must be 'double' or 'single', not {precision!r}")
    z = _checked_z(z)
    threads = _checked_threads(threads)
    _refuse_swapped(Y, P)
    Y = _embedding(Y)
    result = _loss_of(Y, P, z, _PRECISIONS[precision], per_point, threads)
    _warn_as_tsneloss(result)
    if not per_point:
        return result["loss"]
    shares = result["shares"]
    return result["loss"], shares.astype(np.float32) if precision == "single" else shares


def normaliser(Y, method="auto", *, threads=None):
    """The normaliser Z of the output affinities of an embedding.

    ``Z = sum over i != j of 1 / (1 + |y_i - y_j|^2)``, in double precision.

    Parameters
    ----------
    Y : array_like, shape (N, D)
        The embedding, N >= 2, converted as `kl_divergence` converts it.
    method : {"auto", "exact", "approx"}, optional
        "exact": every pair, on all cores (about 0.25 ns per pair per core); the
        same bits whatever the number of cores. "approx" (D <= 3): interpolated on a
        grid with FFTs, relative error typically 1e-11 to 1e-8. "auto", the
        default of `kl_divergence`: exact up to N = 100000, approximate above.
    threads : int, optional
        The threads that compute Z; None (the default) uses one per core. Every
        count gives the same bits.

    Returns
    -------
    z : float

    Raises
    ------
    ValueError
        For an unknown method, an embedding tsneloss refuses, or a Z that is not
        finite and above 0.
    TypeError
        For values that are not real numbers.

    Examples
    --------
    >>> import numpy as np, tsneloss
    >>> tsneloss.normaliser(np.array([[0.0, 0.0], [3.0, 4.0]])) == 2 / 26
    True
    """
    threads = _checked_threads(threads)
    return _core.normaliser(_embedding(Y), method, threads)


def _checked_perplexity(perplexity):
    return _real_number(perplexity, "perplexity", "perplexity must be a real number")


def _checked_perplexities(perplexity):
    """The perplexities as a list, and whether one number was given."""
    if isinstance(perplexity, (list, tuple)) or (isinstance(perplexity, np.ndarray) and perplexity.ndim == 1):
        return [_checked_perplexity(value) for value in perplexity], False
    return [_checked_perplexity(perplexity)], True


def _checked_count(k, name, default):
    if k is None:
        return default
    if isinstance(k, (bool, np.bool_)) or not isinstance(k, numbers.Integral):
        raise TypeError(f"{name} must be a whole number or None, not {type(k).__name__}")
    if k < 1:
        raise ValueError(f"{name} must be at least 1, not {k}")
    return int(k)


def _checked_name(value, name):
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a string, not {type(value).__name__}")
    return value


def _data(X):
    """The points as float64, or float32 as they are: no copy of float32 data."""
    X = _real_array(X, "X", keep_float32=True)
    if X.ndim != 2:
        raise ValueError(f"X: the array's shape is {X.shape}; a 2-D shape (N, D) is needed")
    return np.ascontiguousarray(X)


def _precomputed_results(X, perplexities, k, threads, bars):
    """P from the caller's distances: a sparse graph or a dense N-by-N array."""
    if scipy.sparse.issparse(X):
        _check_square(X.shape)
        graph = X.tocsr()
        data = np.ascontiguousarray(_real_array(graph.data, "X", keep_float32=False))
        return _core.affinities_from_graph(graph.shape[0], np.ascontiguousarray(graph.indptr, dtype=np.int64),
                                           np.ascontiguousarray(graph.indices, dtype=np.int64), data,
                                           perplexities, k, threads, bars)
    X = _real_array(X, "X", keep_float32=False)
    _core.check_square(list(X.shape), "X")
    return _core.affinities_from_distances(np.ascontiguousarray(X), perplexities, k, threads, bars)


def _csr(result):
    n = result["n"]
    indptr = result["indptr"]
    indices = result["indices"]
    # SciPy wants one index type; int32 where it holds every offset.
    if indptr[-1] <= np.iinfo(np.int32).max:
        indptr = indptr.astype(np.int32)
    else:
        indices = indices.astype(np.int64)
    return scipy.sparse.csr_matrix((result["data"], indices, indptr), shape=(n, n))


def affinities(X, perplexity=30.0, *, metric="euclidean", neighbours="auto", k=None, threads=None, progress=None):
    """The input affinities P of t-SNE, computed from the data.

    Each point's ``k = min(N - 1, floor(3 * perplexity + 1))`` nearest neighbours by
    the metric (their distances, squared for Euclidean, rounded to float32), a precision per
    point found by bisection so that its conditional distribution has the given
    perplexity, then ``P = (C + C.T) / sum(C + C.T)``: the P t-SNE optimises.

    Parameters
    ----------
    X : array_like, shape (N, D), or sparse matrix or array_like, shape (N, N)
        The data, one point per row, N >= 2; float32 is used as it is (its P is
        that of the same values in float64), other types are converted to float64
        as `kl_divergence` converts Y. Coinciding points are fine. With ``metric="precomputed"``: the
        distances, a SciPy sparse matrix whose stored entries off the diagonal are
        each row's candidate neighbours (as `nearest_neighbours` gives them), or a
        dense array; used as given, the diagonal ignored.
    perplexity : float or sequence of float, optional
        Finite, at least 1 (no distribution's perplexity is less) and below N (a
        0-d array counts as its value). 30 by default. A sequence gives a list of P,
        one per perplexity, from one neighbour search for the largest k: each with
        the bits of its own call where the neighbours are exact.
    metric : {"euclidean", "cosine", "correlation", "precomputed"}, optional
        Euclidean distances are squared, as t-SNE squares them; the others are
        taken as they are: 1 - cos for "cosine", 1 - the correlation of the rows'
        coordinates for "correlation". A row of zeros (cosine) or of one value
        (correlation) has no such distance and is refused.
    neighbours : {"auto", "exact", "approx", "all"}, optional
        "exact": the true nearest neighbours (ties to the lower index), on all
        cores. "approx": a graph index, searched ever wider until, on 1000 points
        drawn at random (seeded; some 5000 where 1000 cannot tell) and searched
        exactly, the share of true neighbours found less two standard errors
        reaches 98.5%; the share is
        reported as ``P.neighbours_found`` with its standard error as
        ``P.neighbours_found_error``, and a `TsnelossWarning` says when it
        falls short or the data are too tied for a graph index; with more than
        one thread the index, and so P, may differ slightly from run to run.
        "all": every other point, as t-SNE's exact method takes them, each value
        of P raised to at least 2.220446049250313e-16 as that method does;
        quadratic in time and memory. "auto" (the default): exact up to
        N = 600000, approximate above where a graph index can stand for the
        exact neighbours. "all" takes Euclidean distances only; precomputed
        distances are taken as they are.
    k : int, optional
        The neighbours per point; at least the default above and below N.
    threads : int, optional
        The threads to use; None (the default) uses one per core.
    progress : bool, optional
        A progress bar on standard error (tqdm's) for each phase: "finding
        neighbours", then "fitting perplexities" ("fitting all pairs" for "all").
        None (the default) shows it when the work lasts over a second and
        standard error is a terminal or a notebook; True always, False never.

    Returns
    -------
    P : scipy.sparse.csr_matrix, shape (N, N), or a list of them
        One per perplexity where a sequence was given; float64, symmetric,
        adding up to 1 (a little more with "all"), with its column indices
        sorted. Its attribute ``neighbours_found`` holds the estimated share of
        the true neighbours found (1.0 unless "approx" was used), and
        ``neighbours_found_error`` that estimate's standard error (0.0 likewise).

    Raises
    ------
    ValueError
        For fewer than 2 points, coordinates that are not finite (named by NumPy's
        flat index) or masked, a row without a direction for the metric, a
        precomputed row with fewer than k candidates (named) or a distance that
        is negative or not finite, an unknown metric, a perplexity that is not
        finite, at least 1 and below N (or too large for a double), a k below
        the default or not below N, an unknown `neighbours`, or a P whose
        estimated memory exceeds what this process has left (available memory and
        its address-space limit).
    MemoryError
        When an allocation fails all the same; the message names it.
    TypeError
        For values that are not real numbers, a sparse X, a perplexity that is
        not a real number, or a `progress` that is not True, False or None.

    Warns
    -----
    TsnelossWarning
        When the perplexity search could not meet the perplexity for some points
        (their conditional affinities are its last try), and when t-SNE's own
        arithmetic underflowed for every point, so that P comes from the search on
        distances relative to each point's nearest: what tsneloss notes.

    Notes
    -----
    The interpreter's lock is released while P is computed; Ctrl-C stops the
    neighbour search.

    Examples
    --------
    >>> import numpy as np, tsneloss
    >>> X = np.array([[0.0], [1.0], [3.0]])
    >>> P = tsneloss.affinities(X, perplexity=1.5)
    >>> P.shape, bool(np.isclose(P.sum(), 1.0)), (P != P.T).nnz
    ((3, 3), True, 0)
    >>> Ps = tsneloss.affinities(X, perplexity=[1.2, 1.5])
    >>> len(Ps), (Ps[1] != P).nnz
    (2, 0)
    >>> D = tsneloss.nearest_neighbours(X, 2)
    >>> D.data **= 2
    >>> (tsneloss.affinities(D, perplexity=1.5, metric="precomputed") != P).nnz
    0
    """
    perplexities, single = _checked_perplexities(perplexity)
    threads = _checked_threads(threads)
    bars = phase_bars(progress)
    k = _checked_count(k, "k", 0)
    metric = _checked_name(metric, "metric")
    neighbours = _checked_name(neighbours, "neighbours")
    if metric != "precomputed" and scipy.sparse.issparse(X):
        raise TypeError(f"X: a sparse matrix ({X.format}) is not taken as data; give the points as a dense array "
                        "(X.toarray()), or distances with metric='precomputed'")
    if metric == "precomputed":
        results = with_bars(bars, lambda: _precomputed_results(X, perplexities, k, threads, bars))
    else:
        results = with_bars(bars, lambda: _core.affinities(_data(X), perplexities, neighbours, metric, k, threads,
                                                           bars))
    Ps = []
    for result in results:
        _warn_as_tsneloss(result)
        P = _csr(result)
        P.neighbours_found = result["recall"]
        P.neighbours_found_error = result["recall_error"]
        Ps.append(P)
    return Ps[0] if single else Ps


def nearest_neighbours(X, k, *, metric="euclidean", method="auto", threads=None, progress=None):
    """Each point's k nearest other points, as a sparse matrix of distances.

    Parameters
    ----------
    X : array_like, shape (N, D)
        The data, as `affinities` takes it.
    k : int
        The neighbours per point, from 1 to N - 1.
    metric : {"euclidean", "cosine", "correlation"}, optional
        As in `affinities`; the distances are the metric's own (Euclidean not
        squared).
    method : {"auto", "exact", "approx"}, optional
        As `neighbours` in `affinities` ("all" is the exact search).
    threads : int, optional
        The threads to use; None (the default) uses one per core.
    progress : bool, optional
        As in `affinities`: a bar for the neighbour search.

    Returns
    -------
    D : scipy.sparse.csr_matrix, shape (N, N)
        k float64 entries a row, nearest first (ties to the lower index), each the
        distance rounded to float32 (for Euclidean: the square root of the squared
        distance so rounded); usable as ``affinities(D, metric="precomputed")``,
        with its values squared (``D.data **= 2``) for the Euclidean P. Its attribute
        ``neighbours_found`` and ``neighbours_found_error`` are as P's in
        `affinities`.

    Examples
    --------
    >>> import numpy as np, tsneloss
    >>> D = tsneloss.nearest_neighbours(np.array([[0.0], [1.0], [3.0]]), 1)
    >>> D.toarray().tolist()
    [[0.0, 1.0, 0.0], [1.0, 0.0, 0.0], [0.0, 2.0, 0.0]]
    """
    threads = _checked_threads(threads)
    bars = phase_bars(progress)
    if isinstance(k, (bool, np.bool_)) or not isinstance(k, numbers.Integral):
        raise TypeError(f"k must be a whole number, not {type(k).__name__}")
    metric, method = _checked_name(metric, "metric"), _checked_name(method, "method")
    result = with_bars(bars, lambda: _core.nearest_neighbours(_data(X), max(int(k), 0), metric, method, threads, bars))
    n, k = result["n"], result["k"]
    indptr = np.arange(0, n * k + 1, k, dtype=np.int64)
    D = scipy.sparse.csr_matrix((result["distances"], result["indices"], indptr), shape=(n, n))
    D.neighbours_found = result["recall"]
    D.neighbours_found_error = result["recall_error"]
    return D
