"""The user guide's examples run as written: every ```python block of
docs/guide.md, each in a fresh namespace (the blocks assert what they show)."""

import pathlib
import re

import pytest

GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide.md"
BLOCKS = [(GUIDE.read_text()[:m.start()].count("\n") + 2, m.group(1))
          for m in re.finditer(r"^```python\n(.*?)^```$", GUIDE.read_text(), re.S | re.M)]


def test_the_guide_has_examples():
    assert len(BLOCKS) >= 6


@pytest.mark.parametrize("line,code", BLOCKS, ids=[f"line{line}" for line, _ in BLOCKS])
def test_guide_example_runs(line, code):
    exec(compile(code, f"{GUIDE}:{line}", "exec"), {"__name__": f"guide_line{line}"})
