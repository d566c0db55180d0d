"""Tests of movra.StandardNetworkMultiserver: construction, node configuration, the
internal state, mark/restore, the network step, node observations and memory behaviour.

The step is checked against worked examples with exact results, against
movra.StandardMultiserver for networks without routing, and against a small pure-Python
model of the network step for networks with routing (own-node routing included).
"""
import math
import sys
import tracemalloc

import pytest

import movra
from reference import conditional, network_step, network_step_as_written, normalised

Net = movra.StandardNetworkMultiserver

NODES_MSG = "Invalid number of nodes. The number of nodes must be strictly positive."
SERVERS_MSG = "Invalid number of servers. The number of servers must be nonnegative."
SERVICE_MSG = "Invalid service duration pmf. Service durations must be strictly positive."
ENTITIES_MSG = "Invalid number of entities. The number of entities must be nonnegative."
PROBABILITY_MSG = "Invalid probability. Probabilities must be between 0 and 1."
ROUTING_MSG = "Invalid routing probabilities. Sum of destination probabilities exceeds 1."
LOOKUP_MSG = "Lookup index out of range"
INVALID_MSG = "Invalid value"
EMPTY_MSG = "Empty pmf"
NEGATIVE_MSG = "Negative integer in pmf support"

INT_MAX = 2**31 - 1
INT_MIN = -(2**31)


def expect_error(message, fn, *args):
    with pytest.raises(movra.error) as info:
        fn(*args)
    assert str(info.value) == message


def make_network(servers, arrivals=None, service=None, routing=None, state=None):
    n = len(servers)
    net = Net(n)
    for k in range(n):
        net.set_number_of_servers_at_node(k, servers[k])
        if arrivals is not None:
            net.set_number_of_external_arrivals_at_node_pmf(k, arrivals[k])
        if service is not None:
            net.set_service_duration_at_node_pmf(k, service[k])
    if routing is not None:
        for s in range(n):
            for t in range(n):
                net.set_routing_probability(s, t, routing[s][t])
    if state is not None:
        net.internal_state = state
    return net


def configuration(net):
    n = net.get_number_of_nodes()
    return (
        [net.get_number_of_servers_at_node(k) for k in range(n)],
        [net.get_number_of_external_arrivals_at_node_pmf(k) for k in range(n)],
        [net.get_service_duration_at_node_pmf(k) for k in range(n)],
        [[net.get_routing_probability(s, t) for t in range(n)] for s in range(n)],
    )


def snapshot(net):
    return configuration(net), net.internal_state, net.time


def assert_states_close(got, expected, tol=1e-12):
    assert len(got) == len(expected)
    for g, e in zip(got, expected):
        assert list(g) == sorted(e)
        for key in g:
            assert g[key] == pytest.approx(e[key], rel=tol, abs=tol)


# A three-node network used wherever any configured network will do.
def busy_network():
    return make_network(
        servers=[1, 2, 0],
        arrivals=[{0: 0.6, 1: 0.4}, {0: 0.5, 2: 0.5}, {0: 1.0}],
        service=[{1: 0.5, 2: 0.5}, {1: 0.3, 3: 0.7}, {2: 1.0}],
        routing=[[0.2, 0.5, 0.3], [0.1, 0.0, 0.6], [0.0, 0.0, 0.0]],
        state=[{(0, 1): 1.0}, {(2, 1): 0.5, (3, 2): 0.5}, {(0, 0): 1.0}],
    )


# ---- construction --------------------------------------------------------------------


@pytest.mark.parametrize("args", [(), (1, 2), (1, 2, 3)])
def test_constructor_takes_one_argument(args):
    expect_error("Expected 1 parameters", Net, *args)


@pytest.mark.parametrize("count", [0, -1, INT_MIN, 2**32])  # 2**32 keeps its low bits: 0
def test_constructor_refuses_non_positive_node_counts(count):
    expect_error(NODES_MSG, Net, count)


@pytest.mark.parametrize("count", [1.0, 2.5, "2", None, [2], 2**70])
def test_constructor_refuses_non_integers(count):
    expect_error(INVALID_MSG, Net, count)


@pytest.mark.parametrize("n", [1, 2, 5])
def test_new_network_defaults(n):
    net = Net(n)
    assert net.get_number_of_nodes() == n
    assert net.time == 0
    assert net.internal_state == [{(0, 0): 1.0}] * n
    for k in range(n):
        assert net.get_number_of_servers_at_node(k) == 0
        assert net.get_number_of_external_arrivals_at_node_pmf(k) == {0: 1.0}
        assert net.get_service_duration_at_node_pmf(k) == {1: 1.0}
        assert net.get_number_of_entities_at_node_pmf(k) == {0: 1.0}
        for t in range(n):
            assert net.get_routing_probability(k, t) == 0.0


def test_subclass_runs_the_same_construction():
    class Sub(Net):
        pass

    sub = Sub(3)
    assert isinstance(sub, Net)
    assert sub.get_number_of_nodes() == 3
    assert sub.internal_state == [{(0, 0): 1.0}] * 3
    expect_error("Expected 1 parameters", Sub)
    expect_error(NODES_MSG, Sub, 0)


