"""Tests of movra.StandardMultiserver: construction, attributes, the time step, mark /
restore, reset, observations, the arena counters and reference counting.

The one-server step is checked against an exact Markov chain on (z, ell) built here with
numpy; with one server the model's exchangeability approximation is exact.
"""

import gc
import math
import os
import sys

import numpy as np
import pytest

import movra
from reference import TAIL, binomial, chain_step, initial_array, station, to_array

M = movra.StandardMultiserver

SERVERS_MESSAGE = "Invalid number of servers. The number of servers must be nonnegative."
SERVICE_MESSAGE = "Invalid service duration pmf. Service durations must be strictly positive."
ENTITIES_MESSAGE = "Invalid number of entities. The number of entities must be nonnegative."

# Under the sanitizer build allocations are quarantined and slow: process-memory checks
# say nothing there.
SANITIZED = bool(os.environ.get("MOVRA_SANITIZED"))


def assert_pmf(got, expected, rel=1e-12, abs=1e-15):
    """Same keys in increasing order, probabilities equal up to rounding."""
    assert list(got) == sorted(got)
    assert sorted(got) == sorted(expected)
    for key, p in expected.items():
        assert got[key] == pytest.approx(p, rel=rel, abs=abs), key


def snapshot(m):
    return (
        m.time,
        m.number_of_servers,
        m.number_of_arrivals_pmf,
        m.service_duration_pmf,
        m.internal_state,
    )


def raises_error(call, message):
    with pytest.raises(movra.error) as info:
        call()
    assert str(info.value) == message
    assert info.value.args == (message,)


def marginal(state):
    pz = {}
    for (z, _), p in state.items():
        pz[z] = pz.get(z, 0.0) + p
    return pz


# ---- construction and attributes ------------------------------------------------------


def test_new_instance_defaults():
    m = M()
    assert m.time == 0
    assert m.number_of_servers == 0
    assert m.number_of_arrivals_pmf == {0: 1.0}
    assert m.service_duration_pmf == {1: 1.0}
    assert m.internal_state == {(0, 0): 1.0}
    assert m.get_number_of_entities_in_system_pmf() == {0: 1.0}
    assert m.peak_memory_use >= m.current_memory_use > 0


@pytest.mark.parametrize("args", [(1,), (0,), (None,), (1, 2), ({0: 1.0},)])
def test_constructor_takes_no_positional_argument(args):
    raises_error(lambda: M(*args), "Expected 0 parameters")


def test_constructor_ignores_keyword_arguments():
    m = M(servers=3, time=9)
    assert snapshot(m) == snapshot(M())


class Station(M):
    """A subclass with state of its own, so its instances carry a dict and take part in GC."""

    def __init__(self, **kwargs):
        super().__init__()
        self.steps_taken = 0

    def step(self):
        super().step()
        self.steps_taken += 1


def test_subclass_runs_the_same_construction_and_methods():
    s = Station(ignored=1)
    assert isinstance(s, M)
    assert snapshot(s) == snapshot(M())
    s.number_of_servers = 1
    s.number_of_arrivals_pmf = {0: 0.5, 1: 0.5}
    s.step()
    s.step()
    assert s.steps_taken == 2 and s.time == 2
    assert s.internal_state == {(0, 1): 0.5, (1, 1): 0.5}
    s.apply_observation_value(1)
    assert s.internal_state == {(1, 1): 1.0}
    raises_error(lambda: Station.__new__(Station, 1), "Expected 0 parameters")


def test_subclass_instances_in_cycles_are_collected():
    def churn(n):
        for _ in range(n):
            s = Station()
            s.me = s
            s.step()
            del s
        gc.collect()

    def live():
        return sum(type(o) is Station for o in gc.get_objects())

    churn(5)
    before = live()
    churn(300)
    # Counted, not read from the type's reference count: static types are immortal since 3.12.
    assert live() == before


def test_error_class():
    assert issubclass(movra.error, Exception)
    assert movra.error.__name__ == "error"
    assert movra.error.__module__ == "movra"
    with pytest.raises(Exception):
        M(1)


@pytest.mark.parametrize("name", ["current_memory_use", "peak_memory_use"])
def test_counters_are_read_only(name):
    m = M()
    before = getattr(m, name)
    with pytest.raises(AttributeError):
        setattr(m, name, 5)
    assert getattr(m, name) == before


@pytest.mark.parametrize("name", ["time", "number_of_servers"])
@pytest.mark.parametrize("value", [-3, 0, 7, 2**31 - 1, -(2**31)])
def test_int_members_store_without_validation(name, value):
    m = M()
    setattr(m, name, value)
    assert getattr(m, name) == value


