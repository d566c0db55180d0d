"""The PMF builders against scipy.stats and against their own promises: plain sorted dicts
that sum to 1, stable for large parameters, tails cut at the stated mass."""

import math
import os

import pytest

from movra import dist

# scipy.stats leaks a few bytes of its own at import, which the sanitizer run would report.
stats = None if os.environ.get("MOVRA_SANITIZED") else pytest.importorskip("scipy.stats")
needs_scipy = pytest.mark.skipif(stats is None, reason="scipy is not imported under the sanitizer")


@needs_scipy
@pytest.mark.parametrize("pmf, frozen", [
    (lambda: dist.poisson(3.5), lambda: stats.poisson(3.5)),
    (lambda: dist.poisson(10_000), lambda: stats.poisson(10_000)),
    (lambda: dist.binomial(20, 0.3), lambda: stats.binom(20, 0.3)),
    (lambda: dist.binomial(1_000_000, 0.4), lambda: stats.binom(1_000_000, 0.4)),
    (lambda: dist.geometric(0.2), lambda: stats.geom(0.2)),
    (lambda: dist.geometric(0.2, start=0), lambda: stats.geom(0.2, loc=-1)),
    (lambda: dist.uniform(2, 5), lambda: stats.randint(2, 6)),
], ids=["poisson", "poisson-large", "binomial", "binomial-large", "geometric", "geometric-0",
        "uniform"])
def test_builders_match_scipy(pmf, frozen):
    pmf, frozen = pmf(), frozen()
    assert list(pmf) == sorted(pmf) and all(type(v) is int for v in pmf)
    assert math.fsum(pmf.values()) == pytest.approx(1.0, abs=1e-12)
    for v, p in pmf.items():
        assert p == pytest.approx(frozen.pmf(v), rel=1e-9, abs=1e-15)
    # Only the stated mass is missing, split between the tails.
    assert frozen.cdf(min(pmf) - 1) < dist.TAIL_MASS / 2
    assert frozen.sf(max(pmf)) < dist.TAIL_MASS / 2


@needs_scipy
def test_tail_is_cut_at_the_stated_mass():
    cut = dist.poisson(5.0, tail=1e-3)
    assert stats.poisson(5.0).sf(max(cut)) < 5e-4 <= stats.poisson(5.0).sf(max(cut) - 1)


@pytest.mark.parametrize("pmf, expected", [
    (dist.deterministic(3), {3: 1.0}),
    (dist.from_counts({1: 3, 4: 1, 2: 0}), {1: 0.75, 4: 0.25}),
    (dist.from_counts([0, 2.5, 2.5]), {1: 0.5, 2: 0.5}),
    (dist.from_samples([2, 1, 2, 2]), {1: 0.25, 2: 0.75}),
    # Durations up to one step take one step; the rest round up.
    (dist.discretise(lambda x: min(max(x / 2.5, 0.0), 1.0), 1.0), {1: 0.4, 2: 0.4, 3: 0.2}),
    (dist.binomial(5, 1.0), {5: 1.0}),
    (dist.poisson(0), {0: 1.0}),
    (dist.from_counts({0: 1.5e308, 2: 1.5e308}), {0: 0.5, 2: 0.5}),  # a sum past the floats
])
def test_small_builders(pmf, expected):
    assert pmf == pytest.approx(expected) and list(pmf) == list(expected)


def test_discretise_exponential_keeps_its_mean():
    pmf = dist.discretise(lambda x: 1.0 - math.exp(-x / 3.0), 0.5)
    mean_steps = math.fsum(k * p for k, p in pmf.items())
    # Rounding up adds on average about half a step to a duration measured in steps.
    assert 6.0 < mean_steps < 6.6 and min(pmf) == 1


@pytest.mark.parametrize("build", [
    lambda: dist.poisson(-1.0), lambda: dist.poisson(math.nan), lambda: dist.binomial(3, 1.5),
    lambda: dist.binomial(-1, 0.5), lambda: dist.geometric(0.0), lambda: dist.uniform(3, 1),
    lambda: dist.deterministic(-2), lambda: dist.from_counts({1: -1.0, 2: 3.0}),
    lambda: dist.from_counts({}), lambda: dist.from_counts({-1: 1.0}),
    lambda: dist.from_samples([]), lambda: dist.from_samples([1, -3]),
    lambda: dist.discretise(lambda x: 2.0, 1.0), lambda: dist.discretise(lambda x: 0.0, 1.0),
    lambda: dist.discretise(lambda x: 1.0, 0.0), lambda: dist.geometric(5e-324),
    # Spans that would take gigabytes or hours to build.
    lambda: dist.poisson(1e15), lambda: dist.binomial(2**63, 0.5),
    lambda: dist.uniform(0, 2**31 - 1),
])
def test_bad_arguments_are_refused(build):
    with pytest.raises(ValueError):
        build()
