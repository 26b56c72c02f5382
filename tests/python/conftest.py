"""The built tree the package tests run against: the package itself comes from
PYTHONPATH (build/dev/python under CTest), the tsneloss program and the misbehaving
test modules from TSNELOSS_BUILD_DIR (default: build/dev)."""

import json
import os
import pathlib
import subprocess

import numpy as np
import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("TSNELOSS_BUILD_DIR", REPOSITORY / "build" / "dev"))
EXAMPLES = REPOSITORY / "examples"


def write_matrix_market(path, rows, columns, values, n):
    """A general coordinate file holding the triplets in the order given."""
    lines = ["%%MatrixMarket matrix coordinate real general", f"{n} {n} {len(values)}"]
    lines += [f"{r + 1} {c + 1} {float(v)!r}" for r, c, v in zip(rows, columns, values)]
    path.write_text("\n".join(lines) + "\n")


@pytest.fixture
def tool(tmp_path):
    """Runs tsneloss --json on Y (saved as .npy) and P triplets; returns its JSON."""

    def run(Y, rows, columns, values, n, *options):
        np.save(tmp_path / "y.npy", Y)
        write_matrix_market(tmp_path / "p.mtx", rows, columns, values, n)
        done = subprocess.run([BUILD / "bin" / "tsneloss", "--json", *options, tmp_path / "y.npy",
                               tmp_path / "p.mtx"], capture_output=True, text=True, check=True)
        return json.loads(done.stdout)

    return run


@pytest.fixture
def test_module():
    return lambda variant: str(BUILD / "lib" / f"test_module_{variant}.so")
