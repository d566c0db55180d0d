"""Every example runs to its end and draws pictures that show something."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

# The sweep draws no pictures; test_busy runs it on a local cluster.
EXAMPLES = sorted(p for p in (pathlib.Path(__file__).parents[2] / "examples").glob("*.py")
                  if p.name != "sweep.py")


@pytest.mark.skipif(bool(os.environ.get("MOVRA_SANITIZED")), reason="pure Python on the module")
@pytest.mark.parametrize("script", EXAMPLES, ids=lambda p: p.name)
def test_example_draws_its_pictures(script, tmp_path):
    image = pytest.importorskip("matplotlib.image")
    run = subprocess.run([sys.executable, str(script), str(tmp_path)], cwd=tmp_path,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    written = re.findall(r"^wrote (.+\.png)$", run.stdout, re.MULTILINE)
    assert written and sorted(os.listdir(tmp_path)) == sorted(os.path.basename(p) for p in written)
    for path in written:
        pixels = image.imread(path)[..., :3].reshape(-1, 3)
        # A blank or one-colour picture has next to no distinct colours; a plot has many.
        assert len({tuple(p) for p in pixels[::7]}) > 50, path


@pytest.mark.parametrize("mean", [0.3, 12.5, 745.5, 1e5])
def test_poisson_of_the_examples_has_its_mean(mean):
    # Built from exp(-mean) times a product, a mean above about 745 gave an empty PMF.
    sys.path.insert(0, str(EXAMPLES[0].parent))
    try:
        import station
    finally:
        sys.path.pop(0)
    pmf = station.dist.poisson(mean)  # what the examples use
    assert sum(pmf.values()) == pytest.approx(1, abs=1e-9)
    assert sum(k * p for k, p in pmf.items()) == pytest.approx(mean, rel=1e-9)
