"""The module is opened once per process and kept; calls run without the interpreter's
lock, side by side; Ctrl-C stops a long exact Z."""

import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
import scipy.sparse

import tsneloss
from tsneloss import _core

# Their P are not normalised: the warnings are tested in test_warnings.py.
pytestmark = pytest.mark.filterwarnings("ignore::tsneloss.TsnelossWarning")


def random_case(seed, n, per_column=10):
    rng = np.random.default_rng(seed)
    Y = rng.normal(size=(n, 2))
    P = scipy.sparse.random(n, n, density=per_column / n, format="csr", random_state=seed)
    P.data /= P.data.sum()
    return Y, P


def mapped_files():
    """The files mapped into this process, by (device, inode)."""
    files = set()
    for line in pathlib.Path("/proc/self/maps").read_text().splitlines():
        fields = line.split()
        if len(fields) >= 6 and fields[5].startswith("/"):
            files.add((fields[3], fields[4], fields[5]))
    return files


def test_the_module_stays_mapped_once():
    Y, P = random_case(1, 50)
    module = os.path.realpath(tsneloss._module_path())
    tsneloss.kl_divergence(Y, P, 3.0)
    opened = _core.cached_modules()
    for _ in range(3):
        tsneloss.kl_divergence(Y, P, 3.0)
    mappings = {(device, inode) for device, inode, path in mapped_files() if os.path.realpath(path) == module}
    assert len(mappings) == 1, "the module is mapped between calls, from one file"
    assert _core.cached_modules() == opened


def test_every_thread_count_gives_the_same_bits():
    # Enough entries to pack on several threads; Z both ways.
    Y, P = random_case(4, 8000, per_column=12)
    P = P.tocoo()
    for method in ("exact", "approx"):
        z = tsneloss.normaliser(Y, method, threads=1)
        assert all(tsneloss.normaliser(Y, method, threads=t) == z for t in (2, 3))
    one = tsneloss.kl_divergence(Y, P, threads=1)
    assert all(tsneloss.kl_divergence(Y, P, threads=t) == one for t in (2, 3, None))


@pytest.mark.parametrize("threads,error", [(0, ValueError), (2000, ValueError), (1.5, TypeError), ("2", TypeError)])
def test_thread_counts_refused(threads, error):
    Y, P = random_case(1, 50)
    with pytest.raises(error, match="threads"):
        tsneloss.kl_divergence(Y, P, 1.0, threads=threads)


def test_two_threads_at_once_give_the_same_bits():
    cases = [random_case(seed, 3000) for seed in (2, 3)]
    alone = [tsneloss.kl_divergence(Y, P) for Y, P in cases]
    together = [None, None]
    barrier = threading.Barrier(2)

    def run(k):
        barrier.wait()
        together[k] = tsneloss.kl_divergence(*cases[k])

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert np.array(together).tobytes() == np.array(alone).tobytes()


CHILD = textwrap.dedent("""
    import sys, time
    import numpy as np, tsneloss
    Y = np.random.default_rng(0).normal(size=(60000, 32))
    long_call = {"z": lambda: tsneloss.normaliser(Y, "exact"),
                 "p": lambda: tsneloss.affinities(Y, neighbours="approx")}[sys.argv[1]]
    print("ready", flush=True)
    try:
        long_call()
        print("finished", flush=True)
    except KeyboardInterrupt:
        # Nothing left behind: the next call runs.
        print("interrupted", tsneloss.normaliser(Y[:100], "exact") > 0, flush=True)
""")


@pytest.mark.parametrize("call", ["z", "p"])
def test_ctrl_c_stops_the_exact_z_and_the_neighbour_search(call):
    child = subprocess.Popen([sys.executable, "-c", CHILD, call], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        output, _ = child.communicate(timeout=30)
        stopped = time.monotonic() - sent
    finally:
        child.kill()
    assert output.split() == ["interrupted", "True"]
    assert stopped < 1.5
