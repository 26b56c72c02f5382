"""Each point's share: the module's loss over that point's column of P alone, as
tsneloss --per-point writes it, adding up to the loss up to rounding."""

import subprocess

import numpy as np
import pytest
import scipy.sparse

import tsneloss
from conftest import BUILD, write_matrix_market


@pytest.mark.parametrize("precision,dtype", [("double", np.float64), ("single", np.float32)])
def test_each_share_is_the_loss_of_its_column_alone(precision, dtype):
    rng = np.random.default_rng(12)
    n = 25
    Y = rng.normal(scale=5, size=(n, 3))
    P = scipy.sparse.random(n, n, density=0.3, format="csc", random_state=3)
    P = P / P.sum()
    z = 317.5
    loss, shares = tsneloss.kl_divergence(Y, P, z, precision=precision, per_point=True)
    assert shares.dtype == dtype and shares.shape == (n,)
    coo = P.tocoo()
    for i in range(n):
        kept = coo.col == i
        alone = scipy.sparse.coo_array((coo.data[kept], (coo.row[kept], coo.col[kept])), shape=(n, n))
        if alone.nnz == 0:
            assert shares[i] == 0
            continue
        assert dtype(tsneloss.kl_divergence(Y, alone, z, precision=precision)).tobytes() == shares[i].tobytes()
    total = float(np.sum(shares, dtype=np.float64))
    assert total == pytest.approx(loss, rel=10 * np.finfo(dtype).eps * P.nnz)


def test_shares_match_tsneloss_per_point(tmp_path):
    rng = np.random.default_rng(4)
    n = 40
    Y = rng.normal(size=(n, 2))
    P = scipy.sparse.random(n, n, density=0.2, format="coo", random_state=5)
    np.save(tmp_path / "y.npy", Y)
    write_matrix_market(tmp_path / "p.mtx", P.row, P.col, P.data, n)
    for precision, options in [("double", []), ("single", ["--single"])]:
        subprocess.run([BUILD / "bin" / "tsneloss", *options, "--z", "12.5", "--per-point", tmp_path / "s.npy",
                        tmp_path / "y.npy", tmp_path / "p.mtx"], capture_output=True, check=True)
        _, shares = tsneloss.kl_divergence(Y, P, 12.5, precision=precision, per_point=True)
        written = np.load(tmp_path / "s.npy")
        assert written.dtype == shares.dtype
        assert written.tobytes() == shares.tobytes()