def test_constructor_ignores_keywords_and_methods_refuse_them():
    assert Net(2, extra=1).get_number_of_nodes() == 2
    with pytest.raises(TypeError):
        Net(2).step(now=True)


def test_error_class_and_members():
    assert issubclass(movra.error, Exception)
    assert movra.error.__name__ == "error" and movra.error.__module__ == "movra"
    net = Net(2)
    net.time = -3
    assert net.time == -3
    for name in ("current_memory_use", "peak_memory_use"):
        with pytest.raises(AttributeError):
            setattr(net, name, 5)
    assert net.peak_memory_use >= net.current_memory_use > 0


# ---- argument counts -----------------------------------------------------------------

# (method, argument count, returns a value)
METHODS = [
    ("step", 0, False),
    ("apply_observation_range_at_node", 3, False),
    ("apply_observation_value_at_node", 2, False),
    ("mark", 0, False),
    ("restore", 0, False),
    ("get_number_of_entities_at_node_pmf", 1, True),
    ("get_number_of_external_arrivals_at_node_pmf", 1, True),
    ("get_number_of_nodes", 0, True),
    ("get_number_of_servers_at_node", 1, True),
    ("get_routing_probability", 2, True),
    ("get_service_duration_at_node_pmf", 1, True),
    ("set_number_of_external_arrivals_at_node_pmf", 2, False),
    ("set_number_of_servers_at_node", 2, False),
    ("set_routing_probability", 3, False),
    ("set_service_duration_at_node_pmf", 2, False),
    ("reset_node_with_number_of_entities", 2, False),
]


@pytest.mark.parametrize("name,count,returns", METHODS)
def test_wrong_argument_count(name, count, returns):
    net = busy_network()
    before = snapshot(net)
    message = f"Expected {count} parameter(s)" if returns else f"Expected {count} parameters"
    method = getattr(net, name)
    # Arguments that would be valid in position, so only the count can fail.
    expect_error(message, method, *([0] * (count + 1)))
    if count > 0:
        expect_error(message, method, *([0] * (count - 1)))
    assert snapshot(net) == before


# ---- node indices --------------------------------------------------------------------

# Calls taking a node index, with valid values elsewhere; "i" marks the index.
INDEXED_CALLS = [
    ("get_number_of_servers_at_node", ("i",)),
    ("set_number_of_servers_at_node", ("i", 1)),
    ("get_number_of_external_arrivals_at_node_pmf", ("i",)),
    ("set_number_of_external_arrivals_at_node_pmf", ("i", {1: 1.0})),
    ("get_service_duration_at_node_pmf", ("i",)),
    ("set_service_duration_at_node_pmf", ("i", {2: 1.0})),
    ("get_routing_probability", ("i", 0)),
    ("get_routing_probability", (0, "i")),
    ("set_routing_probability", ("i", 0, 0.5)),
    ("set_routing_probability", (0, "i", 0.5)),
    ("get_number_of_entities_at_node_pmf", ("i",)),
    ("reset_node_with_number_of_entities", ("i", 2)),
    ("apply_observation_range_at_node", ("i", 0, 5)),
    ("apply_observation_value_at_node", ("i", 0)),
]


@pytest.mark.parametrize("name,args", INDEXED_CALLS)
@pytest.mark.parametrize("index", [-1, 3, INT_MAX, INT_MIN])
def test_node_index_out_of_range(name, args, index):
    net = busy_network()
    before = snapshot(net)
    expect_error(LOOKUP_MSG, getattr(net, name), *[index if a == "i" else a for a in args])
    assert snapshot(net) == before


@pytest.mark.parametrize("name,args", INDEXED_CALLS)
@pytest.mark.parametrize("index", [1.0, "0", None])
def test_node_index_must_be_int(name, args, index):
    net = busy_network()
    before = snapshot(net)
    expect_error(INVALID_MSG, getattr(net, name), *[index if a == "i" else a for a in args])
    assert snapshot(net) == before


# ---- configuration -------------------------------------------------------------------


@pytest.mark.parametrize("servers", [0, 1, 7, INT_MAX])
def test_servers_accepted(servers):
    net = Net(3)
    net.set_number_of_servers_at_node(1, servers)
    assert [net.get_number_of_servers_at_node(k) for k in range(3)] == [0, servers, 0]


@pytest.mark.parametrize("index", [1, -1, 3])  # the value is checked before the index
@pytest.mark.parametrize("servers", [-1, INT_MIN])
def test_negative_servers_refused(index, servers):
    net = busy_network()
    before = snapshot(net)
    expect_error(SERVERS_MSG, net.set_number_of_servers_at_node, index, servers)
    assert snapshot(net) == before


