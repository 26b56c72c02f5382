"""pip installs the package into a virtual environment (NumPy and SciPy seen from the
system's site-packages), where it runs from any directory on its own: the module and
host libraries come with it, found beside the package."""

import os
import subprocess
import sys

import numpy as np

from conftest import BUILD, EXAMPLES, REPOSITORY

SCRIPT = """
import importlib.metadata
import numpy as np, scipy.io, tsneloss
Y = np.loadtxt({y!r})
P = scipy.io.mmread({p!r})
print(tsneloss.__file__)
print(repr(tsneloss.kl_divergence(Y, P)))
print(tsneloss.__version__, importlib.metadata.version("tsneloss"))
"""


def test_installed_package_runs_from_elsewhere(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", venv], check=True)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TSNELOSS_MODULE")}
    # The build CTest runs in, rather than a second build of the whole project.
    installing = dict(env, TSNELOSS_CMAKE_BUILD_DIR=str(BUILD), PIP_NO_CACHE_DIR="1")
    done = subprocess.run([venv / "bin" / "pip", "install", "--no-build-isolation", "--no-index", REPOSITORY],
                          env=installing, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr

    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    script = SCRIPT.format(y=str(EXAMPLES / "iris_embedding.txt"), p=str(EXAMPLES / "iris_p.mtx"))
    ran = subprocess.run([venv / "bin" / "python", "-c", script], cwd=elsewhere, env=env, capture_output=True,
                         text=True, check=True)
    location, loss, version, wheel_version = ran.stdout.split()
    assert location.startswith(str(venv))
    printed = subprocess.run([BUILD / "bin" / "tsneloss", EXAMPLES / "iris_embedding.txt", EXAMPLES / "iris_p.mtx"],
                             capture_output=True, text=True, check=True).stdout
    assert np.float64(loss).tobytes() == np.float64(printed).tobytes()
    # One version, set in CMake: the program, the package and the installed metadata.
    shown = subprocess.run([BUILD / "bin" / "tsneloss", "--version"], capture_output=True, text=True,
                           check=True).stdout
    assert shown == f"tsneloss {version}\n"
    assert wheel_version == version
