import copy
import math
import pickle
import random
import time

import pytest

import movra
import reference_network as ref

# (servers, external arrivals, service, routing)
CASES = {
    "line det": ([1, 1], [{0: 0.5, 1: 0.5}, {0: 1.0}], [{2: 1.0}, {2: 1.0}], [[0, 1], [0, 0]]),
    "feedback": (
        [2, 1],
        [{0: 0.7, 1: 0.3}, {0: 0.9, 1: 0.1}],
        [{1: 0.5, 2: 0.3, 3: 0.2}, {1: 0.6, 2: 0.4}],
        [[0, 0.7], [0.2, 0.1]],
    ),
    "split merge": (
        [1, 2, 1],
        [{0: 0.6, 1: 0.4}, {0: 1.0}, {0: 0.9, 1: 0.1}],
        [{2: 1.0}, {1: 0.5, 2: 0.5}, {1: 0.5, 3: 0.5}],
        [[0, 0.5, 0.5], [0, 0, 0.6], [0.1, 0, 0]],
    ),
}


def build(servers, arrivals, service, routing, **kw):
    net = movra.ExactNetworkMultiserver(len(servers), **kw)
    for i, c in enumerate(servers):
        net.set_number_of_servers_at_node(i, c)
        net.set_number_of_external_arrivals_at_node_pmf(i, arrivals[i])
        net.set_service_duration_at_node_pmf(i, service[i])
        for j, p in enumerate(routing[i]):
            net.set_routing_probability(i, j, p)
    return net


@pytest.fixture
def feedback():
    net = build(*CASES["feedback"])
    for _ in range(8):
        net.step()
    return net


@pytest.mark.parametrize("name", CASES)
def test_matches_entity_by_entity_chain(name):
    servers, arrivals, service, routing = CASES[name]
    net = build(servers, arrivals, service, routing)
    truth = net.internal_state
    for t in range(100 if name == "line det" else 25):
        net.step()
        truth = ref.step(truth, servers, arrivals, service, routing)
        assert ref.total_variation(net.internal_state, truth) <= 1e-8, t


def test_lowered_servers_finish_their_service():
    # Two busy at a node lowered to one server: nobody is interrupted, and the waiting
    # entity starts only when both have finished.
    servers, arrivals, service, routing = CASES["feedback"]
    net = build(servers, arrivals, service, routing)
    net.internal_state = {((3, (1, 2)), (0, ())): 1.0}
    net.set_number_of_servers_at_node(0, 1)
    servers = [1, 1]
    truth = net.internal_state
    for t in range(20):
        net.step()
        truth = ref.step(truth, servers, arrivals, service, routing)
        assert ref.total_variation(net.internal_state, truth) <= 1e-8, t


def test_observing_one_node_conditions_the_others(feedback):
    before = feedback.internal_state
    feedback.apply_observation_range_at_node(1, 1, 3)
    kept = {k: p for k, p in before.items() if 1 <= k[1][0] < 3}
    total = sum(kept.values())
    after = feedback.internal_state
    assert after.keys() == kept.keys()
    assert all(after[k] == pytest.approx(p / total, rel=1e-12) for k, p in kept.items())
    z0 = {}
    for k, p in kept.items():
        z0[k[0][0]] = z0.get(k[0][0], 0) + p / total
    assert feedback.get_number_of_entities_at_node_pmf(0) == pytest.approx(z0, rel=1e-12)


def test_queries_are_marginals_of_the_joint(feedback):
    state = feedback.internal_state
    joint, total, node1 = {}, {}, {}
    for k, p in state.items():
        node1[k[1]] = node1.get(k[1], 0) + p
        joint[(k[1][0], k[0][0])] = joint.get((k[1][0], k[0][0]), 0) + p
        total[k[0][0] + k[1][0]] = total.get(k[0][0] + k[1][0], 0) + p
    assert feedback.get_joint_number_of_entities_pmf([1, 0]) == pytest.approx(joint, rel=1e-12)
    assert feedback.get_total_number_of_entities_pmf() == pytest.approx(total, rel=1e-12)
    assert feedback.get_internal_state_at_node(1) == pytest.approx(node1, rel=1e-12)


def test_reset_keeps_the_other_nodes_joint(feedback):
    before = feedback.internal_state
    feedback.reset_node_with_number_of_entities(0, 3)  # 2 servers, service {1: .5, 2: .3, 3: .2}
    pairs = {(1, 1): 0.25, (1, 2): 0.3, (1, 3): 0.2, (2, 2): 0.09, (2, 3): 0.12, (3, 3): 0.04}
    others = {}
    for k, p in before.items():
        others[k[1]] = others.get(k[1], 0) + p
    expected = {((3, r), o): q * po for r, q in pairs.items() for o, po in others.items()}
    assert feedback.internal_state == pytest.approx(expected, rel=1e-12)