@pytest.mark.parametrize(
    "name",
    [
        "number_of_arrivals_pmf",
        "service_duration_pmf",
        "internal_state",
        "time",
        "number_of_servers",
        "current_memory_use",
        "peak_memory_use",
    ],
)
def test_deleting_an_attribute_is_refused_without_harm(name):
    m = station(servers=1, arrivals={0: 0.5, 1: 0.5}, service={1: 0.5, 2: 0.5}, reset=2)
    m.time = 4
    before = snapshot(m)
    kept = getattr(m, name)
    with pytest.raises(Exception):
        delattr(m, name)
    assert getattr(m, name) == kept
    assert snapshot(m) == before
    m.step()
    assert m.time == 5


# ---- the time step ----------------------------------------------------------------------

STEP_EXAMPLES = [
    pytest.param(
        dict(servers=1, arrivals={0: 0.5, 1: 0.5}),
        [{(0, 1): 0.5, (1, 1): 0.5}, {(0, 1): 0.5, (1, 1): 0.5}],
        id="one-server-default-service",
    ),
    pytest.param(
        dict(servers=1, arrivals={1: 1.0}, service={2: 1.0}, reset=0),
        [{(1, 2): 1.0}, {(2, 1): 1.0}, {(2, 2): 1.0}, {(3, 1): 1.0}],
        id="one-server-deterministic",
    ),
    pytest.param(
        dict(servers=2, arrivals={0: 1.0}, service={1: 0.5, 2: 0.5}, state={(2, 1): 0.5, (2, 2): 0.5}),
        [{(0, 1): 0.125, (0, 2): 0.125, (1, 1): 0.5, (2, 1): 0.25}],
        id="two-servers-draining",
    ),
    pytest.param(
        dict(servers=2, arrivals={1: 1.0}, service={2: 1.0}, state={(1, 2): 1.0}),
        [
            {(2, 1): 0.5, (2, 2): 0.5},
            {(1, 2): 0.25, (2, 1): 0.25, (2, 2): 0.25, (3, 1): 0.25},
        ],
        id="entity-is-old-half",
    ),
    pytest.param(
        dict(servers=1, arrivals={0: 1.0}, service={1: 1.0}, state={(2, 3): 0.25, (2, 1): 0.75}),
        [{(1, 1): 0.75, (2, 2): 0.25}],
        id="entity-is-old-certain-or-fresh",
    ),
    pytest.param(
        dict(servers=1, arrivals={0: 0.999999999, 1: 1e-09}),
        [{(0, 1): 1.0}],
        id="upper-tail-below-threshold-cut",
    ),
    pytest.param(
        dict(servers=1, arrivals={0: 0.99999999, 1: 1e-08}),
        [{(0, 1): 0.99999999, (1, 1): 1e-08}],
        id="upper-tail-above-threshold-kept",
    ),
    pytest.param(
        dict(servers=0, arrivals={0: 1e-09, 1: 1e-09, 2: 0.5, 3: 0.5 - 4e-09, 4: 2e-09}),
        [{(2, 1): 0.5 / (1 - 4e-09), (3, 1): (0.5 - 4e-09) / (1 - 4e-09)}],
        id="both-tails-cut",
    ),
    pytest.param(
        dict(servers=0, arrivals={0: 0.5, 2: 0.5}, service={1: 0.25, 3: 0.75}),
        [
            {(0, 1): 0.125, (0, 3): 0.375, (2, 1): 0.125, (2, 3): 0.375},
            {(0, 1): 0.0625, (0, 3): 0.1875, (2, 1): 0.125, (2, 3): 0.375, (4, 1): 0.0625, (4, 3): 0.1875},
        ],
        id="no-servers-grow-by-arrivals",
    ),
    pytest.param(
        dict(servers=2**31 - 1, arrivals={1: 1.0}, service={3: 1.0}, reset=0),
        [{(1, 3): 1.0}, {(2, 2): 0.5, (2, 3): 0.5}],
        id="more-servers-than-entities",
    ),
    pytest.param(
        dict(servers=1, arrivals={0: 1.0}, service={2: 1.0}, state={(0, 2): 0.5, (3, 2): 0.5}),
        [{(0, 2): 0.5, (3, 1): 0.5}, {(0, 2): 0.5, (2, 2): 0.5}],
        id="gap-in-the-number-in-system",
    ),
]


@pytest.mark.parametrize("setup, expected_states", STEP_EXAMPLES)
def test_step_examples(setup, expected_states):
    m = station(**setup)
    for t, expected in enumerate(expected_states, start=1):
        assert m.step() is None
        assert_pmf(m.internal_state, expected)
        assert m.time == t
    assert_pmf(m.get_number_of_entities_in_system_pmf(), marginal(expected_states[-1]))


def test_two_server_example_marginal():
    m = station(servers=2, arrivals={0: 1.0}, service={1: 0.5, 2: 0.5}, state={(2, 1): 0.5, (2, 2): 0.5})
    m.step()
    assert_pmf(m.get_number_of_entities_in_system_pmf(), {0: 0.25, 1: 0.5, 2: 0.25})


