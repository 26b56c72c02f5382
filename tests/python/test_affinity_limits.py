"""P from the data where it cannot be trusted or cannot fit: approximate neighbours on
tied data warn, in the command line's words; a P beyond the memory left to the
process is refused with its estimate."""

import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import tsneloss

from conftest import BUILD

N = 2000
rng = np.random.default_rng(8)
TIED = {
    "one dimension rounded to 0.1": np.round(rng.normal(size=(N, 1)), 1),
    "integers 0 to 2 in three dimensions": rng.integers(0, 3, size=(N, 3)).astype(float),
    "each point three times": np.repeat(rng.normal(size=(N // 3 + 1, 4)), 3, axis=0)[:N],
}


@pytest.mark.parametrize("name", TIED)
def test_approximate_neighbours_on_tied_data_warn(name):
    with pytest.warns(tsneloss.TsnelossWarning, match="approximate neighbours found an estimated .* tie with others"):
        P = tsneloss.affinities(TIED[name], 10.0, neighbours="approx", threads=1)
    assert P.neighbours_found < 1.0


def test_the_warning_is_the_command_lines(tmp_path):
    X = TIED["one dimension rounded to 0.1"]
    np.savetxt(tmp_path / "x.txt", X)
    # A map of as many dimensions as the data: no warning that they look swapped.
    np.savetxt(tmp_path / "y.txt", rng.normal(size=(N, 1)))
    done = subprocess.run([BUILD / "bin" / "tsneloss", "--threads", "1", "--data", tmp_path / "x.txt",
                           "--perplexity", "10", "--neighbours", "approx", tmp_path / "y.txt"],
                          capture_output=True, text=True, check=True)
    said = [line.removeprefix("tsneloss: warning: ") for line in done.stderr.splitlines() if "warning" in line]
    with pytest.warns(tsneloss.TsnelossWarning) as caught:
        tsneloss.affinities(X, 10.0, neighbours="approx", threads=1)
    assert [str(w.message) for w in caught] == said
    assert said[0].startswith("approximate neighbours found an estimated")


def test_spread_data_do_not_warn():
    X = np.random.default_rng(9).random((N, 2))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tsneloss.affinities(X, 10.0, neighbours="approx").neighbours_found >= 0.985


# Run under an address-space limit 1 GB above what the interpreter already holds.
LIMITED = textwrap.dedent("""
    import resource, sys
    import numpy as np, tsneloss
    status = open("/proc/self/status").read()
    size = int(status.split("VmSize:")[1].split()[0]) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (size + 10**9, resource.RLIM_INFINITY))
    n, perplexity, neighbours = int(sys.argv[1]), float(sys.argv[2]), sys.argv[3]
    X = np.random.default_rng(0).random((n, 1))
    try:
        print(tsneloss.affinities(X, perplexity, neighbours=neighbours, threads=2).nnz)
    except ValueError as error:
        print("ValueError:", error)
""")


@pytest.mark.parametrize("n, perplexity, neighbours, says", [
    (9000, 30, "all", "ValueError: X: P over all pairs of 9000 points needs about 2.27 GB, more than the "),
    (7000, 6000, "exact", "ValueError: X: P from each of 7000 points' 6999 nearest neighbours needs about "),
    (7000, 30, "exact", ""),
])
def test_p_beyond_the_process_limit_is_refused_with_its_estimate(n, perplexity, neighbours, says):
    done = subprocess.run([sys.executable, "-c", LIMITED, str(n), str(perplexity), neighbours],
                          capture_output=True, text=True, check=True)
    if says:
        assert done.stdout.startswith(says) and "available to this process" in done.stdout, done.stdout
    else:
        assert int(done.stdout) > 0, done.stdout
