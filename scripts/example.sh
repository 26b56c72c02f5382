#!/usr/bin/env bash
# Builds the project and runs tsneloss, which loads the module through the host's
# loader, on the shipped example: iris at perplexity 30 with a 2-D embedding, both
# made by scikit-learn (examples/make_iris_example.py).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh $(cat scripts/build-packages.txt)
cmake --preset dev >/dev/null
cmake --build --preset dev --target tsneloss >/dev/null
echo "iris, 150 points, P at perplexity 30 (examples/iris_p.mtx), embedding examples/iris_embedding.txt"
echo "loss (tsneloss):         $(build/dev/bin/tsneloss examples/iris_embedding.txt examples/iris_p.mtx 2>/dev/null)"
echo "scikit-learn's exact KL: $(cat examples/iris_kl.txt)"
echo "The same with details:"
build/dev/bin/tsneloss --json examples/iris_embedding.txt examples/iris_p.mtx