def test_mark_restore_copy_pickle_repeat_bit_for_bit(feedback):
    feedback.mark()
    copies = [copy.copy(feedback), copy.deepcopy(feedback), pickle.loads(pickle.dumps(feedback))]
    feedback.step()
    expected = feedback.internal_state
    feedback.set_routing_probability(0, 1, 0.1)
    feedback.restore()
    feedback.step()
    for net in copies:
        net.step()
    for net in [feedback] + copies:
        assert net.internal_state == expected
        assert net.time == 9


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda n: movra.ExactNetworkMultiserver(0), "Invalid number of nodes. The number of nodes must be strictly positive."),
        (lambda n: movra.ExactNetworkMultiserver(), "Expected 1 parameters"),
        (lambda n: n.step(1), "Expected 0 parameters"),
        (lambda n: n.get_joint_number_of_entities_pmf(), "Expected 1 parameter(s)"),
        (lambda n: n.get_total_number_of_entities_pmf(0), "Expected 0 parameter(s)"),
        (lambda n: n.get_joint_number_of_entities_pmf([0, 2]), "Lookup index out of range"),
        (lambda n: n.get_number_of_entities_at_node_pmf(-1), "Lookup index out of range"),
        (lambda n: n.apply_observation_value_at_node(0, 99), "Empty pmf"),
        (lambda n: n.reset_node_with_number_of_entities(0, -1), "Invalid number of entities. The number of entities must be nonnegative."),
        (lambda n: n.set_service_duration_at_node_pmf(0, {0: 0.5, 1: 0.5}), "Invalid service duration pmf. Service durations must be strictly positive."),
        (lambda n: n.set_routing_probability(0, 1, 1.5), "Invalid probability. Probabilities must be between 0 and 1."),
        (lambda n: setattr(n, "internal_state", {((1, ()), (0, ())): 1.0}), "Invalid value"),  # idle server, one waiting
        (lambda n: setattr(n, "internal_state", {((1, (0,)), (0, ())): 1.0}), "Invalid value"),
        (lambda n: setattr(n, "internal_state", {((0, ()),): 1.0}), "Invalid value"),
        (lambda n: setattr(n, "internal_state", {((1, (1, 1)), (0, ())): 1.0}), "Invalid value"),  # b > z
        (lambda n: setattr(n, "internal_state", {}), "Empty dictionary"),
        (lambda n: setattr(n, "max_states", 0), "Invalid value"),
        (lambda n: movra.ExactNetworkMultiserver(2, max_states="many"), "Invalid value"),
    ],
)
def test_refusals_leave_the_instance_as_it_was(feedback, call, message):
    before = (feedback.internal_state, feedback.time, feedback.max_states)
    with pytest.raises(movra.error) as e:
        call(feedback)
    assert str(e.value) == message
    assert (feedback.internal_state, feedback.time, feedback.max_states) == before


def test_routing_row_above_one_is_refused(feedback):
    feedback.set_routing_probability(1, 1, 0.9)
    with pytest.raises(movra.error, match="Invalid routing probabilities"):
        feedback.step()


@pytest.mark.parametrize(
    "call",
    [
        lambda n: n.step(),
        lambda n: n.reset_node_with_number_of_entities(1, 5),
        # a million fresh durations at once: refused, not built one table after another
        lambda n: (n.set_number_of_servers_at_node(0, 10**6), n.reset_node_with_number_of_entities(0, 10**6)),
        lambda n: setattr(n, "internal_state", {((0, ()), (z, ((1,) if z else ()))): 1.0 for z in range(40)}),
    ],
)
def test_limit_refuses_fast_and_changes_nothing(call):
    net = build(*CASES["split merge"], max_states=30)
    net.step()
    net.step()
    before = (net.internal_state, net.time, net.current_memory_use)
    start = time.perf_counter()
    with pytest.raises(movra.error) as e:
        for _ in range(50):
            call(net)
    assert time.perf_counter() - start < 1.0
    assert "max_states = 30" in str(e.value) and "StandardNetworkMultiserver" in str(e.value)
    assert (net.internal_state, net.time, net.current_memory_use) == before


def test_repr_counts_nodes_and_joint_states(feedback):
    assert repr(movra.ExactNetworkMultiserver(1)) == "<movra.ExactNetworkMultiserver: 1 node, 1 joint state, time 0>"
    assert repr(feedback) == f"<movra.ExactNetworkMultiserver: 2 nodes, {len(feedback.internal_state)} joint states, time 8>"


