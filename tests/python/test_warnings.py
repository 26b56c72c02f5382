"""What tsneloss notes on standard error comes as a TsnelossWarning."""

import subprocess
import warnings

import numpy as np
import pytest
import scipy.sparse

import tsneloss
from conftest import BUILD, write_matrix_market

Y = np.array([[0.0, 0.0], [3.0, 4.0]])


def test_a_normalised_p_without_repeats_warns_of_nothing():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        tsneloss.kl_divergence(Y, np.array([[0, 0.5], [0.5, 0]]), 1.0)


def test_merged_positions_and_the_sum_of_p():
    P = scipy.sparse.coo_array(([0.25, 0.25, 0.25], ([1, 1, 0], [0, 0, 1])), shape=(2, 2))
    with pytest.warns(tsneloss.TsnelossWarning) as caught:
        tsneloss.kl_divergence(Y, P, 1.0)
    messages = [str(w.message) for w in caught]
    assert "1 position of P was given more than once; its values were added together" in messages
    assert any(m.startswith("the stored values of P add up to 0.75, not 1") for m in messages)


def test_single_precision_far_from_double():
    rng = np.random.default_rng(9)
    n = 2000
    Ys = rng.normal(scale=10, size=(n, 2))
    P = scipy.sparse.random(n, n, density=0.05, format="csc", random_state=9)
    P.data /= P.data.sum()
    double = tsneloss.kl_divergence(Ys, P, 1e3)
    with pytest.warns(tsneloss.TsnelossWarning, match=f"from the double-precision loss {double:.17g} by a relative") as w:
        single = tsneloss.kl_divergence(Ys, P, 1e3, precision="single")
    assert abs(single - double) > 1e-6 * abs(double)
    assert len(w) == 1


def test_the_same_words_as_the_command_line(tmp_path):
    # A sum of P whose shortest form (0.7) differs from its 17 digits, and one repeat.
    rows, columns, values = [1, 1, 0], [0, 0, 1], [0.1, 0.2, 0.4]
    write_matrix_market(tmp_path / "p.mtx", rows, columns, values, 2)
    np.savetxt(tmp_path / "y.txt", Y)
    # Python warns of every note; the command line says those that only inform with --verbose.
    done = subprocess.run([BUILD / "bin" / "tsneloss", "--verbose", "--z", "1", tmp_path / "y.txt", tmp_path / "p.mtx"],
                          capture_output=True, text=True, check=True)
    said = [line.split(": ", 2)[2] for line in done.stderr.splitlines()]
    P = scipy.sparse.coo_array((values, (rows, columns)), shape=(2, 2))
    with pytest.warns(tsneloss.TsnelossWarning) as caught:
        tsneloss.kl_divergence(Y, P, 1.0)
    assert [str(w.message) for w in caught] == said
    assert len(said) == 2