@pytest.mark.parametrize(
    "given,stored",
    [
        ({0: 0.25, 2: 0.75}, {0: 0.25, 2: 0.75}),
        ({2: 0.5}, {2: 1.0}),
        ({3: 1, 5: 3}, {3: 0.5, 5: 0.5}),
        ({0: 0.0, 4: 0.2, 6: 0.0}, {4: 1.0}),
    ],
)
def test_arrivals_stored_normalised(given, stored):
    net = Net(2)
    net.set_number_of_external_arrivals_at_node_pmf(1, given)
    assert net.get_number_of_external_arrivals_at_node_pmf(1) == stored
    assert net.get_number_of_external_arrivals_at_node_pmf(0) == {0: 1.0}


@pytest.mark.parametrize(
    "given,stored",
    [({1: 0.5, 3: 0.5}, {1: 0.5, 3: 0.5}), ({0: 0.0, 2: 1.0}, {2: 1.0}), ({4: 2.0}, {4: 1.0})],
)
def test_service_duration_accepted(given, stored):
    net = Net(2)
    net.set_service_duration_at_node_pmf(0, given)
    assert net.get_service_duration_at_node_pmf(0) == stored
    assert net.get_service_duration_at_node_pmf(1) == {1: 1.0}


@pytest.mark.parametrize("index", [0, -1, 3])  # the value is checked before the index
@pytest.mark.parametrize("pmf", [{0: 0.5, 1: 0.5}, {0: 1.0}, {0: 1e-300, 5: 1.0}])
def test_service_duration_with_zero_refused(index, pmf):
    net = busy_network()
    before = snapshot(net)
    expect_error(SERVICE_MSG, net.set_service_duration_at_node_pmf, index, pmf)
    assert snapshot(net) == before


@pytest.mark.parametrize(
    "name", ["set_number_of_external_arrivals_at_node_pmf", "set_service_duration_at_node_pmf"]
)
@pytest.mark.parametrize(
    "pmf,message",
    [
        ({(0, 1): 1.0}, INVALID_MSG),
        ({(1, 1, 1): 1.0}, INVALID_MSG),
        (({1: 1.0}, {2: 1.0}), INVALID_MSG),
        ([1.0], INVALID_MSG),
        (0.5, INVALID_MSG),
        ({1: "x"}, INVALID_MSG),
        ({}, "Empty dictionary"),
        ({1: 0.0}, EMPTY_MSG),
        ({-1: 1.0}, NEGATIVE_MSG),
    ],
)
@pytest.mark.parametrize("index", [0, 3])  # a bad PMF is reported before a bad index
def test_pmf_setters_refuse_bad_pmfs(name, pmf, message, index):
    net = busy_network()
    before = snapshot(net)
    expect_error(message, getattr(net, name), index, pmf)
    assert snapshot(net) == before


@pytest.mark.parametrize("probability", [0.0, 1.0, 0.5, 0, 1, True, 5e-324])
def test_routing_probability_accepted(probability):
    net = Net(3)
    net.set_routing_probability(2, 1, probability)
    assert net.get_routing_probability(2, 1) == float(probability)
    assert type(net.get_routing_probability(2, 1)) is float
    assert net.get_routing_probability(1, 2) == 0.0


@pytest.mark.parametrize("source,destination", [(0, 1), (-1, 0), (0, 3), (5, 5)])
@pytest.mark.parametrize(
    "probability", [-1e-12, 1.0000001, -1.0, 2, math.nan, math.inf, -math.inf]
)
def test_routing_probability_refused(source, destination, probability):
    net = busy_network()
    before = snapshot(net)
    expect_error(PROBABILITY_MSG, net.set_routing_probability, source, destination, probability)
    assert snapshot(net) == before


@pytest.mark.parametrize("args", [(0, 1, "x"), (0, 1, None), (9, 9, "x"), (0, 1.0, 0.5)])
def test_routing_probability_arguments_converted_before_use(args):
    net = busy_network()
    before = snapshot(net)
    expect_error(INVALID_MSG, net.set_routing_probability, *args)
    assert snapshot(net) == before


def test_routing_rows_above_one_accepted_when_set():
    net = Net(3)
    for t in range(3):
        net.set_routing_probability(0, t, 0.9)
    assert [net.get_routing_probability(0, t) for t in range(3)] == [0.9, 0.9, 0.9]


def test_reset_node():
    net = busy_network()
    net.set_service_duration_at_node_pmf(1, {1: 0.5, 2: 0.5})
    net.time = 4
    others = net.internal_state
    config = configuration(net)
    net.reset_node_with_number_of_entities(1, 3)
    assert net.internal_state == [others[0], {(3, 1): 0.5, (3, 2): 0.5}, others[2]]
    assert net.time == 4 and configuration(net) == config
    net.reset_node_with_number_of_entities(1, 0)
    assert net.internal_state[1] == {(0, 1): 0.5, (0, 2): 0.5}


@pytest.mark.parametrize("index", [0, -1, 3])  # the value is checked before the index
def test_reset_node_refuses_negative_counts(index):
    net = busy_network()
    before = snapshot(net)
    expect_error(ENTITIES_MSG, net.reset_node_with_number_of_entities, index, -1)
    assert snapshot(net) == before


# ---- internal_state ------------------------------------------------------------------