def _tampered(net, edit):
    fmt, model, extra = net.__reduce__()[2]
    model = copy.deepcopy(model)
    edit(model)
    return fmt, model, extra


def _swap_first_keys(m):
    keys = m["internal_state"][0]
    keys[0], keys[1] = keys[1], keys[0]


@pytest.mark.parametrize(
    "edit",
    [
        _swap_first_keys,
        lambda m: m["internal_state"][1].__setitem__(0, 1.5),
        lambda m: m["internal_state"][0].__setitem__(0, m["internal_state"][0][0][:-1]),
        lambda m: m["internal_state"][0].__setitem__(0, (0, 1) + m["internal_state"][0][0][2:]),  # b > z
        lambda m: m.__setitem__("max_states", 0),
        lambda m: m.__setitem__("max_states", 3),
        lambda m: m["mark"].__setitem__("internal_state", ([], [])),
    ],
)
def test_tampered_pickled_state_is_refused_whole(feedback, edit):
    target = build(*CASES["feedback"])
    before = (target.internal_state, target.time, target.max_states)
    with pytest.raises(movra.error):
        target.__setstate__(_tampered(feedback, edit))
    assert (target.internal_state, target.time, target.max_states) == before


def test_random_corruption_of_the_joint_state_is_refused_or_harmless(feedback):
    rng = random.Random(3)
    keys, probabilities = feedback.__reduce__()[2][1]["internal_state"]
    junk = [-1, 0, 1, 2, 2**31, 0.5, 1.5, math.nan, None, "x", ()]
    for _ in range(200):
        j = rng.randrange(len(keys))
        if rng.random() < 0.5:
            t = rng.randrange(len(keys[j]))
            value = rng.choice(junk)
            edit = lambda m: m["internal_state"][0].__setitem__(j, keys[j][:t] + (value,) + keys[j][t + 1:])
        else:
            value = rng.choice(junk)
            edit = lambda m: m["internal_state"][1].__setitem__(j, value)
        net = build(*CASES["feedback"])
        try:
            net.__setstate__(_tampered(feedback, edit))
        except movra.error:
            continue
        net.step()
        assert math.isclose(sum(net.get_total_number_of_entities_pmf().values()), 1.0)


@pytest.mark.parametrize("busy", [1000, 2000])
def test_many_routed_completions_keep_a_whole_pmf(busy):
    # Past some hundred completions the multinomial coefficients overflowed: the step
    # stored NaN for an empty-looking state, and reading it crashed the interpreter.
    net = build([busy, 1], [{3: 1.0}, {0: 0.6, 1: 0.4}], [{1: 1.0}, {1: 1.0}], [[0, 0.5], [0, 0]],
                max_states=20_000)
    net.internal_state = {((busy, (1,) * busy), (0, ())): 1.0}
    net.step()
    routed = {k: math.comb(busy, k) / 2**busy for k in range(busy + 1)}
    expected = {}
    for k, p in routed.items():
        for a, q in ((0, 0.6), (1, 0.4)):
            expected[3 + k + a] = expected.get(3 + k + a, 0.0) + p * q
    got = net.get_total_number_of_entities_pmf()
    assert ref.total_variation(got, expected) < 2e-9


@pytest.mark.parametrize("query", [
    lambda n: n.get_total_number_of_entities_pmf(),
    lambda n: n.get_number_of_entities_at_node_pmf(0),
])
def test_a_pmf_from_zero_to_the_top_of_the_int_range_is_refused(query):
    # One value more than an Int counts: its length overflowed on the way to the refusal.
    net = build([2], [{0: 1.0}], [{1: 1.0}], [[0]])
    net.internal_state = {((0, ()),): 0.5, ((2**31 - 1, (1, 1)),): 0.5}
    with pytest.raises(movra.error, match="^Out of memory$"):
        query(net)


def test_keys_wider_than_the_limit_allows_are_refused_before_they_are_listed():
    # 5,000 arrival counts at a node of 20,000 busy servers: 5,000 states, within
    # max_states, but 400 MB of keys; listing them took 9 s and 1.2 GB (10**5 servers and
    # 20,000 counts took 71 s and 12.5 GB) before anything was refused.
    busy = 20_000
    net = build([busy], [{a: 1 / 5000 for a in range(5000)}], [{1: 0.5, 2: 0.5}], [[0]],
                max_states=20_000)
    net.internal_state = {((busy, (3,) * busy),): 1.0}
    before = net.internal_state
    with pytest.raises(movra.error, match="^Out of memory$"):
        net.step()
    assert net.internal_state == before
