"""The block reader must not let a block slip past the test unseen."""

import pytest

from markdown_blocks import PageError, blocks_of, console_steps


def test_blocks_in_order_with_their_language_and_reason():
    page = "text\n```sh\nls\n```\n```python norun: takes an hour\nx = 1\n```\n```console\n$ echo a \\\n  b\na b\n```\n"
    sh, python, console = blocks_of("page.md", page)
    assert (sh.language, sh.line, sh.text, sh.norun_reason) == ("sh", 2, "ls\n", None)
    assert (python.language, python.norun_reason) == ("python", "takes an hour")
    assert console_steps(console) == [("echo a \n  b", "a b")]


@pytest.mark.parametrize("page, fault", [
    ("```\nls\n```\n", "needs one of"),
    ("```bash\nls\n```\n", "needs one of"),
    ("```sh norn\nls\n```\n", "needs one of"),
    ("- item\n  ```sh\n  ls\n  ```\n", "first column"),
    ("```sh\nls\n", "never closed"),
])
def test_pages_that_would_hide_a_block_are_refused(page, fault):
    with pytest.raises(PageError, match=fault):
        blocks_of("page.md", page)


def test_norun_without_a_reason_is_seen():
    [block] = blocks_of("page.md", "```sh norun\nls\n```\n")
    assert block.norun_reason == ""