def test_step_leaves_parameters_alone():
    m = station(servers=3, arrivals={0: 0.25, 2: 0.75}, service={1: 0.5, 4: 0.5}, reset=1)
    before = snapshot(m)[1:4]
    for _ in range(5):
        m.step()
    assert snapshot(m)[1:4] == before


def test_no_servers_ell_follows_service_everywhere():
    m = station(servers=0, arrivals={0: 0.5, 1: 0.5}, service={1: 0.25, 3: 0.75})
    for t in range(1, 7):
        m.step()
        pz = m.get_number_of_entities_in_system_pmf()
        assert_pmf(pz, {z: math.comb(t, z) / 2**t for z in range(t + 1)})
        assert_pmf(m.internal_state, {(z, e): p * q for z, p in pz.items() for e, q in {1: 0.25, 3: 0.75}.items()})


@pytest.mark.parametrize("servers", [0, 1])
@pytest.mark.parametrize(
    "arrivals",
    [
        pytest.param(binomial(80, 0.5), id="both-tails"),
        pytest.param({k: 0.5 ** (k + 1) for k in range(60)}, id="geometric"),
    ],
)
def test_long_tailed_arrivals_are_cut_at_both_tails(servers, arrivals):
    m = station(servers=servers, arrivals=arrivals)
    m.step()
    pz = m.get_number_of_entities_in_system_pmf()
    assert sum(pz.values()) == pytest.approx(1.0, abs=1e-12)
    assert sum(m.internal_state.values()) == pytest.approx(1.0, abs=1e-12)
    # From the empty default state the new number in system is the number of arrivals.
    total = sum(arrivals.values())
    p = {k: v / total for k, v in arrivals.items()}
    lo, hi = min(pz), max(pz)
    assert list(pz) == list(range(lo, hi + 1))
    assert sum(v for k, v in p.items() if k < lo) < TAIL
    assert sum(v for k, v in p.items() if k <= lo) >= TAIL
    assert sum(v for k, v in p.items() if k > hi) < TAIL
    assert sum(v for k, v in p.items() if k >= hi) >= TAIL
    assert hi < max(arrivals)
    kept = sum(p[k] for k in range(lo, hi + 1))
    for z, q in pz.items():
        assert q == pytest.approx(p[z] / kept, rel=1e-12)


@pytest.mark.parametrize(
    "setup, message",
    [
        pytest.param(dict(servers=-1), SERVERS_MESSAGE, id="negative-servers"),
        pytest.param(dict(servers=-(2**31)), SERVERS_MESSAGE, id="most-negative-servers"),
        pytest.param(dict(servers=-1, service={0: 0.5, 1: 0.5}), SERVERS_MESSAGE, id="servers-checked-first"),
        pytest.param(dict(servers=1, service={0: 0.5, 1: 0.5}), SERVICE_MESSAGE, id="service-of-zero"),
        pytest.param(dict(servers=0, service={0: 1.0}), SERVICE_MESSAGE, id="service-only-zero"),
        pytest.param(
            dict(servers=1, arrivals={1: 1.0}, state={(1, 0): 1.0}),
            "Negative integer in pmf support",
            id="old-entity-with-no-time-left",
        ),
        pytest.param(
            dict(servers=2, arrivals={0: 0.5, 1: 0.5}, service={2: 1.0}, state={(0, 2): 0.5, (3, 0): 0.5}),
            "Negative integer in pmf support",
            id="ell-zero-behind-a-valid-z",
        ),
    ],
)
def test_failing_step_leaves_the_instance_unchanged(setup, message):
    m = station(**setup)
    m.time = 11
    before = snapshot(m)
    memory = m.current_memory_use
    raises_error(m.step, message)
    assert snapshot(m) == before
    assert m.current_memory_use == memory


def test_ell_zero_is_harmless_without_servers():
    # Nobody is relabelled when no one is in service.
    m = station(servers=0, arrivals={1: 1.0}, state={(1, 0): 1.0})
    m.step()
    assert m.internal_state == {(2, 1): 1.0}


def test_time_wraps_at_the_top_of_its_range():
    m = M()
    m.time = 2**31 - 1
    m.step()
    assert m.time == -(2**31)


def test_number_in_system_beyond_int_range_is_refused():
    m = station(servers=0, arrivals={1: 1.0}, state={(2**31 - 1, 1): 1.0})
    before = snapshot(m)
    memory = m.current_memory_use
    raises_error(m.step, "Out of memory")
    assert snapshot(m) == before
    assert m.current_memory_use == memory
    # One server completing one entity while one arrives stays in range.
    m.number_of_servers = 1
    m.step()
    assert m.internal_state == {(2**31 - 1, 1): 1.0}