def test_internal_state_round_trip():
    net = Net(2)
    state = [{(0, 1): 0.25, (2, 3): 0.75}, {(1, 0): 1.0}]
    net.internal_state = state
    assert net.internal_state == state
    assert [list(s) for s in net.internal_state] == [[(0, 1), (2, 3)], [(1, 0)]]
    assert net.get_number_of_entities_at_node_pmf(0) == {0: 0.25, 2: 0.75}


@pytest.mark.parametrize(
    "value,message",
    [
        ([{0: 1.0}], INVALID_MSG),
        ([{(0, 0, 0): 1.0}], INVALID_MSG),
        ([{(0, 0): 1.0}, {0: 1.0}], INVALID_MSG),
        ([({(0, 0): 1.0},)], INVALID_MSG),
        ([{(0, 0): 1.0}, 3], INVALID_MSG),
        ({(0, 0): 1.0}, INVALID_MSG),
        (({(0, 0): 1.0},), INVALID_MSG),
        ([], INVALID_MSG),
        (None, INVALID_MSG),
        ([{}], "Empty dictionary"),
        ([{(0, 1): 0.0}], EMPTY_MSG),
        ([{(1, -1): 1.0}], NEGATIVE_MSG),
        ([{(-1, 1): 1.0}], "Samples must be nonnegative integers"),
    ],
)
def test_internal_state_refuses_bad_values(value, message):
    net = busy_network()
    before = snapshot(net)
    memory = net.current_memory_use
    with pytest.raises(movra.error) as info:
        net.internal_state = value
    assert str(info.value) == message
    assert snapshot(net) == before
    assert net.current_memory_use == memory


def test_internal_state_cannot_be_deleted():
    net = busy_network()
    before = snapshot(net)
    with pytest.raises(Exception):
        del net.internal_state
    assert snapshot(net) == before


def test_longer_internal_state_keeps_extra_entries():
    net = make_network(servers=[1, 1], arrivals=[{1: 1.0}, {0: 1.0}])
    extra = [{(4, 1): 0.5, (6, 2): 0.5}, {(1, 1): 1.0}]
    net.internal_state = [{(0, 1): 1.0}, {(0, 1): 1.0}] + extra
    assert net.get_number_of_entities_at_node_pmf(3) == {1: 1.0}
    net.step()
    net.mark()
    net.step()
    net.restore()
    state = net.internal_state
    assert state[:2] == [{(1, 1): 1.0}, {(0, 1): 1.0}]
    assert state[2:] == extra
    # Operations that only read the state accept the extra indices.
    assert net.get_number_of_entities_at_node_pmf(2) == {4: 0.5, 6: 0.5}
    net.apply_observation_value_at_node(2, 6)
    assert net.internal_state[2] == {(6, 2): 1.0}
    net.apply_observation_range_at_node(3, 0, 2)
    assert net.internal_state[3] == {(1, 1): 1.0}
    expect_error(LOOKUP_MSG, net.get_number_of_entities_at_node_pmf, 4)
    # The reset reads the node's service duration, which exists for real nodes only.
    expect_error(LOOKUP_MSG, net.reset_node_with_number_of_entities, 2, 1)
    assert net.get_number_of_nodes() == 2


@pytest.mark.parametrize("name", ["step", "mark", "restore"])
def test_shorter_internal_state_fails_whole_network_operations(name):
    net = busy_network()
    net.mark()
    net.internal_state = [{(1, 1): 1.0}]
    net.time = 5
    before = snapshot(net)
    expect_error(LOOKUP_MSG, getattr(net, name))
    assert snapshot(net) == before
    expect_error(LOOKUP_MSG, net.get_number_of_entities_at_node_pmf, 1)


def test_refused_mark_keeps_the_saved_configuration():
    net = Net(3)
    net.set_number_of_servers_at_node(0, 2)
    net.time = 7
    net.mark()
    net.set_number_of_servers_at_node(1, 3)
    net.time = 9
    net.internal_state = [{(5, 1): 1.0}]
    expect_error(LOOKUP_MSG, net.mark)
    net.internal_state = [{(0, 0): 1.0}] * 3
    net.restore()
    # Nothing of the refused mark was saved, not even time or node 0.
    assert net.time == 7
    assert [net.get_number_of_servers_at_node(k) for k in range(3)] == [2, 0, 0]
    assert net.internal_state == [{(0, 0): 1.0}] * 3


# ---- mark / restore ------------------------------------------------------------------


def test_restore_brings_back_everything():
    net = busy_network()
    for _ in range(3):
        net.step()
    marked = snapshot(net)
    net.mark()
    net.set_number_of_servers_at_node(0, 5)
    net.set_number_of_external_arrivals_at_node_pmf(1, {3: 1.0})
    net.set_service_duration_at_node_pmf(2, {7: 1.0})
    net.set_routing_probability(2, 0, 1.0)
    net.set_routing_probability(0, 0, 0.0)
    net.reset_node_with_number_of_entities(1, 9)
    net.step()
    net.time = 100
    net.restore()
    assert snapshot(net) == marked
    net.step()
    net.restore()
    assert snapshot(net) == marked


