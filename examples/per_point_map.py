"""Which points does an embedding serve badly? Draws two t-SNE embeddings, each point
coloured by its share of the loss KL(P || Q) (the loss over its column of P alone),
from tsneloss.kl_divergence(..., per_point=True):

  - iris, the shipped example (examples/iris_embedding.txt, examples/iris_p.mtx);
  - scikit-learn's digits (1797 images of 8 x 8 pixels, shipped with python3-sklearn):
    P from its 91 nearest neighbours at perplexity 30, computed by
    tsneloss.affinities as t-SNE computes it, and a Barnes-Hut embedding made here by
    scikit-learn (about half a minute).

    /usr/bin/python3 examples/per_point_map.py [OUTPUT.png]

Writes examples/per_point_map.png unless told otherwise. Needs the package built and
importable (scripts/example.sh) and Debian's python3-matplotlib and python3-sklearn.
"""
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import scipy.io
from sklearn.datasets import load_digits
from sklearn.manifold import TSNE

import tsneloss

PERPLEXITY = 30.0
HERE = os.path.dirname(os.path.abspath(__file__))


def iris():
    Y = np.loadtxt(os.path.join(HERE, "iris_embedding.txt"))
    P = scipy.io.mmread(os.path.join(HERE, "iris_p.mtx"))
    return "iris (shipped example)", Y, P


def digits():
    x = load_digits().data.astype(np.float64)
    # The sparse P of Barnes-Hut t-SNE: the 3 * perplexity + 1 nearest neighbours,
    # calibrated to the perplexity, symmetrised and normalised.
    P = tsneloss.affinities(x, PERPLEXITY, neighbours="exact")
    Y = TSNE(n_components=2, perplexity=PERPLEXITY, init="pca", learning_rate="auto",
             random_state=0).fit_transform(x)
    return "scikit-learn digits", Y, P


def draw(axis, title, Y, P):
    loss, shares = tsneloss.kl_divergence(Y, P, per_point=True)
    order = np.argsort(shares)  # the worst served points drawn last, on top
    dots = axis.scatter(Y[order, 0], Y[order, 1], c=shares[order], s=12 if len(Y) > 500 else 24,
                        cmap="viridis", linewidths=0)
    axis.set_title(f"{title}: N = {len(Y)}, KL = {loss:.4f}", fontsize=10)
    axis.set_xticks([])
    axis.set_yticks([])
    axis.figure.colorbar(dots, ax=axis, label="share of the loss")
    worst = order[-1]
    print(f"{title}: loss {loss!r}, shares add up to {shares.sum()!r}; "
          f"point {worst} has the largest share, {shares[worst]:.3g}")


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "per_point_map.png")
    figure, axes = plt.subplots(1, 2, figsize=(12, 5))
    for axis, (title, Y, P) in zip(axes, [iris(), digits()]):
        draw(axis, title, Y, P)
    figure.suptitle("Each point's share of KL(P || Q): bright points are served worst")
    figure.tight_layout()
    figure.savefig(output, dpi=90)
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
