"""A refused call leaves no trace, on both models: every attribute, every node's PMF, time
and the saved configuration are as before, current_memory_use is back where it was, and the
instance steps on exactly like one that never saw the call. Then a long random mix of good
and failing calls on one station and one network, checked after every call.
"""
import os
import random
import time

import pytest

import movra

SANITIZED = bool(os.environ.get("MOVRA_SANITIZED"))
INT_MAX = 2**31 - 1
OOM = "Out of memory"
INVALID = "Invalid value"
EMPTY = "Empty pmf"
LOOKUP = "Lookup index out of range"
NEGATIVE = "Negative integer in pmf support"
SERVERS = "Invalid number of servers. The number of servers must be nonnegative."
SERVICE = "Invalid service duration pmf. Service durations must be strictly positive."
ENTITIES = "Invalid number of entities. The number of entities must be nonnegative."
ROUTING = "Invalid routing probabilities. Sum of destination probabilities exceeds 1."
PROBABILITY = "Invalid probability. Probabilities must be between 0 and 1."


def station_snapshot(m):
    return (m.time, m.number_of_servers, m.number_of_arrivals_pmf, m.service_duration_pmf,
            m.internal_state)


def network_snapshot(n):
    nodes = range(n.get_number_of_nodes())
    return (
        n.time,
        n.internal_state,
        [n.get_number_of_servers_at_node(k) for k in nodes],
        [n.get_number_of_external_arrivals_at_node_pmf(k) for k in nodes],
        [n.get_service_duration_at_node_pmf(k) for k in nodes],
        [[n.get_routing_probability(s, t) for t in nodes] for s in nodes],
    )


def make_station():
    m = movra.StandardMultiserver()
    m.number_of_servers = 2
    m.number_of_arrivals_pmf = {0: 0.5, 1: 0.3, 3: 0.2}
    m.service_duration_pmf = {1: 0.4, 3: 0.6}
    m.reset_with_number_of_entities_in_system(2)
    m.step()
    m.mark()  # the saved configuration differs from the live one in every field
    m.number_of_servers = 1
    m.number_of_arrivals_pmf = {0: 0.25, 2: 0.75}
    m.service_duration_pmf = {1: 0.5, 2: 0.5}
    m.step()
    return m


def make_network():
    n = movra.StandardNetworkMultiserver(3)
    for k in range(3):
        n.set_number_of_servers_at_node(k, k + 1)
        n.set_number_of_external_arrivals_at_node_pmf(k, {0: 0.6, k + 1: 0.4})
        n.set_service_duration_at_node_pmf(k, {1: 0.5, 2: 0.5})
    n.set_routing_probability(0, 1, 0.5)
    n.set_routing_probability(1, 2, 0.3)
    n.set_routing_probability(2, 2, 0.25)
    n.step()
    n.mark()
    n.set_number_of_servers_at_node(0, 2)
    n.set_routing_probability(1, 0, 0.2)
    n.set_service_duration_at_node_pmf(2, {3: 1.0})
    n.step()
    return n


def huge_station(m):
    m.service_duration_pmf = {1: 0.5, 2: 0.5}
    m.number_of_servers = INT_MAX
    m.reset_with_number_of_entities_in_system(INT_MAX)


def huge_node(n):
    n.set_number_of_servers_at_node(1, INT_MAX)
    n.reset_node_with_number_of_entities(1, INT_MAX)


def set_state(m, value):
    m.internal_state = value