def test_restore_then_step_repeats_the_trajectory():
    net = busy_network()
    net.mark()
    first = []
    for _ in range(4):
        net.step()
        first.append(net.internal_state)
    net.restore()
    again = []
    for _ in range(4):
        net.step()
        again.append(net.internal_state)
    assert again == first


def test_restore_before_mark_gives_init_values():
    net = busy_network()
    for _ in range(2):
        net.step()
    net.restore()
    fresh = Net(3)
    assert snapshot(net) == snapshot(fresh)
    assert net.time == 0


def test_second_mark_overwrites_first():
    net = busy_network()
    net.mark()
    net.step()
    net.set_number_of_servers_at_node(2, 4)
    second = snapshot(net)
    net.mark()
    net.step()
    net.set_number_of_servers_at_node(2, 1)
    net.restore()
    assert snapshot(net) == second


# ---- step: worked examples -----------------------------------------------------------


def test_two_node_transfer():
    net = make_network(
        servers=[1, 0], arrivals=[{1: 1.0}, {0: 1.0}], routing=[[0.0, 1.0], [0.0, 0.0]]
    )
    net.step()
    assert net.internal_state == [{(1, 1): 1.0}, {(0, 1): 1.0}]
    net.step()
    assert net.internal_state == [{(1, 1): 1.0}, {(1, 1): 1.0}]
    for k in range(2, 6):
        net.step()
        # Node 1 has no servers and keeps every entity it receives.
        assert net.get_number_of_entities_at_node_pmf(1) == {k: 1.0}
        assert net.get_number_of_entities_at_node_pmf(0) == {1: 1.0}
    assert net.time == 6


def test_one_node_example():
    net = make_network(servers=[1], arrivals=[{0: 0.5, 1: 0.5}], service=[{1: 0.5, 2: 0.5}])
    net.reset_node_with_number_of_entities(0, 0)
    net.step()
    assert net.internal_state == [{(0, 1): 0.25, (0, 2): 0.25, (1, 1): 0.25, (1, 2): 0.25}]
    net.step()
    state = net.internal_state[0]
    assert net.get_number_of_entities_at_node_pmf(0) == pytest.approx(
        {0: 0.375, 1: 0.5, 2: 0.125}, rel=1e-15
    )
    assert list(state) == [(0, 1), (0, 2), (1, 1), (1, 2), (2, 1)]
    assert conditional(state, 0) == pytest.approx({1: 0.5, 2: 0.5}, rel=1e-15)
    assert conditional(state, 1) == pytest.approx({1: 0.625, 2: 0.375}, rel=1e-15)
    assert conditional(state, 2) == pytest.approx({1: 1.0}, rel=1e-15)
    assert net.time == 2


def test_routing_row_summing_to_exactly_one_accepted():
    net = make_network(servers=[1, 1], arrivals=[{1: 1.0}, {0: 1.0}])
    net.set_routing_probability(0, 0, 0.7)
    net.set_routing_probability(0, 1, 0.3)
    net.step()
    assert net.time == 1


@pytest.mark.parametrize(
    "row,source",
    [
        ([0.05, 0.55, 0.3, 0.1], 0),  # sums to 1.0000000000000002 in this order
        ([0.05, 0.55, 0.3, 0.1], 3),  # the last row fails before any flow is formed
        ([0.0, 0.6, 0.0, 0.5], 1),  # the own-node entry counts
        ([1.0, 1.0, 1.0, 1.0], 2),
    ],
)
def test_routing_row_above_one_refused_by_step(row, source):
    net = make_network(
        servers=[1, 2, 1, 1],
        arrivals=[{0: 0.5, 1: 0.5}] * 4,
        service=[{1: 0.5, 2: 0.5}] * 4,
        state=[{(1, 1): 0.5, (2, 2): 0.5}] * 4,
    )
    for t, p in enumerate(row):
        net.set_routing_probability(source, t, p)
    net.time = 3
    before = snapshot(net)
    memory = net.current_memory_use
    expect_error(ROUTING_MSG, net.step)
    assert snapshot(net) == before
    assert net.current_memory_use == memory


def test_step_after_fixed_routing_matches_network_that_never_failed():
    def network():
        return make_network(
            servers=[1, 2],
            arrivals=[{0: 0.5, 1: 0.5}, {0: 0.25, 2: 0.75}],
            service=[{1: 0.5, 2: 0.5}, {1: 0.2, 3: 0.8}],
            routing=[[0.1, 0.6], [0.4, 0.0]],
            state=[{(2, 1): 0.5, (2, 2): 0.5}, {(1, 3): 1.0}],
        )

    failed, clean = network(), network()
    failed.set_routing_probability(1, 1, 0.7)
    expect_error(ROUTING_MSG, failed.step)
    expect_error(ROUTING_MSG, failed.step)
    failed.set_routing_probability(1, 1, 0.0)
    for _ in range(3):
        failed.step()
        clean.step()
        assert snapshot(failed) == snapshot(clean)