def test_refused_completion_table_leaves_the_instance_usable():
    # Every one of 2**31 - 1 servers busy: the binomial of completions is larger than any
    # block and is refused before anything is computed.
    m = station(servers=2**31 - 1, service={1: 0.5, 2: 0.5}, reset=2**31 - 1)
    before = snapshot(m)
    raises_error(m.step, "Out of memory")
    assert snapshot(m) == before
    m.number_of_servers = 1
    m.step()
    assert_pmf(m.internal_state, {(2**31 - 2, 1): 0.25, (2**31 - 2, 2): 0.25, (2**31 - 1, 1): 0.5})


# ---- an independent Markov chain for one server ----------------------------------------


CHAINS = [
    pytest.param(dict(arrivals={0: 0.6, 1: 0.4}, service={1: 0.5, 2: 0.3, 3: 0.2}), id="stable-default-start"),
    pytest.param(dict(arrivals={0: 0.5, 1: 0.3, 2: 0.2}, service={1: 1.0}, reset=3), id="unit-service"),
    pytest.param(dict(arrivals={0: 0.7, 2: 0.3}, service={2: 0.5, 4: 0.5}, reset=1), id="overloaded-with-gaps"),
    pytest.param(
        dict(
            arrivals={0: 0.9, 3: 0.1},
            service={1: 0.2, 3: 0.8},
            state={(0, 2): 0.2, (2, 1): 0.3, (2, 3): 0.1, (5, 2): 0.4},
        ),
        id="custom-state",
    ),
]


@pytest.mark.parametrize("setup", CHAINS)
def test_one_server_matches_the_exact_chain(setup):
    m = station(servers=1, **setup)
    arrivals, service = m.number_of_arrivals_pmf, m.service_duration_pmf
    cut = plain = initial_array(m)
    steps = 80
    for t in range(1, steps + 1):
        m.step()
        cut = chain_step(cut, arrivals, service, cut=True)
        plain = chain_step(plain, arrivals, service, cut=False)
        state = m.internal_state
        assert list(state) == sorted(state)
        # Same tail rule applied to the chain: the same support, equal up to rounding.
        assert set(state) == {(int(z), int(e)) for z, e in zip(*np.nonzero(cut))}, t
        got = to_array(state, cut.shape)
        np.testing.assert_allclose(got, cut, rtol=1e-9, atol=1e-13)
        # Against the chain without any cut: less than 1e-08 of mass is lost per step.
        assert np.abs(got - plain).sum() < 2e-08 * t
    assert m.time == steps


def test_multiserver_flow_balance_and_littles_law():
    servers, lam, mean_service = 3, 0.8, 2.0
    m = station(servers=servers, arrivals={0: 0.4, 1: 0.4, 2: 0.2}, service={1: 0.3, 2: 0.4, 3: 0.3})
    for _ in range(400):
        m.step()
        pz = m.get_number_of_entities_in_system_pmf()
        assert sum(pz.values()) == pytest.approx(1.0, abs=1e-12)
    state = m.internal_state
    mean_z = sum(z * p for z, p in pz.items())
    busy = sum(min(z, servers) * p for z, p in pz.items())
    departures = sum(min(z, servers) * state.get((z, 1), 0.0) for z in pz)
    # In steady state as many leave as arrive, each entity holds a server for its whole
    # service, and the queue on top of that stays small at this load (0.53).
    assert departures == pytest.approx(lam, rel=1e-6)
    assert busy == pytest.approx(lam * mean_service, rel=1e-6)
    assert lam * mean_service <= mean_z < lam * mean_service + 2.0
    assert max(pz) < 60


# ---- mark and restore -------------------------------------------------------------------


def test_restore_without_mark_brings_back_the_construction_copies():
    m = station(servers=2, arrivals={1: 1.0}, service={2: 1.0}, reset=1)
    m.time = 5
    m.restore()
    assert snapshot(m) == (0, 0, {0: 1.0}, {0: 1.0}, {(0, 0): 1.0})
    raises_error(m.step, SERVICE_MESSAGE)
    raises_error(lambda: m.reset_with_number_of_entities_in_system(0), SERVICE_MESSAGE)
    assert m.time == 0


def test_mark_steps_restore_twice():
    m = station(servers=1, arrivals={0: 0.5, 1: 0.5}, service={1: 0.5, 2: 0.5}, reset=2)
    m.step()
    m.mark()
    marked = snapshot(m)
    for _ in range(3):
        m.step()
    assert m.time == marked[0] + 3
    m.restore()
    assert snapshot(m) == marked
    m.step()
    after_one = snapshot(m)
    m.restore()
    assert snapshot(m) == marked
    m.step()
    assert snapshot(m) == after_one


