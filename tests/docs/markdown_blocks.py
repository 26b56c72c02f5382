"""The fenced code blocks of a Markdown page, with what runs them.

A block opens with three backquotes at the start of a line and an info string: the
language, then optionally `norun: REASON` for the few blocks that cannot run inside
the suite. Only the languages below are allowed, so that no block escapes the test.
"""

import dataclasses
import re

# sh: bash, its exit status checked; console: `$ ` commands, each followed by what it
# prints (stdout and stderr as a terminal shows them); python: executed; pycon: `>>> `
# sessions, run as doctests.
LANGUAGES = ("sh", "console", "python", "pycon")
FENCE = "```"
INFO = re.compile(r"^(?P<language>\S+)(?:\s+norun(?::\s*(?P<reason>.*))?)?$")


@dataclasses.dataclass
class Block:
    page: str
    line: int  # of the opening fence, from 1
    language: str
    text: str
    norun_reason: str | None = None  # "" when norun is given without a reason

    @property
    def where(self):
        return f"{self.page}:{self.line}"


class PageError(ValueError):
    pass


def _opened(page, number, info):
    match = INFO.match(info.strip())
    if not match or match["language"] not in LANGUAGES:
        raise PageError(f"{page}:{number}: a code block needs one of {', '.join(LANGUAGES)}, "
                        f"optionally followed by 'norun: REASON'; it has {info!r}")
    reason = match["reason"]
    if reason is None and "norun" in info:
        reason = ""
    return Block(page, number, match["language"], "", reason)


def blocks_of(page, text):
    """The page's blocks in order. Fences must start at the first column (one inside a
    list item would otherwise be missed) and every block must be closed."""
    blocks = []
    lines = []
    block = None
    for number, line in enumerate(text.splitlines(), start=1):
        if line.lstrip().startswith(FENCE) and not line.startswith(FENCE):
            raise PageError(f"{page}:{number}: a fence must start at the first column")
        if block is None:
            if line.startswith(FENCE):
                block = _opened(page, number, line[len(FENCE):])
                lines = []
        elif line.rstrip() == FENCE:
            block.text = "\n".join(lines) + "\n"
            blocks.append(block)
            block = None
        else:
            lines.append(line)
    if block is not None:
        raise PageError(f"{block.where}: the block is never closed")
    return blocks


def console_steps(block):
    """(command, expected output) pairs of a console block. A command continues on the
    next line after a trailing backslash."""
    steps = []
    command = None
    for line in block.text.splitlines():
        if command is not None and command.endswith("\\"):
            command = command[:-1] + "\n" + line
            steps[-1] = (command, [])
        elif line.startswith("$ "):
            command = line[2:]
            steps.append((command, []))
        elif not steps:
            raise PageError(f"{block.where}: a console block starts with a '$ ' command")
        else:
            steps[-1][1].append(line)
    return [(command, "\n".join(output).rstrip()) for command, output in steps]
