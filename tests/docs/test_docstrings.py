"""The package's docstring examples run as doctests, against the built package, in a
folder holding the shipped examples."""

import doctest
import pathlib

import tsneloss

from conftest import BUILD

DOCUMENTED = ("kl_divergence", "normaliser", "affinities")


def test_the_package_under_test_is_the_build():
    assert pathlib.Path(tsneloss.__file__).resolve().is_relative_to(BUILD)


def test_docstring_examples_run(workspace):
    tests = {test.name: test for test in doctest.DocTestFinder().find(tsneloss) if test.examples}
    for name in ("tsneloss", *(f"tsneloss.{function}" for function in DOCUMENTED)):
        assert name in tests, f"{name} has no Examples"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    for test in tests.values():
        runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
