"""Writes one small P (and an embedding) in every form SciPy writes it, so the suite
checks the readers against SciPy's own files: Matrix Market by mmwrite (sparse, and
dense for an ndarray), and save_npz as csr (compressed), csc (stored) and coo.
Run with Debian's python3-scipy from this directory; the files are committed."""
import numpy as np
import scipy.io
import scipy.sparse

rng = np.random.default_rng(7)
n = 7
dense = rng.random((n, n)) * (rng.random((n, n)) < 0.45)
np.fill_diagonal(dense, 0.0)
dense = dense + dense.T
dense /= dense.sum()
p = scipy.sparse.csr_matrix(dense)

scipy.io.mmwrite("scipy_p.mtx", p)
scipy.io.mmwrite("scipy_p_dense.mtx", dense)
scipy.sparse.save_npz("scipy_p_csr.npz", p)
scipy.sparse.save_npz("scipy_p_csc.npz", p.tocsc(), compressed=False)
scipy.sparse.save_npz("scipy_p_coo.npz", p.tocoo())
np.savetxt("scipy_y.txt", rng.normal(size=(n, 2)) * 3)
