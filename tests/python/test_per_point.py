"""Each point's share comes back as tsneloss --per-point writes it (the shares
themselves are checked against the module in tests/tools/per_point_test.cpp) and adds
up to the loss up to rounding."""

import subprocess

import numpy as np
import pytest
import scipy.sparse

import tsneloss
from conftest import BUILD, write_matrix_market

# Their P are not normalised: the warnings are tested in test_warnings.py.
pytestmark = pytest.mark.filterwarnings("ignore::tsneloss.TsnelossWarning")


@pytest.mark.parametrize("precision,dtype", [("double", np.float64), ("single", np.float32)])
def test_shares_match_tsneloss_per_point(tmp_path, precision, dtype):
    rng = np.random.default_rng(4)
    n = 40
    Y = rng.normal(size=(n, 2))
    P = scipy.sparse.random(n, n, density=0.2, format="coo", random_state=5)
    np.save(tmp_path / "y.npy", Y)
    write_matrix_market(tmp_path / "p.mtx", P.row, P.col, P.data, n)
    options = ["--single"] if precision == "single" else []
    subprocess.run([BUILD / "bin" / "tsneloss", *options, "--z", "12.5", "--per-point", tmp_path / "s.npy",
                    tmp_path / "y.npy", tmp_path / "p.mtx"], capture_output=True, check=True)
    loss, shares = tsneloss.kl_divergence(Y, P.tocsr(), 12.5, precision=precision, per_point=True)
    written = np.load(tmp_path / "s.npy")
    assert shares.dtype == dtype and written.dtype == dtype and shares.shape == (n,)
    assert written.tobytes() == shares.tobytes()
    assert float(np.sum(shares, dtype=np.float64)) == pytest.approx(loss, rel=10 * np.finfo(dtype).eps * P.nnz)
