"""Every code block of the README and of docs/ runs, in the order of its page, on the
shipped examples, against the build under test; where a block shows output, the
output is compared with what runs. Blocks marked norun must say why and may name
only files and programs that exist."""

import doctest
import io
import pathlib
import re
import subprocess

import pytest

from conftest import REPOSITORY
from markdown_blocks import blocks_of, console_steps

PAGES = [REPOSITORY / "README.md", *sorted((REPOSITORY / "docs").glob("*.md"))]

# Paths into the tree, and programs of a build: build/<preset>/bin/<name>.
TREE_PATH = re.compile(r"(?<![\w./-])((?:scripts|bench|examples|tests|tools|python|cmake|docs|kernel|gateway|errors"
                       r"|host|\.ci)/[\w./-]*[\w/])")
PROGRAM = re.compile(r"(?<![\w./-])build/[\w-]+/bin/([\w-]+)")
# Inline code that a reader would run or open: these must exist too.
INLINE_CODE = re.compile(r"(?<!`)`([^`\n]+)`(?!`)")
RUNNABLE_INLINE = re.compile(r"^(?:/usr/bin/python3 )?(?:scripts|bench|examples|\.ci)/|^build/[\w-]+/bin/")


def relative(page):
    return str(page.relative_to(REPOSITORY))


def built_programs():
    names = set()
    for cmake_file in REPOSITORY.glob("**/CMakeLists.txt"):
        if "build" not in cmake_file.relative_to(REPOSITORY).parts:
            names.update(re.findall(r"add_executable\((\w+)", cmake_file.read_text()))
    # Programs made in a loop are named after their sources (the fuzz targets).
    names.update(source.stem for source in (REPOSITORY / "tests" / "fuzz").glob("*_fuzzer.cpp"))
    return names


def missing_names(text, programs):
    missing = [path for path in TREE_PATH.findall(text) if not (REPOSITORY / path).exists()]
    missing += [f"build/.../bin/{name}" for name in PROGRAM.findall(text) if name not in programs]
    return missing


def run_bash(command):
    return subprocess.run(["bash", "-o", "pipefail", "-c", command], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=60)


def run_sh(block, namespace):
    done = run_bash("set -e\n" + block.text)
    assert done.returncode == 0, f"{block.where}: exit status {done.returncode}\n{done.stdout}"


def run_console(block, namespace):
    for command, expected in console_steps(block):
        shown = "\n".join(line.rstrip() for line in run_bash(command).stdout.splitlines()).rstrip()
        assert shown == expected, f"{block.where}: $ {command}\nprints:\n{shown}\ndocumented:\n{expected}"


def run_python(block, namespace):
    exec(compile("\n" * (block.line) + block.text, block.page, "exec"), namespace)


def run_pycon(block, namespace):
    test = doctest.DocTestParser().get_doctest(block.text, namespace, block.where, block.page, block.line)
    report = io.StringIO()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test, out=report.write, clear_globs=False)
    namespace.update(test.globs)  # the test ran on a copy
    assert runner.failures == 0, report.getvalue()


RUNNERS = {"sh": run_sh, "console": run_console, "python": run_python, "pycon": run_pycon}


@pytest.mark.parametrize("page", PAGES, ids=relative)
def test_blocks_run_as_documented(page, workspace):
    blocks = blocks_of(relative(page), page.read_text())
    assert blocks, f"{relative(page)} has no code block: was a fence missed?"
    namespace = {"__name__": "__docs__"}
    for block in blocks:
        if block.norun_reason is None:
            RUNNERS[block.language](block, namespace)


@pytest.mark.parametrize("page", PAGES, ids=relative)
def test_what_is_not_run_exists(page):
    """norun blocks, and inline commands, name files and programs that are there."""
    programs = built_programs()
    text = page.read_text()
    for block in blocks_of(relative(page), text):
        if block.norun_reason is not None:
            assert block.norun_reason.strip(), f"{block.where}: norun needs a reason ('norun: why')"
            assert not missing_names(block.text, programs), f"{block.where}: {missing_names(block.text, programs)}"
    inline = [span for span in INLINE_CODE.findall(text) if RUNNABLE_INLINE.match(span)]
    missing = [name for span in inline for name in missing_names(span, programs)]
    assert not missing, f"{relative(page)} names what is not there: {missing}"


def test_pages_link_to_pages_that_exist():
    for page in PAGES:
        for target in re.findall(r"\]\(([^)#:\s]+)(?:#[^)]*)?\)", page.read_text()):
            assert (page.parent / target).exists(), f"{relative(page)} links to {target}, which is not there"