def test_marked_configuration_survives_changes_and_many_sweeps():
    m = station(servers=2, arrivals={0: 0.25, 1: 0.75}, service={1: 0.5, 3: 0.5}, reset=4)
    m.mark()
    marked = snapshot(m)
    m.number_of_servers = 5
    m.number_of_arrivals_pmf = {2: 1.0}
    m.service_duration_pmf = {1: 1.0}
    for _ in range(50):
        m.step()
    m.internal_state = {(7, 7): 1.0}
    m.restore()
    assert snapshot(m) == marked


# ---- reset ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "service, n, expected",
    [
        ({1: 0.5, 2: 0.5}, 3, {(3, 1): 0.5, (3, 2): 0.5}),
        ({1: 0.5, 2: 0.5}, 0, {(0, 1): 0.5, (0, 2): 0.5}),
        ({2: 1, 5: 3}, 1, {(1, 2): 0.5, (1, 5): 0.5}),
        ({1: 1.0}, 2**31 - 1, {(2**31 - 1, 1): 1.0}),
        ({1: 1.0}, 2**32 + 5, {(5, 1): 1.0}),
        ({1: 1.0}, True, {(1, 1): 1.0}),
    ],
)
def test_reset_examples(service, n, expected):
    m = station(servers=-4, service=service, state={(9, 9): 1.0})
    m.time = 7
    m.mark()
    m.reset_with_number_of_entities_in_system(n)
    assert_pmf(m.internal_state, expected)
    assert m.time == 7
    assert m.number_of_servers == -4
    m.restore()
    assert m.internal_state == {(9, 9): 1.0}


@pytest.mark.parametrize(
    "service, n, message",
    [
        ({1: 1.0}, -1, ENTITIES_MESSAGE),
        ({1: 1.0}, 2**32 - 1, ENTITIES_MESSAGE),
        ({0: 0.5, 1: 0.5}, -1, ENTITIES_MESSAGE),
        ({0: 0.5, 1: 0.5}, 2, SERVICE_MESSAGE),
    ],
)
def test_failing_reset_leaves_the_instance_unchanged(service, n, message):
    m = station(servers=1, service=service, state={(2, 1): 0.5, (3, 2): 0.5})
    before = snapshot(m)
    memory = m.current_memory_use
    raises_error(lambda: m.reset_with_number_of_entities_in_system(n), message)
    assert snapshot(m) == before
    assert m.current_memory_use == memory


# ---- attribute setters -----------------------------------------------------------------

PMF_ATTRIBUTES = ["number_of_arrivals_pmf", "service_duration_pmf", "internal_state"]


@pytest.mark.parametrize(
    "name, value, expected",
    [
        ("number_of_arrivals_pmf", {2: 0.5}, {2: 1.0}),
        ("number_of_arrivals_pmf", {0: 1, 2: 3}, {0: 0.5, 2: 0.5}),
        ("number_of_arrivals_pmf", {3: 0.0, 1: 0.2, 4: 0.6}, {1: 0.25, 4: 0.75}),
        ("service_duration_pmf", {0: 0.5, 1: 0.5}, {0: 0.5, 1: 0.5}),
        ("service_duration_pmf", {-1: 0.0, 3: 2.0}, {3: 1.0}),
        ("internal_state", {(1, 1): 0.2, (1, 2): 0.2, (3, 1): 0.4}, {(1, 1): 0.25, (1, 2): 0.25, (3, 1): 0.5}),
        ("internal_state", {(2, 0): 1.0, (0, 0): 0.0}, {(2, 0): 1.0}),
        ("internal_state", {(0, 1): 0.5, (1, 0): 0.5}, {(0, 1): 0.5, (1, 0): 0.5}),
    ],
)
def test_setters_store_normalised_pmfs(name, value, expected):
    m = M()
    setattr(m, name, value)
    assert_pmf(getattr(m, name), expected)


@pytest.mark.parametrize("name", PMF_ATTRIBUTES)
@pytest.mark.parametrize(
    "value, message",
    [
        ({}, "Empty dictionary"),
        ({0: 0.0}, "Empty pmf"),
        ({0: -1.0}, "Empty pmf"),
        ([{0: 1.0}], "Invalid value"),
        (None, "Invalid value"),
        ({"0": 1.0}, "Invalid value"),
        ({0: "1"}, "Invalid value"),
        (({0: 1.0}, {1: 1.0}), "Invalid value"),
        ({(0, 1, 2): 1.0}, "Invalid value"),
        ({(): 1.0}, "Invalid value"),
        ({(0, 1): 0.5, 3: 0.5}, "Invalid value"),
        ({0: 0.5, (0, 1): 0.5}, "Invalid value"),
    ],
)
def test_setter_refusals_leave_the_value(name, value, message):
    m = station(servers=1, arrivals={0: 0.5, 1: 0.5}, service={1: 0.5, 2: 0.5}, reset=2)
    before = snapshot(m)
    memory = m.current_memory_use
    with pytest.raises(movra.error) as info:
        setattr(m, name, value)
    assert str(info.value) == message
    assert snapshot(m) == before
    assert m.current_memory_use == memory


