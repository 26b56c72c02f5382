"""What the documentation's examples run against: the package from PYTHONPATH
(build/dev/python under CTest), the programs from TSNELOSS_BUILD_DIR (default:
build/dev), in a temporary folder laid out as the examples expect it."""

import os
import pathlib
import shutil
import sys

import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("TSNELOSS_BUILD_DIR", REPOSITORY / "build" / "dev")).resolve()

if not os.environ.get("PYTHONPATH"):
    os.environ["PYTHONPATH"] = str(BUILD / "python")
    sys.path.insert(0, str(BUILD / "python"))


@pytest.fixture
def workspace(tmp_path, monkeypatch):
    """A folder holding a copy of examples/ and build/dev standing for the build under
    test, entered; ~ is a fresh home there, so ~/.local is a temporary prefix."""
    folder = tmp_path / "work"
    shutil.copytree(REPOSITORY / "examples", folder / "examples")
    (folder / "build").mkdir()
    (folder / "build" / "dev").symlink_to(BUILD, target_is_directory=True)
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    monkeypatch.delenv("TSNELOSS_MODULE", raising=False)
    monkeypatch.chdir(folder)
    return folder