STATION_CASES = [
    # name, setup (part of the state before the call), failing call, message
    ("step, negative servers", lambda m: setattr(m, "number_of_servers", -1), lambda m: m.step(), SERVERS),
    ("step, zero service duration", lambda m: setattr(m, "service_duration_pmf", {0: 0.5, 1: 0.5}),
     lambda m: m.step(), SERVICE),
    ("step, ell 0 in service", lambda m: set_state(m, {(0, 1): 0.5, (2, 0): 0.5}), lambda m: m.step(), NEGATIVE),
    ("step, completions beyond a block", huge_station, lambda m: m.step(), OOM),
    ("step, count beyond the Int range",
     lambda m: (setattr(m, "number_of_servers", 0), m.reset_with_number_of_entities_in_system(INT_MAX)),
     lambda m: m.step(), OOM),
    ("reset, negative", None, lambda m: m.reset_with_number_of_entities_in_system(-1), ENTITIES),
    ("reset, zero service duration", lambda m: setattr(m, "service_duration_pmf", {0: 1.0}),
     lambda m: m.reset_with_number_of_entities_in_system(1), SERVICE),
    ("observation outside the support", None, lambda m: m.apply_observation_range(50, 60), EMPTY),
    ("state, one-item key", None, lambda m: set_state(m, {(1,): 1.0}), INVALID),
    ("state, depth 3", None, lambda m: set_state(m, {(0, 0, 0): 0.5, (INT_MAX, 0, 0): 0.5}), INVALID),
    ("state, huge range", None, lambda m: set_state(m, {(0, 1): 0.5, (INT_MAX, 1): 0.5}), OOM),
    ("state, compound", None, lambda m: set_state(m, ({(0, 1): 1.0},)), INVALID),
    ("arrivals, huge range", None, lambda m: setattr(m, "number_of_arrivals_pmf", {0: 0.5, INT_MAX: 0.5}), OOM),
    ("arrivals, negative", None, lambda m: setattr(m, "number_of_arrivals_pmf", {-1: 1.0}), NEGATIVE),
    ("service, empty", None, lambda m: setattr(m, "service_duration_pmf", {}), "Empty dictionary"),
    ("argument count", None, lambda m: m.get_number_of_entities_in_system_pmf(1), "Expected 0 parameter(s)"),
]

NETWORK_CASES = [
    ("step, routing row above 1", lambda n: n.set_routing_probability(0, 0, 0.6), lambda n: n.step(), ROUTING),
    # Nodes 0 and 1 map fine before node 2 fails.
    ("step, ell 0 at the last node", lambda n: setattr(n, "internal_state", n.internal_state[:2] + [{(1, 0): 1.0}]),
     lambda n: n.step(), NEGATIVE),
    ("step, completions beyond a block", huge_node, lambda n: n.step(), OOM),
    ("step, state list too short", lambda n: setattr(n, "internal_state", n.internal_state[:2]),
     lambda n: n.step(), LOOKUP),
    ("mark, state list too short", lambda n: setattr(n, "internal_state", n.internal_state[:2]),
     lambda n: n.mark(), LOOKUP),
    ("restore, state list too short", lambda n: setattr(n, "internal_state", n.internal_state[:2]),
     lambda n: n.restore(), LOOKUP),
    ("routing above 1", None, lambda n: n.set_routing_probability(0, 1, 1.5), PROBABILITY),
    ("servers, negative", None, lambda n: n.set_number_of_servers_at_node(0, -1), SERVERS),
    ("service with 0", None, lambda n: n.set_service_duration_at_node_pmf(0, {0: 1.0}), SERVICE),
    ("arrivals, node out of range", None, lambda n: n.set_number_of_external_arrivals_at_node_pmf(3, {1: 1.0}),
     LOOKUP),
    ("arrivals, huge range", None, lambda n: n.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.5, INT_MAX: 0.5}),
     OOM),
    ("arrivals, joint", None, lambda n: n.set_number_of_external_arrivals_at_node_pmf(0, {(0, 1): 1.0}), INVALID),
    ("reset, negative", None, lambda n: n.reset_node_with_number_of_entities(0, -1), ENTITIES),
    ("observation outside the support", None, lambda n: n.apply_observation_value_at_node(1, 99), EMPTY),
    ("state, one-item key", None, lambda n: setattr(n, "internal_state", [{(0, 1): 1.0}, {(1,): 1.0}]), INVALID),
    ("state, huge range", None, lambda n: setattr(n, "internal_state", [{(0, 1): 0.5, (INT_MAX, 1): 0.5}]), OOM),
    ("argument count", None, lambda n: n.get_routing_probability(0), "Expected 2 parameter(s)"),
]