def test_own_routing_one_re_enters_as_new():
    net = make_network(servers=[1], service=[{2: 1.0}], routing=[[1.0]], state=[{(1, 1): 1.0}])
    net.step()
    # The completing entity re-enters and starts a fresh service.
    assert net.internal_state == [{(1, 2): 1.0}]
    net.step()
    assert net.internal_state == [{(1, 1): 1.0}]
    for _ in range(4):
        net.step()
        assert net.get_number_of_entities_at_node_pmf(0) == {1: 1.0}


def test_own_routing_splits_completions():
    net = make_network(servers=[2], routing=[[0.5]], state=[{(2, 1): 1.0}])
    net.step()
    assert_states_close(net.internal_state, [{(0, 1): 0.25, (1, 1): 0.5, (2, 1): 0.25}])


def test_own_routing_does_not_feed_other_nodes():
    net = make_network(servers=[1, 1], routing=[[1.0, 0.0], [0.0, 0.0]],
                       state=[{(3, 1): 1.0}, {(0, 1): 1.0}])
    for _ in range(3):
        net.step()
        assert net.get_number_of_entities_at_node_pmf(0) == {3: 1.0}
        assert net.internal_state[1] == {(0, 1): 1.0}


@pytest.mark.parametrize("start,after", [(10, 11), (-3, -2), (INT_MAX, INT_MIN)])
def test_step_counts_time(start, after):
    net = Net(2)
    net.time = start
    net.step()
    assert net.time == after


def test_step_leaves_configuration_alone():
    net = busy_network()
    config = configuration(net)
    for _ in range(5):
        net.step()
    assert configuration(net) == config
    net.restore()
    assert snapshot(net) == snapshot(Net(3))


def test_failure_in_node_loop_leaves_every_node_as_before():
    net = make_network(
        servers=[1, 1, 1],
        arrivals=[{1: 1.0}] * 3,
        routing=[[0.0, 0.0, 0.0], [0.0, 0.0, 0.0], [0.5, 0.0, 0.0]],
        state=[{(0, 1): 1.0}, {(1, 0): 1.0}, {(1, 1): 1.0}],
    )
    net.time = 4
    before = snapshot(net)
    memory = net.current_memory_use
    # Node 0 maps fine; node 1 fails: the step is refused whole.
    expect_error(NEGATIVE_MSG, net.step)
    assert snapshot(net) == before
    assert net.current_memory_use == memory


def test_empty_node_without_arrivals_draws_service_duration():
    net = make_network(servers=[3, 0], service=[{2: 0.25, 4: 0.75}, {1: 0.5, 5: 0.5}])
    net.step()
    assert net.internal_state == [{(0, 2): 0.25, (0, 4): 0.75}, {(0, 1): 0.5, (0, 5): 0.5}]


# ---- step: cross-checks --------------------------------------------------------------

STATIONS = [
    (1, {0: 0.5, 1: 0.3, 2: 0.2}, {1: 0.5, 2: 0.3, 3: 0.2}, {(0, 1): 1.0}),
    (2, {0: 0.2, 1: 0.5, 3: 0.3}, {1: 0.25, 2: 0.75}, {(2, 1): 0.3, (2, 2): 0.2, (4, 2): 0.5}),
    (3, {0: 0.1, 2: 0.6, 4: 0.3}, {2: 0.4, 5: 0.6}, {(0, 0): 1.0}),
    (0, {0: 0.7, 1: 0.3}, {1: 1.0}, {(1, 1): 1.0}),
    (1, {0: 0.999999999, 1: 1e-09}, {1: 1.0}, {(0, 1): 1.0}),
    # Stored arrivals sum to 1.0000000000000002: renormalised by the network's convolution.
    (2, {0: 0.6, 1: 0.3, 3: 0.1}, {1: 0.5, 2: 0.5}, {(1, 1): 1.0}),
]


def run_against_stations(stations, steps):
    net = make_network(
        servers=[s[0] for s in stations],
        arrivals=[s[1] for s in stations],
        service=[s[2] for s in stations],
        state=[s[3] for s in stations],
    )
    singles = []
    for servers, arrivals, service, state in stations:
        m = movra.StandardMultiserver()
        m.number_of_servers = servers
        m.number_of_arrivals_pmf = arrivals
        m.service_duration_pmf = service
        m.internal_state = state
        singles.append(m)
    for _ in range(steps):
        net.step()
        for m in singles:
            m.step()
        yield net.internal_state, [m.internal_state for m in singles]


@pytest.mark.parametrize(
    "stations", [STATIONS, STATIONS[:1], STATIONS[4:5], STATIONS[5:]], ids=["all", "1a", "1b", "1c"]
)
def test_unrouted_nodes_evolve_like_single_stations(stations):
    for got, expected in run_against_stations(stations, 30):
        assert_states_close(got, expected)


def test_unrouted_nodes_bit_identical_when_arrivals_sum_exactly_to_one():
    # The node's arrivals are its external arrivals convolved with the inflow {0: 1.0};
    # the renormalisation is exact here, so the whole computation must be too.
    stations = [
        (1, {0: 0.5, 1: 0.25, 2: 0.25}, {1: 0.5, 2: 0.3, 3: 0.2}, {(0, 1): 1.0}),
        (2, {0: 0.125, 1: 0.625, 3: 0.25}, {1: 0.25, 2: 0.75}, {(2, 1): 0.3, (4, 2): 0.7}),
        (0, {0: 0.75, 1: 0.25}, {2: 1.0}, {(1, 1): 1.0}),
    ]
    for got, expected in run_against_stations(stations, 30):
        assert got == expected