@pytest.mark.parametrize(
    "name, value, message",
    [
        ("internal_state", {1: 1.0}, "Invalid value"),
        ("internal_state", {(1, 1, 1): 1.0}, "Invalid value"),
        ("internal_state", {(1,): 1.0}, "Invalid value"),
        ("internal_state", {(-1, 1): 1.0}, "Samples must be nonnegative integers"),
        ("internal_state", {(1, -1): 1.0}, "Negative integer in pmf support"),
        ("number_of_arrivals_pmf", {(0, 1): 1.0}, "Invalid value"),
        ("number_of_arrivals_pmf", {-1: 1.0}, "Negative integer in pmf support"),
        ("service_duration_pmf", {(1, 1): 1.0}, "Invalid value"),
        ("service_duration_pmf", {1: 0.5, -2: 0.5}, "Negative integer in pmf support"),
        # A window wider than the largest block is refused, not allocated.
        ("internal_state", {(0, 2): 0.5, (2**31 - 1, 3): 0.5}, "Out of memory"),
        ("number_of_arrivals_pmf", {0: 0.5, 2**31 - 1: 0.5}, "Out of memory"),
    ],
)
def test_setter_shape_checks(name, value, message):
    m = station(servers=1, arrivals={0: 0.5, 1: 0.5}, service={1: 0.5, 2: 0.5}, reset=2)
    before = snapshot(m)
    memory = m.current_memory_use
    with pytest.raises(movra.error) as info:
        setattr(m, name, value)
    assert str(info.value) == message
    assert snapshot(m) == before
    assert m.current_memory_use == memory


def test_service_duration_with_zero_is_accepted_then_refused_by_step():
    m = station(servers=1, arrivals={0: 0.5, 1: 0.5})
    m.service_duration_pmf = {0: 0.5, 1: 0.5}
    assert m.service_duration_pmf == {0: 0.5, 1: 0.5}
    raises_error(m.step, SERVICE_MESSAGE)
    m.service_duration_pmf = {1: 1.0}
    m.step()
    assert m.internal_state == {(0, 1): 0.5, (1, 1): 0.5}


# ---- observations -----------------------------------------------------------------------

OBSERVED = {(0, 1): 0.25, (1, 1): 0.25, (2, 1): 0.5}


@pytest.mark.parametrize(
    "state, observe, expected",
    [
        (OBSERVED, ("range", 1, 3), {(1, 1): 1 / 3, (2, 1): 2 / 3}),
        (OBSERVED, ("value", 2), {(2, 1): 1.0}),
        ({(1, 1): 0.2, (1, 2): 0.2, (2, 1): 0.6}, ("value", 1), {(1, 1): 0.5, (1, 2): 0.5}),
        (OBSERVED, ("range", 0, 1), {(0, 1): 1.0}),
        (OBSERVED, ("range", -3, 1), {(0, 1): 1.0}),
        (OBSERVED, ("range", 0, 3), OBSERVED),
        (OBSERVED, ("range", -(2**31), 2**31 - 1), OBSERVED),
        (OBSERVED, ("range", 0, 2**32 + 2), {(0, 1): 0.5, (1, 1): 0.5}),
        ({(2**31 - 2, 2): 0.5, (2**31 - 1, 3): 0.5}, ("value", 2**31 - 1), {(2**31 - 1, 3): 1.0}),
        ({(3, 1): 0.1, (3, 4): 0.3, (5, 2): 0.6}, ("range", 2, 5), {(3, 1): 0.25, (3, 4): 0.75}),
    ],
)
def test_observation_examples(state, observe, expected):
    m = station(servers=2, state=state)
    m.time = 3
    kind, *bounds = observe
    method = m.apply_observation_range if kind == "range" else m.apply_observation_value
    assert method(*bounds) is None
    assert_pmf(m.internal_state, expected)
    assert m.time == 3


@pytest.mark.parametrize(
    "observe",
    [("range", 2, 2), ("range", 3, 1), ("range", -5, -1), ("range", 3, 10), ("value", 5), ("value", -1),
     ("value", 2**31 - 1), ("value", -(2**31))],
)
def test_empty_observation_leaves_the_state(observe):
    m = station(servers=1, state=OBSERVED)
    before = snapshot(m)
    memory = m.current_memory_use
    kind, *bounds = observe
    method = m.apply_observation_range if kind == "range" else m.apply_observation_value
    raises_error(lambda: method(*bounds), "Empty pmf")
    assert snapshot(m) == before
    assert m.current_memory_use == memory


