#!/usr/bin/env bash
# Builds the project and runs tsneloss, which loads the module through the host's
# loader, on the shipped example: iris at perplexity 30 with a 2-D embedding, both
# made by scikit-learn (examples/make_iris_example.py). Then installs the Python
# package with pip into a virtual environment, .venv (NumPy and SciPy from the
# system's site-packages; nothing written outside this tree), and computes the same
# loss from Python, run from another directory.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh $(cat scripts/build-packages.txt)
cmake --preset dev >/dev/null
cmake --build --preset dev --target tsneloss tsneloss_python >/dev/null
echo "iris, 150 points, P at perplexity 30 (examples/iris_p.mtx), embedding examples/iris_embedding.txt"
echo "loss (tsneloss):         $(build/dev/bin/tsneloss examples/iris_embedding.txt examples/iris_p.mtx 2>/dev/null)"
echo "scikit-learn's exact KL: $(cat examples/iris_kl.txt)"
echo "The same with details:"
build/dev/bin/tsneloss --json examples/iris_embedding.txt examples/iris_p.mtx
echo "P computed from the data X (examples/iris_data.txt), every pair as t-SNE's exact method takes them:"
echo "loss (tsneloss --data):  $(build/dev/bin/tsneloss --data examples/iris_data.txt --neighbours all examples/iris_embedding.txt 2>/dev/null)"
echo "and from the 91 nearest neighbours (the default for N up to 600000):"
echo "loss (tsneloss --data):  $(build/dev/bin/tsneloss --data examples/iris_data.txt examples/iris_embedding.txt 2>/dev/null)"

[ -x .venv/bin/python ] || /usr/bin/python3 -m venv --system-site-packages .venv
# The package's extension is the dev build just made (setup.py reuses it).
TSNELOSS_CMAKE_BUILD_DIR="$PWD/build/dev" .venv/bin/pip install --quiet --no-build-isolation --no-index .
echo "Python package: installed into $PWD/.venv (run .venv/bin/python, or source .venv/bin/activate)"
examples=$PWD/examples
echo "loss (Python):           $(cd / && "$OLDPWD/.venv/bin/python" -c '
import sys, numpy as np, scipy.io, tsneloss
Y = np.loadtxt(sys.argv[1] + "/iris_embedding.txt")
P = scipy.io.mmread(sys.argv[1] + "/iris_p.mtx")
print(repr(tsneloss.kl_divergence(Y, P)))' "$examples")"
echo "loss (Python, from X):   $(cd / && "$OLDPWD/.venv/bin/python" -c '
import sys, numpy as np, tsneloss
X, Y = np.loadtxt(sys.argv[1] + "/iris_data.txt"), np.loadtxt(sys.argv[1] + "/iris_embedding.txt")
print(repr(tsneloss.kl_divergence(Y, tsneloss.affinities(X, perplexity=30, neighbours="all"))))' "$examples")"
