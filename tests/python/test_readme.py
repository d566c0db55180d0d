"""The README's Python blocks run in order, as a reader would paste them, and its results
section works on a forecast, not on the tour's observation."""

import os
import pathlib
import re

import pytest

README = pathlib.Path(__file__).parents[2] / "README.md"


@pytest.mark.skipif(bool(os.environ.get("MOVRA_SANITIZED")), reason="pure Python on the module")
def test_readme_blocks_run_in_order():
    pytest.importorskip("pandas")
    pytest.importorskip("matplotlib").use("Agg")
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(), re.MULTILINE | re.DOTALL)
    assert len(blocks) >= 3
    namespace = {}
    for block in blocks:
        exec(compile(block, str(README), "exec"), namespace)
    # With only the observed value left, every figure of the results section is degenerate.
    assert 0.01 < namespace["tail"] < 0.99
    assert namespace["q95"] > namespace["mean"] > 0