ROUTED = {
    "three nodes": (
        [1, 2, 0],
        [{0: 0.6, 1: 0.4}, {0: 0.5, 2: 0.5}, {0: 1.0}],
        [{1: 0.5, 2: 0.5}, {1: 0.3, 3: 0.7}, {2: 1.0}],
        [[0.2, 0.5, 0.3], [0.1, 0.0, 0.6], [0.0, 0.0, 0.0]],
        [{(0, 1): 1.0}, {(2, 1): 0.5, (3, 2): 0.5}, {(0, 0): 1.0}],
        12,
    ),
    "own routing only": ([1], [{0: 0.7, 1: 0.3}], [{1: 0.4, 2: 0.6}], [[0.4]], [{(0, 1): 1.0}], 25),
    "full rows": (
        [2, 1],
        [{0: 0.5, 1: 0.5}, {0: 0.9, 1: 0.1}],
        [{1: 0.6, 2: 0.4}, {1: 1.0}],
        [[0.3, 0.7], [0.5, 0.5]],
        [{(1, 1): 1.0}, {(0, 1): 1.0}],
        20,
    ),
    "feedback loop": (
        [3, 1, 2],
        [{0: 0.3, 1: 0.4, 2: 0.3}, {0: 1.0}, {0: 0.8, 1: 0.2}],
        [{1: 0.2, 2: 0.5, 4: 0.3}, {1: 0.5, 2: 0.5}, {3: 1.0}],
        [[0.0, 0.8, 0.0], [0.0, 0.3, 0.5], [0.6, 0.0, 0.1]],
        [{(4, 2): 1.0}, {(1, 1): 0.4, (2, 2): 0.6}, {(2, 3): 1.0}],
        15,
    ),
}


@pytest.mark.parametrize("reference_step", [network_step, network_step_as_written])
@pytest.mark.parametrize("name", list(ROUTED))
def test_routed_network_matches_independent_model(name, reference_step):
    servers, arrivals, service, routing, state, steps = ROUTED[name]
    net = make_network(servers, arrivals, service, routing, state)
    arrivals = [normalised(a) for a in arrivals]
    service = [normalised(s) for s in service]
    expected = state
    for _ in range(steps):
        net.step()
        expected = reference_step(servers, arrivals, service, routing, expected)
        assert_states_close(net.internal_state, expected)


def test_tails_are_cut_and_state_stays_normalised():
    net = make_network(servers=[1], arrivals=[{0: 0.999999999, 1: 1e-09}])
    net.step()
    assert net.internal_state == [{(0, 1): 1.0}]
    net = make_network(servers=[1], arrivals=[{0: 0.99999999, 1: 1e-08}])
    net.step()
    assert net.get_number_of_entities_at_node_pmf(0).keys() == {0, 1}
    net = make_network(servers=[0], arrivals=[{a: 0.5**a for a in range(1, 40)}])
    for _ in range(5):
        net.step()
        z = net.get_number_of_entities_at_node_pmf(0)
        assert sum(z.values()) == pytest.approx(1.0, abs=1e-14)
        assert len(z) < 5 * 39


# ---- observations --------------------------------------------------------------------

OBSERVED = {(0, 1): 0.25, (0, 2): 0.25, (1, 1): 0.1, (1, 3): 0.2, (2, 2): 0.2}  # z: .5 .3 .2


def observed_network():
    net = busy_network()
    net.internal_state = [{(3, 1): 1.0}, dict(OBSERVED), {(1, 2): 1.0}]
    net.time = 9
    return net


@pytest.mark.parametrize(
    "call,marginal",
    [
        (("range", 1, 3), {1: 0.6, 2: 0.4}),
        (("range", 0, 3), {0: 0.5, 1: 0.3, 2: 0.2}),
        (("range", -5, 1), {0: 1.0}),
        (("range", INT_MIN, INT_MAX), {0: 0.5, 1: 0.3, 2: 0.2}),
        (("range", 2, 100), {2: 1.0}),
        (("value", 2), {2: 1.0}),
        (("value", 0), {0: 1.0}),
    ],
)
def test_observation_conditions_one_node(call, marginal):
    net = observed_network()
    before = snapshot(net)
    if call[0] == "range":
        net.apply_observation_range_at_node(1, *call[1:])
    else:
        net.apply_observation_value_at_node(1, call[1])
    state = net.internal_state[1]
    assert net.get_number_of_entities_at_node_pmf(1) == pytest.approx(marginal, rel=1e-15)
    assert sorted({z for z, _ in state}) == sorted(marginal)
    for z in marginal:
        assert conditional(state, z) == pytest.approx(conditional(OBSERVED, z), rel=1e-15)
    config, states, time = before
    assert configuration(net) == config and net.time == time
    assert [net.internal_state[0], net.internal_state[2]] == [states[0], states[2]]