def test_observation_then_step():
    m = station(servers=1, arrivals={0: 0.5, 1: 0.5}, service={1: 1.0}, state=OBSERVED)
    m.apply_observation_value(0)
    m.step()
    assert m.internal_state == {(0, 1): 0.5, (1, 1): 0.5}


# ---- argument counts and conversions ----------------------------------------------------

METHODS = [
    ("step", 0, "Expected 0 parameters"),
    ("apply_observation_range", 2, "Expected 2 parameters"),
    ("apply_observation_value", 1, "Expected 1 parameters"),
    ("mark", 0, "Expected 0 parameters"),
    ("restore", 0, "Expected 0 parameters"),
    ("get_number_of_entities_in_system_pmf", 0, "Expected 0 parameter(s)"),
    ("reset_with_number_of_entities_in_system", 1, "Expected 1 parameters"),
]


@pytest.mark.parametrize(
    "name, given, message",
    [(name, given, message) for name, count, message in METHODS for given in range(5) if given != count],
)
def test_argument_count_messages(name, given, message):
    m = station(servers=1, arrivals={0: 0.5, 1: 0.5}, reset=1)
    m.mark()
    m.step()
    before = snapshot(m)
    memory = m.current_memory_use
    # Arguments that would fail conversion: the count is checked first.
    raises_error(lambda: getattr(m, name)(*(["x"] * given)), message)
    assert snapshot(m) == before
    assert m.current_memory_use == memory


@pytest.mark.parametrize("name, count, message", METHODS)
def test_keyword_arguments_to_methods_are_refused(name, count, message):
    m = M()
    with pytest.raises(TypeError):
        getattr(m, name)(x=1)


@pytest.mark.parametrize(
    "name, args",
    [
        ("apply_observation_range", ("0", 1)),
        ("apply_observation_range", (0, 1.0)),
        ("apply_observation_range", (0, None)),
        ("apply_observation_range", (2**64, 1)),
        ("apply_observation_value", (1.5,)),
        ("apply_observation_value", ([1],)),
        ("reset_with_number_of_entities_in_system", ("3",)),
        ("reset_with_number_of_entities_in_system", (2.0,)),
        ("reset_with_number_of_entities_in_system", (-(2**70),)),
    ],
)
def test_non_int_arguments_are_invalid_values(name, args):
    m = station(servers=1, state=OBSERVED)
    before = snapshot(m)
    raises_error(lambda: getattr(m, name)(*args), "Invalid value")
    assert snapshot(m) == before


# ---- memory counters --------------------------------------------------------------------


def test_counters_after_failing_calls_are_back_to_the_roots():
    m = station(servers=1, arrivals={0: 0.5, 1: 0.5}, service={1: 0.5, 2: 0.5}, reset=3)
    m.step()
    roots = m.current_memory_use
    m.internal_state = {(1, 0): 0.5, (2, 1): 0.5}
    with_bad_state = m.current_memory_use
    for _ in range(3):
        raises_error(m.step, "Negative integer in pmf support")
        assert m.current_memory_use == with_bad_state
    m.reset_with_number_of_entities_in_system(3)
    m.step()
    assert m.current_memory_use == roots


def test_counters_stay_bounded_over_thousands_of_steps():
    m = station(servers=1, arrivals={0: 0.6, 1: 0.4}, service={1: 0.5, 2: 0.3, 3: 0.2})
    peak = m.peak_memory_use
    seen = {}
    for t in range(1, 3001):
        m.step()
        assert m.peak_memory_use >= peak
        peak = m.peak_memory_use
        assert peak >= m.current_memory_use
        if t in (1000, 3000):
            seen[t] = (m.current_memory_use, m.peak_memory_use)
    assert seen[3000][0] <= seen[1000][0]
    assert seen[3000][1] == seen[1000][1]


def test_peak_never_decreases_across_operations():
    m = M()
    last = m.peak_memory_use
    operations = [
        lambda: setattr(m, "number_of_servers", 2),
        lambda: setattr(m, "number_of_arrivals_pmf", {k: 1.0 for k in range(40)}),
        m.step,
        lambda: m.apply_observation_range(0, 3),
        lambda: setattr(m, "number_of_arrivals_pmf", {0: 1.0}),
        m.mark,
        m.step,
        m.restore,
        lambda: m.reset_with_number_of_entities_in_system(1),
        m.get_number_of_entities_in_system_pmf,
    ]
    for op in operations * 3:
        op()
        assert m.peak_memory_use >= last
        assert m.peak_memory_use >= m.current_memory_use
        last = m.peak_memory_use


