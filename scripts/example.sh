#!/usr/bin/env bash
# Builds the project and runs tsneloss, which loads the module through the host's
# loader, on the shipped example: iris at perplexity 30 with a 2-D embedding, both
# made by scikit-learn (examples/make_iris_example.py). Then makes the Python package
# importable by the system's Python (a .pth file naming build/dev/python in its
# site-packages) and computes the same loss from Python.
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

site=$(/usr/bin/python3 -c 'import site; print(site.getsitepackages()[0])')
sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
$sudo mkdir -p "$site"
echo "$PWD/build/dev/python" | $sudo tee "$site/tsneloss.pth" >/dev/null
echo "Python package: $site/tsneloss.pth names $PWD/build/dev/python"
echo "loss (Python):           $(/usr/bin/python3 -c '
import numpy as np, scipy.io, tsneloss
Y = np.loadtxt("examples/iris_embedding.txt")
P = scipy.io.mmread("examples/iris_p.mtx")
print(repr(tsneloss.kl_divergence(Y, P)))')"
