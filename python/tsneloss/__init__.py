"""The t-SNE loss KL(P || Q) of an embedding held in NumPy, for affinities P held in
SciPy or NumPy, computed by the tsnelossvek module through the host's loader: the
same numbers, bit for bit, as the tsneloss program on files holding the same values.

    import numpy as np, scipy.io, tsneloss
    Y = np.loadtxt("examples/iris_embedding.txt")
    P = scipy.io.mmread("examples/iris_p.mtx")
    loss = tsneloss.kl_divergence(Y, P)

Refused inputs raise ValueError with tsneloss's messages; errors of the module raise
ModuleError. The module file is the one built with this package, or the one the
environment variable TSNELOSS_MODULE names.
"""

import os

import numpy as np
import scipy.sparse

from . import _core
from ._errors import ModuleError

__all__ = ["kl_divergence", "normaliser", "ModuleError"]

_PRECISIONS = {"double": False, "single": True}


def _module_path():
    return os.environ.get("TSNELOSS_MODULE") or _core.BUILT_MODULE


def _embedding(Y):
    Y = np.asarray(Y)
    if Y.dtype not in (np.float64, np.float32):
        raise ValueError(f"Y: the array's dtype is '{Y.dtype}'; float64 or float32 is needed")
    if Y.ndim != 2:
        raise ValueError(f"Y: the array's shape is {Y.shape}; a 2-D shape (N, D) is needed")
    return Y


def _check_square(shape):
    if len(shape) != 2 or shape[0] != shape[1]:
        raise ValueError(f"P: P must be square; it is {' by '.join(map(str, shape))}")


def _check_real(P):
    if not (np.issubdtype(P.dtype, np.floating) or np.issubdtype(P.dtype, np.integer)
            or P.dtype == np.bool_):
        raise ValueError(f"P: values of type '{P.dtype}' are not supported; P must be real")


def kl_divergence(Y, P, z=None, *, precision="double", per_point=False):
    """The loss sum of p ln(p (1 + |y_i - y_j|^2) Z) over the stored entries of P.

    Y: array of shape (N, D), float64 or float32, any memory order; row i is point i.
    P: N-by-N SciPy sparse matrix or array of any format (entries at one position
       are added together, as SciPy does), or a dense NumPy array (its zeros are not
       stored entries). Entry (j, i) pairs point i with point j.
    z: the normaliser of the output affinities, finite and above 0; None computes
       it as normaliser(Y, "auto") does (exact up to N = 100000, approximate above).
    precision: "double", or "single" for the module's single-precision loss.
    per_point: also return each point's share, the loss over column i of P alone,
       as a float64 (double) or float32 (single) array; the shares add up to the
       loss up to rounding.

    Returns the loss as a float, or (loss, shares) with per_point.
    """
    if precision not in _PRECISIONS:
        raise ValueError(f"precision must be 'double' or 'single', not {precision!r}")
    single = _PRECISIONS[precision]
    Y = _embedding(Y)
    z = None if z is None else float(z)
    if scipy.sparse.issparse(P):
        _check_square(P.shape)
        _check_real(P)
        coo = P.tocoo()
        loss, _, shares = _core.loss_of_sparse(Y, P.shape[0], coo.row, coo.col, coo.data, z, single,
                                               per_point, _module_path())
    else:
        P = np.asarray(P)
        _check_square(P.shape)
        _check_real(P)
        loss, _, shares = _core.loss_of_dense(Y, P, z, single, per_point, _module_path())
    if not per_point:
        return loss
    return loss, shares.astype(np.float32) if single else shares


def normaliser(Y, method="exact"):
    """Z = sum over i != j of 1 / (1 + |y_i - y_j|^2) for Y of shape (N, D), N >= 2,
    computed in double precision by `method`: "exact" (every pair, on all cores),
    "approx" (interpolated on a grid with FFTs, D <= 3, relative error about 1e-8) or
    "auto" (exact up to N = 100000, approximate above), as tsneloss --z-method."""
    return _core.normaliser(_embedding(Y), method)
