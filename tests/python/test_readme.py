"""Every Python example in the README runs as written."""
import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example(code):
    exec(compile(code, str(README), "exec"), {})


def test_readme_has_examples():
    assert BLOCKS