def _refused_without_trace(make, snapshot, setup, call, message):
    def prepared():
        obj = make()
        if setup is not None:
            setup(obj)
        return obj

    obj, twin = prepared(), prepared()
    before = snapshot(obj)
    memory = obj.current_memory_use
    with pytest.raises(movra.error) as info:
        call(obj)
    assert info.value.args == (message,)
    assert snapshot(obj) == before
    assert obj.current_memory_use == memory
    # The saved configuration, seen through restore, is the twin's (a state list cut
    # short is made whole first, on both, so that restore can run).
    for o in (obj, twin):
        if isinstance(o, movra.StandardNetworkMultiserver) and len(o.internal_state) < 3:
            o.internal_state = o.internal_state + [{(0, 1): 1.0}] * (3 - len(o.internal_state))
    obj.restore()
    twin.restore()
    assert snapshot(obj) == snapshot(twin)
    assert obj.current_memory_use == twin.current_memory_use
    for _ in range(2):
        obj.step()
        twin.step()
    assert snapshot(obj) == snapshot(twin)


@pytest.mark.parametrize("setup, call, message", [c[1:] for c in STATION_CASES], ids=[c[0] for c in STATION_CASES])
def test_refused_station_call_leaves_no_trace(setup, call, message):
    _refused_without_trace(make_station, station_snapshot, setup, call, message)


@pytest.mark.parametrize("setup, call, message", [c[1:] for c in NETWORK_CASES], ids=[c[0] for c in NETWORK_CASES])
def test_refused_network_call_leaves_no_trace(setup, call, message):
    _refused_without_trace(make_network, network_snapshot, setup, call, message)


def test_arena_past_physical_memory_is_refused():
    # 2**27 nodes, every block within the cap, some 60 GB in all: refused before the first
    # block, instead of the process being killed.
    start = time.perf_counter()
    with pytest.raises(movra.error) as info:
        movra.StandardNetworkMultiserver(2**27)
    assert info.value.args == (OOM,)
    assert time.perf_counter() - start < (60 if SANITIZED else 10)
    n = movra.StandardNetworkMultiserver(2)
    n.step()
    assert n.internal_state == [{(0, 1): 1.0}] * 2


# ---- random mix ----------------------------------------------------------------------

def _pmf(rng, low, high):
    values = rng.sample(range(low, high), rng.randint(1, 3))
    return {v: rng.choice([0.25, 0.5, 1.0]) for v in values}


def _state(rng):
    return {(z, ell): rng.choice([0.5, 1.0]) for z, ell in
            {(rng.randint(0, 4), rng.randint(1, 3)) for _ in range(rng.randint(1, 4))}}


BAD_PMFS = [{}, {-1: 1.0}, {0: 0.5, INT_MAX: 0.5}, {(0, 1): 1.0}, {0: float("nan")}, ({0: 1.0},), {0: "x"}]
BAD_STATES = [{}, {(1,): 1.0}, {(0, 1): 0.5, (INT_MAX, 1): 0.5}, {(0, 0, 0): 1.0}, {1: 1.0}, {(-1, 1): 1.0}]


def _station_calls(rng, m):
    good = [
        lambda: m.step(),
        lambda: m.mark(),
        lambda: m.restore(),
        lambda: m.reset_with_number_of_entities_in_system(rng.randint(0, 4)),
        lambda: m.apply_observation_range(rng.randint(-1, 3), rng.randint(2, 9)),
        lambda: setattr(m, "number_of_servers", rng.randint(0, 3)),
        lambda: setattr(m, "number_of_arrivals_pmf", _pmf(rng, 0, 4)),
        lambda: setattr(m, "service_duration_pmf", _pmf(rng, 1, 4)),
        lambda: setattr(m, "internal_state", _state(rng)),
        lambda: m.get_number_of_entities_in_system_pmf(),
    ]
    bad = [
        lambda: m.apply_observation_value(rng.randint(40, 60)),
        lambda: m.reset_with_number_of_entities_in_system(-rng.randint(1, 5)),
        lambda: setattr(m, rng.choice(["number_of_arrivals_pmf", "service_duration_pmf"]), rng.choice(BAD_PMFS)),
        lambda: setattr(m, "internal_state", rng.choice(BAD_STATES)),
    ]
    # Accepted, but steps fail until they are undone.
    breaking = [
        lambda: setattr(m, "number_of_servers", -1),
        lambda: setattr(m, "service_duration_pmf", {0: 0.5, 2: 0.5}),
        lambda: huge_station(m),
    ]
    return good, bad, breaking


