"""Makes the shipped example: the iris data set's input affinities at perplexity 30
and a 2-D t-SNE embedding of it, both from scikit-learn, with scikit-learn's own exact
KL divergence for that P and embedding.

    /usr/bin/python3 examples/make_iris_example.py      (needs Debian's python3-sklearn)

Writes, beside this script:
  iris_p.mtx          P as a symmetric Matrix Market file (the strict lower triangle:
                      P has a zero diagonal, and each entry stands for (i, j) and (j, i))
  iris_embedding.txt  one point per line, two numbers
  iris_data.txt       the data X: 150 points of 4 measurements, one per line
  iris_kl.txt         scikit-learn's KL(P || Q) for them
"""
import os

import numpy as np
from sklearn.datasets import load_iris
from sklearn.manifold import TSNE
from sklearn.manifold._t_sne import _joint_probabilities, _kl_divergence
from sklearn.metrics import pairwise_distances
from scipy.spatial.distance import squareform

PERPLEXITY = 30.0
HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    x = load_iris().data.astype(np.float64)
    n = x.shape[0]
    # The exact method's P: squared Euclidean distances, binary search for the perplexity,
    # symmetrised and normalised. Condensed form: one value per pair i < j, adding to 1/2.
    distances = pairwise_distances(x, metric="euclidean", squared=True)
    p_condensed = _joint_probabilities(distances, PERPLEXITY, verbose=0)
    embedding = TSNE(n_components=2, perplexity=PERPLEXITY, method="exact", init="pca",
                     learning_rate="auto", random_state=0).fit_transform(x)
    kl, _ = _kl_divergence(embedding.ravel(), p_condensed, 1, n, 2)

    p = squareform(p_condensed)
    rows, cols = np.nonzero(np.tril(p, k=-1))
    with open(os.path.join(HERE, "iris_p.mtx"), "w") as out:
        out.write("%%MatrixMarket matrix coordinate real symmetric\n")
        out.write("% Iris input affinities, perplexity 30 (scikit-learn, exact method).\n")
        out.write(f"{n} {n} {len(rows)}\n")
        for i, j in zip(rows, cols):
            out.write(f"{i + 1} {j + 1} {p[i, j]!r}\n")
    with open(os.path.join(HERE, "iris_embedding.txt"), "w") as out:
        out.write("# 2-D t-SNE embedding of iris (scikit-learn, exact, perplexity 30, seed 0)\n")
        for point in embedding:
            out.write(" ".join(repr(float(v)) for v in point) + "\n")
    with open(os.path.join(HERE, "iris_data.txt"), "w") as out:
        out.write("# iris: sepal length, sepal width, petal length, petal width (cm)\n")
        for point in x:
            out.write(" ".join(repr(float(v)) for v in point) + "\n")
    with open(os.path.join(HERE, "iris_kl.txt"), "w") as out:
        out.write(f"{kl!r}\n")
    print(f"n = {n}, stored entries = {2 * len(rows)}, KL = {kl!r}")


if __name__ == "__main__":
    main()
