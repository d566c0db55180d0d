"""Ready-made PMFs for the models' setters: every builder returns a plain
``dict[int, float]`` that sums to 1, in ascending order of value, without zeros.

Unbounded families (Poisson, binomial, geometric, a discretised duration) lose their
tails: each side keeps all but less than ``tail / 2`` of the mass (``TAIL_MASS`` by
default), and the rest is renormalised.  Probabilities are formed in log space, so a
Poisson of mean 10 000 or a binomial of a million trials is as accurate as a small one.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Mapping, Sequence

import numpy as np

__all__ = ["TAIL_MASS", "binomial", "deterministic", "discretise", "from_counts",
           "from_samples", "geometric", "poisson", "uniform"]

#: Probability mass the unbounded builders may drop, split evenly between the two tails.
TAIL_MASS = 1e-12

# A discretised duration longer than this many steps is refused rather than built.
_MAX_STEPS = 1_000_000

# A PMF over more values than this is refused rather than built: the whole Int range's
# Poisson and binomial fit well within it, while 2**63 trials would need terabytes.
_MAX_VALUES = 10_000_000


def _span(lo: int, hi: int, what: str) -> None:
    if hi - lo > _MAX_VALUES:
        raise ValueError(f"{what} spans more than {_MAX_VALUES} values")


def _whole(value: object, what: str, *, minimum: int = 0) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    if value < minimum:
        raise ValueError(f"{what} must be at least {minimum}, got {value}")
    return int(value)


def _probability(value: float, what: str) -> float:
    p = float(value)
    if not 0.0 <= p <= 1.0:  # NaN fails too
        raise ValueError(f"{what} must be a probability in [0, 1], got {value!r}")
    return p


def _tail(tail: float) -> float:
    t = float(tail)
    if not 0.0 <= t < 1.0:
        raise ValueError(f"tail must be in [0, 1), got {tail!r}")
    return t


def _finish(first: int, weights: np.ndarray, tail: float) -> dict[int, float]:
    """Normalise the weights of first, first + 1, ..., cut each tail below tail / 2."""
    p = weights / weights.sum()
    if tail > 0.0 and len(p) > 1:
        half = tail / 2.0
        lo = int(np.searchsorted(np.cumsum(p), half, side="left"))
        hi = len(p) - 1 - int(np.searchsorted(np.cumsum(p[::-1]), half, side="left"))
        # A single value above half the mass makes lo > hi impossible; keep it safe anyway.
        lo, hi = min(lo, hi), max(lo, hi)
        p = p[lo:hi + 1]
        first += lo
        p = p / p.sum()
    return {first + i: float(v) for i, v in enumerate(p) if v > 0.0}


def _from_log(first: int, log_weights: np.ndarray, tail: float) -> dict[int, float]:
    return _finish(first, np.exp(log_weights - log_weights.max()), tail)


def _log_steps(log_ratios: np.ndarray) -> np.ndarray:
    # Log weights from the ratios of neighbouring terms: differences of lgamma at large
    # arguments would lose digits, a running sum of small ratios does not.
    return np.concatenate(([0.0], np.cumsum(log_ratios)))


def poisson(mean: float, *, tail: float = TAIL_MASS) -> dict[int, float]:
    """Poisson distribution: the number of arrivals in a step at rate ``mean``."""
    m = float(mean)
    if not (m >= 0.0 and math.isfinite(m)):
        raise ValueError(f"mean must be finite and non-negative, got {mean!r}")
    tail = _tail(tail)
    if m == 0.0:
        return {0: 1.0}
    # Beyond 12 standard deviations (plus a margin for small means) lies far less than
    # any tail worth keeping.
    width = 12.0 * math.sqrt(m) + 40.0
    lo, hi = max(0, int(m - width)), int(m + width) + 1
    _span(lo, hi, f"a Poisson of mean {mean!r}")
    k = np.arange(lo, hi, dtype=float)
    return _from_log(lo, _log_steps(math.log(m) - np.log(k + 1.0)), tail)


def binomial(n: int, p: float, *, tail: float = TAIL_MASS) -> dict[int, float]:
    """Binomial distribution: successes in ``n`` independent trials of probability ``p``."""
    n = _whole(n, "n")
    p = _probability(p, "p")
    tail = _tail(tail)
    if p == 0.0 or n == 0:
        return {0: 1.0}
    if p == 1.0:
        return {n: 1.0}
    sd = math.sqrt(n * p * (1.0 - p))
    width = 12.0 * sd + 40.0
    lo, hi = max(0, int(n * p - width)), min(n, int(n * p + width) + 1)
    _span(lo, hi, f"a binomial of {n} trials of probability {p!r}")
    k = np.arange(lo, hi, dtype=float)
    ratios = np.log(n - k) - np.log(k + 1.0) + (math.log(p) - math.log1p(-p))
    return _from_log(lo, _log_steps(ratios), tail)


def geometric(p: float, start: int = 1, *, tail: float = TAIL_MASS) -> dict[int, float]:
    """Geometric distribution on start, start + 1, ...: P(start + k) = (1 - p)^k p.

    With the default ``start=1`` it counts the trials up to the first success, as
    scipy.stats.geom does: a service that ends in each step with probability ``p``.
    """
    p = _probability(p, "p")
    if p == 0.0:
        raise ValueError("p must be positive: with p = 0 the value is never reached")
    start = _whole(start, "start")
    tail = _tail(tail)
    if p == 1.0:
        return {start: 1.0}
    # P(X >= start + k) = (1 - p)^k: stop once that is below half the tail.
    half = tail / 2.0 if tail > 0.0 else 1e-300
    # Generated a little beyond the cut, so that _finish places it exactly.
    # A subnormal p makes this count infinite: compared before it becomes an int.
    span = math.log(half * 1e-3) / math.log1p(-p)
    if not span < _MAX_STEPS:
        raise ValueError(f"p = {p!r} gives more than {_MAX_STEPS} values above the tail")
    count = int(math.ceil(span)) + 1
    if count > _MAX_STEPS:
        raise ValueError(f"p = {p!r} gives more than {_MAX_STEPS} values above the tail")
    return _finish(start, np.exp(np.arange(count) * math.log1p(-p)), tail)


def deterministic(k: int) -> dict[int, float]:
    """All mass on ``k``."""
    return {_whole(k, "k"): 1.0}


def uniform(lo: int, hi: int) -> dict[int, float]:
    """Uniform over lo, lo + 1, ..., hi (both ends included)."""
    lo, hi = _whole(lo, "lo"), _whole(hi, "hi")
    if hi < lo:
        raise ValueError(f"hi must be at least lo, got lo={lo}, hi={hi}")
    _span(lo, hi, f"a uniform over {lo}..{hi}")
    return {v: 1.0 / (hi - lo + 1) for v in range(lo, hi + 1)}


def from_counts(counts: Mapping[int, float] | Sequence[float]) -> dict[int, float]:
    """Normalise counts or frequencies: a mapping value -> count, or a sequence whose
    index is the value.  Counts need not be whole or sum to 1; none may be negative."""
    items = counts.items() if isinstance(counts, Mapping) else enumerate(counts)
    pmf: dict[int, float] = {}
    for value, count in items:
        v = _whole(value, "a value")
        w = float(count)
        if not (w >= 0.0 and math.isfinite(w)):
            raise ValueError(f"the count of {v} must be finite and non-negative, got {count!r}")
        if w > 0.0:
            pmf[v] = pmf.get(v, 0.0) + w
    try:
        total = math.fsum(pmf.values())
    except OverflowError:  # finite counts whose sum is not: scaled down first
        top = max(pmf.values())
        pmf = {v: w / top for v, w in pmf.items()}
        total = math.fsum(pmf.values())
    if not total > 0.0:
        raise ValueError("no positive count: an empty distribution")
    return {v: pmf[v] / total for v in sorted(pmf)}


def from_samples(values: Iterable[int]) -> dict[int, float]:
    """Empirical PMF of observed whole numbers (durations in steps, batch sizes)."""
    counts: dict[int, float] = {}
    for value in values:
        v = _whole(value, "a sample")
        counts[v] = counts.get(v, 0.0) + 1.0
    if not counts:
        raise ValueError("no samples")
    return from_counts(counts)


def discretise(cdf: Callable[[float], float], step: float, *,
               tail: float = TAIL_MASS) -> dict[int, float]:
    """A continuous duration onto whole steps of length ``step``, rounded up and at
    least 1: P(k) = cdf(k step) - cdf((k - 1) step), the first step taking every
    duration up to ``step`` (so a zero duration becomes one step).

    ``cdf`` is the duration's distribution function (for example
    ``scipy.stats.expon(scale=3).cdf``); it is evaluated until all but ``tail / 2`` of
    the mass is placed.
    """
    h = float(step)
    if not (h > 0.0 and math.isfinite(h)):
        raise ValueError(f"step must be positive and finite, got {step!r}")
    tail = _tail(tail)
    half = tail / 2.0
    weights: list[float] = []
    previous = 0.0
    k = 0
    while previous < 1.0 - half:
        k += 1
        if k > _MAX_STEPS:
            raise ValueError(f"cdf does not reach 1 - {half:g} within {_MAX_STEPS} steps")
        current = float(cdf(k * h))
        if not 0.0 <= current <= 1.0 or current < previous - 1e-12:
            raise ValueError(f"cdf({k * h:g}) = {current!r} is not a distribution function")
        weights.append(max(current - previous, 0.0))
        previous = max(current, previous)
    return _finish(1, np.array(weights), tail)