@pytest.mark.parametrize(
    "call",
    [
        ("range", 3, 10),
        ("range", 2, 2),
        ("range", 5, 2),
        ("range", INT_MIN, 0),
        ("range", -5, -1),
        ("value", 3),
        ("value", -1),
        ("value", INT_MAX),  # the range ends one past the largest Int
    ],
)
def test_observation_of_impossible_counts(call):
    net = observed_network()
    before = snapshot(net)
    memory = net.current_memory_use
    if call[0] == "range":
        expect_error(EMPTY_MSG, net.apply_observation_range_at_node, 1, *call[1:])
    else:
        expect_error(EMPTY_MSG, net.apply_observation_value_at_node, 1, call[1])
    assert snapshot(net) == before
    assert net.current_memory_use == memory


@pytest.mark.parametrize(
    "name,args",
    [
        ("apply_observation_range_at_node", (1, "1", 3)),
        ("apply_observation_range_at_node", (1, 1, 3.0)),
        ("apply_observation_range_at_node", (1, None, 2)),
        ("apply_observation_value_at_node", (1, 2.0)),
        ("apply_observation_value_at_node", (1, "2")),
    ],
)
def test_observation_arguments_must_be_int(name, args):
    net = observed_network()
    before = snapshot(net)
    expect_error(INVALID_MSG, getattr(net, name), *args)
    assert snapshot(net) == before


# ---- memory --------------------------------------------------------------------------


def test_failing_calls_leave_memory_as_before():
    net = busy_network()
    net.step()
    memory = net.current_memory_use
    failing = [
        lambda: net.set_service_duration_at_node_pmf(0, {0: 0.5, 1: 0.5}),
        lambda: net.set_number_of_external_arrivals_at_node_pmf(0, {(0, 1): 1.0}),
        lambda: net.set_number_of_external_arrivals_at_node_pmf(5, {1: 1.0}),
        lambda: net.apply_observation_value_at_node(0, 50),
        lambda: net.get_number_of_entities_at_node_pmf(7),
        lambda: net.reset_node_with_number_of_entities(9, 1),
    ]
    for call in failing:
        with pytest.raises(movra.error):
            call()
        assert net.current_memory_use == memory
    net.internal_state = net.internal_state[:1]
    memory = net.current_memory_use
    expect_error(LOOKUP_MSG, net.step)
    assert net.current_memory_use == memory


def test_memory_stays_bounded_over_many_steps():
    net = make_network(
        servers=[1, 1, 1],
        arrivals=[{0: 0.8, 1: 0.2}] * 3,
        service=[{1: 0.5, 2: 0.5}] * 3,
        routing=[[0.0, 0.5, 0.0], [0.0, 0.0, 0.5], [0.0, 0.0, 0.2]],
    )
    for _ in range(200):
        net.step()
    settled = net.current_memory_use
    for _ in range(200):
        net.step()
        assert net.current_memory_use <= 1.05 * settled
    assert net.peak_memory_use >= net.current_memory_use
    assert all(len(s) < 100 for s in net.internal_state)


def test_reference_counts_and_python_memory_stay_flat():
    net = busy_network()
    arrivals = {0: float("0.25"), 3: float("0.75")}
    joint = {(0, 1): float("1.0")}
    negative = {-1: float("1.0")}
    probability = float("0.375")
    too_large = float("1.5")
    text = "".join(["not", "a", "number"])
    state = [{(0, 1): float("0.5"), (1, 2): float("0.5")}, {(2, 1): 1.0}, {(0, 2): 1.0}]
    bad_state = [{(0, 1): 1.0}, {5: 1.0}]
    watched = [arrivals, joint, negative, probability, too_large, text, state, bad_state,
               movra.error, *arrivals.values(), *state[0], *state[0].values()]

    def exercise():
        net.set_number_of_external_arrivals_at_node_pmf(0, arrivals)
        net.set_routing_probability(0, 1, probability)
        net.internal_state = state
        net.get_number_of_external_arrivals_at_node_pmf(0)
        net.internal_state
        net.step()
        net.apply_observation_range_at_node(0, 0, 100)
        for call in (
            lambda: net.set_number_of_external_arrivals_at_node_pmf(0, joint),
            lambda: net.set_service_duration_at_node_pmf(0, negative),
            lambda: net.set_routing_probability(0, 1, too_large),
            lambda: net.set_routing_probability(0, 1, text),
            lambda: net.set_number_of_servers_at_node(text, 1),
            lambda: setattr(net, "internal_state", bad_state),
            lambda: net.apply_observation_value_at_node(0, 10**6),
        ):
            try:
                call()
            except movra.error:
                pass

    exercise()
    counts = [sys.getrefcount(o) for o in watched]
    memory = net.current_memory_use
    tracemalloc.start()
    try:
        exercise()
        start, _ = tracemalloc.get_traced_memory()
        for _ in range(2000):
            exercise()
        end, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert end - start < 16 * 1024
    assert net.current_memory_use == memory
