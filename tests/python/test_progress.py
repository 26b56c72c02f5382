"""Progress of affinities on standard error: a bar per phase, named, with True; none
with False or, for short work, by default; the same P either way."""

import numpy as np
import pytest

import tsneloss

X = np.random.default_rng(3).normal(size=(300, 5))


@pytest.mark.parametrize("neighbours,phases", [
    ("exact", ["finding neighbours", "fitting perplexities"]),
    ("approx", ["finding neighbours", "fitting perplexities"]),
    ("all", ["fitting all pairs"]),
])
def test_each_phase_is_named_and_ends_full(capfd, neighbours, phases):
    quiet = tsneloss.affinities(X, 10.0, neighbours=neighbours, threads=1, progress=False)
    assert capfd.readouterr().err == ""
    shown = tsneloss.affinities(X, 10.0, neighbours=neighbours, threads=1, progress=True)
    err = capfd.readouterr().err
    assert [phase for phase in ["finding neighbours", "fitting perplexities", "fitting all pairs"]
            if phase in err] == phases
    for phase in phases:
        assert f"{phase}: 100%" in err
    assert sorted(phases, key=err.index) == phases
    if neighbours != "approx":  # the index differs from run to run only with threads
        assert (shown != quiet).nnz == 0 and np.array_equal(shown.data, quiet.data)


def test_short_work_shows_nothing_by_default(capfd):
    tsneloss.affinities(X, 10.0)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("progress", [1, "yes", 0.5])
def test_progress_is_true_false_or_none(progress):
    with pytest.raises(TypeError, match="progress must be True, False or None"):
        tsneloss.affinities(X, 10.0, progress=progress)