def _network_calls(rng, n):
    node = lambda: rng.randint(0, 2)  # noqa: E731
    good = [
        lambda: n.step(),
        lambda: n.mark(),
        lambda: n.restore(),
        lambda: n.reset_node_with_number_of_entities(node(), rng.randint(0, 4)),
        lambda: n.apply_observation_range_at_node(node(), rng.randint(-1, 3), rng.randint(2, 9)),
        lambda: n.set_number_of_servers_at_node(node(), rng.randint(0, 3)),
        lambda: n.set_number_of_external_arrivals_at_node_pmf(node(), _pmf(rng, 0, 3)),
        lambda: n.set_service_duration_at_node_pmf(node(), _pmf(rng, 1, 4)),
        lambda: n.set_routing_probability(node(), node(), rng.choice([0.0, 0.2, 0.4])),
        lambda: [n.set_routing_probability(s, t, rng.choice([0.0, 0.3])) for s in range(3) for t in range(3)],
        lambda: setattr(n, "internal_state", [_state(rng) for _ in range(3)]),
    ]
    bad = [
        lambda: n.apply_observation_value_at_node(node(), rng.randint(40, 60)),
        lambda: n.set_routing_probability(node(), rng.choice([node(), 3]), rng.choice([1.5, -0.1, 0.5])),
        lambda: n.set_number_of_servers_at_node(node(), -1),
        lambda: n.set_service_duration_at_node_pmf(node(), rng.choice(BAD_PMFS + [{0: 1.0}])),
        lambda: n.set_number_of_external_arrivals_at_node_pmf(rng.choice([node(), -1]), rng.choice(BAD_PMFS)),
        lambda: setattr(n, "internal_state", [_state(rng), rng.choice(BAD_STATES), _state(rng)]),
    ]
    breaking = [
        lambda: n.set_routing_probability(node(), node(), 0.9),
        lambda: huge_node(n),
    ]
    return good, bad, breaking


@pytest.mark.parametrize("make, snapshot, calls, noop_sweep", [
    (movra.StandardMultiserver, station_snapshot, _station_calls,
     lambda m: setattr(m, "internal_state", ({(0, 1): 1.0},))),
    (lambda: movra.StandardNetworkMultiserver(3), network_snapshot, _network_calls,
     lambda n: n.set_number_of_external_arrivals_at_node_pmf(0, ({0: 1.0},))),
], ids=["station", "network"])
def test_random_mix_of_good_and_failing_calls(make, snapshot, calls, noop_sweep):
    rng = random.Random(20240611)
    obj = make()
    good, bad, breaking = calls(rng, obj)
    step, mark, restore = good[:3]
    obj.mark()
    saved = snapshot(obj)
    failures = steps = 0
    for _ in range(1000 if SANITIZED else 10000):
        kind = rng.random()
        call = rng.choice(good if kind < 0.5 else bad if kind < 0.95 else breaking)
        before, memory = snapshot(obj), obj.current_memory_use
        try:
            call()
        except movra.error:
            failures += 1
            assert snapshot(obj) == before
            assert obj.current_memory_use == memory
        else:
            steps += call is step
            if call is mark:
                saved = snapshot(obj)
            elif call is restore:
                assert snapshot(obj) == saved
        # A call that allocates and is refused sweeps afresh: the counters must not move.
        counted = obj.current_memory_use
        with pytest.raises(movra.error):
            noop_sweep(obj)
        assert obj.current_memory_use == counted
    assert failures > (100 if SANITIZED else 1000)
    assert steps > (10 if SANITIZED else 200)