@pytest.mark.parametrize(
    "name, first, second",
    [
        ("number_of_arrivals_pmf", {0: 0.5, 1: 0.5}, {k: 0.1 for k in range(10)}),
        ("service_duration_pmf", {1: 1.0}, {k: 0.1 for k in range(1, 30)}),
        ("internal_state", {(0, 1): 1.0}, {(z, e): 1.0 for z in range(8) for e in range(1, 5)}),
    ],
)
def test_setting_a_value_and_back_does_not_grow_memory(name, first, second):
    m = M()
    setattr(m, name, first)
    base = m.current_memory_use
    for _ in range(20):
        setattr(m, name, second)
        assert m.current_memory_use > base
        setattr(m, name, first)
        assert m.current_memory_use == base
    # With a mark holding the replaced value, changing the live one back and forth is flat
    # too, and the marked value comes back intact.
    setattr(m, name, second)
    kept = getattr(m, name)
    m.mark()
    setattr(m, name, first)
    held = m.current_memory_use
    for _ in range(20):
        setattr(m, name, second)
        setattr(m, name, first)
        assert m.current_memory_use == held
    m.restore()
    assert getattr(m, name) == kept


def test_getters_and_mark_allocate_nothing():
    m = station(servers=2, arrivals={0: 0.5, 2: 0.5}, service={1: 0.5, 2: 0.5}, reset=2)
    m.step()
    peak = m.peak_memory_use
    m.mark()  # frees the values saved before, which nothing holds any more
    memory = m.current_memory_use
    for _ in range(10):
        m.internal_state
        m.number_of_arrivals_pmf
        m.service_duration_pmf
        m.get_number_of_entities_in_system_pmf()
        m.mark()
        m.restore()
    assert (m.current_memory_use, m.peak_memory_use) == (memory, peak)


# ---- reference counts and process memory ------------------------------------------------


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def exercise(m, inputs):
    arrivals, service, state, bad_pmf, big, text = inputs
    m.number_of_arrivals_pmf = arrivals
    m.service_duration_pmf = service
    m.internal_state = state
    m.number_of_arrivals_pmf
    m.service_duration_pmf
    m.internal_state
    m.get_number_of_entities_in_system_pmf()
    m.step()
    m.apply_observation_range(0, big)
    m.apply_observation_value(1)
    m.mark()
    m.restore()
    m.reset_with_number_of_entities_in_system(1)
    for call in (
        lambda: setattr(m, "internal_state", bad_pmf),
        lambda: setattr(m, "number_of_arrivals_pmf", state),
        lambda: setattr(m, "service_duration_pmf", text),
        lambda: m.apply_observation_range(text, big),
        lambda: m.apply_observation_value(big),
        lambda: m.reset_with_number_of_entities_in_system(text),
        lambda: m.reset_with_number_of_entities_in_system(-big),
        lambda: m.get_number_of_entities_in_system_pmf(big),
        lambda: m.step(big),
    ):
        try:
            call()
        except movra.error:
            pass
        else:
            raise AssertionError("call was expected to fail")


def make_inputs():
    # Keys and values outside the interpreter's small-int cache, so their counts are ours.
    big = int("1000001")
    arrivals = {0: float("0.25"), 1: float("0.5"), 2: float("0.25")}
    service = {1: float("0.5"), 3: float("0.5")}
    state = {(0, 1): float("0.5"), (1, 3): float("0.25"), (2, 1): float("0.25")}
    bad_pmf = {(0, 1): float("0.5"), big: float("0.5")}
    return (arrivals, service, state, bad_pmf, big, "x" * 3)


def tracked_objects(inputs):
    objects = list(inputs)
    for d in inputs[:4]:
        objects += list(d.keys()) + list(d.values())
    objects += [movra.error, M]
    # The interpreter's cached small ints are shared with everything else running; they
    # are checked with a margin below.
    return [o for o in objects if not (type(o) is int and -5 <= o <= 256)]


SMALL_INTS = [0, 1, 2, 3]


def test_reference_counts_of_inputs_stay_flat():
    m = station(servers=1)
    inputs = make_inputs()
    for _ in range(50):
        exercise(m, inputs)
    objects = tracked_objects(inputs)
    before = [sys.getrefcount(o) for o in objects]
    small = [sys.getrefcount(o) for o in SMALL_INTS]
    own = sys.getrefcount(m)
    for _ in range(3000):
        exercise(m, inputs)
    after = [sys.getrefcount(o) for o in objects]
    assert after == before
    assert sys.getrefcount(m) == own
    for b, a in zip(small, (sys.getrefcount(o) for o in SMALL_INTS)):
        assert abs(a - b) < 100


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime keeps freed memory in quarantine")
def test_process_memory_stays_flat():
    inputs = make_inputs()
    m = station(servers=1)

    def workload():
        exercise(m, inputs)
        s = Station()
        s.number_of_arrivals_pmf = inputs[0]
        s.step()
        del s
        M().mark()
        try:
            M(inputs[4])
        except movra.error:
            pass

    for _ in range(2000):
        workload()
    gc.collect()
    start = resident_bytes()
    for _ in range(20000):
        workload()
    gc.collect()
    assert resident_bytes() - start < 2**20
