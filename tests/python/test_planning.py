"""Waiting times, utilisation, throughput, load and steady state against a per-entity
simulation of the first-come-first-served queue and against hand enumeration."""

from collections import deque

import numpy as np
import pytest

import movra
import reference


def station(c, arrivals, service, state=None):
    m = movra.StandardMultiserver()
    m.number_of_servers = c
    m.number_of_arrivals_pmf = arrivals
    m.service_duration_pmf = service
    if state is None:
        m.reset_with_number_of_entities_in_system(0)
    else:
        m.internal_state = state
    return m


def simulated_waits(c, arrivals, service, steps, seed, warm=2000, capacity=None,
                    abandonment=0.0):
    """Waits of single entities served in a c-server FCFS queue: each step the servers'
    remaining times drop by one, each entity in line since an earlier step leaves with
    probability `abandonment`, the step's batch joins the line (as far as the room holds
    it), free servers take its head."""
    rng = np.random.default_rng(seed)
    a_values, a_probs = zip(*sorted(arrivals.items()))
    s_values, s_probs = zip(*sorted(service.items()))
    batches = rng.choice(a_values, size=steps, p=a_probs)
    durations = iter(rng.choice(s_values, size=steps * max(a_values) + 1, p=s_probs).tolist())
    remaining, line, waits = [0] * c, deque(), []
    for t, batch in enumerate(batches):
        remaining = [max(r - 1, 0) for r in remaining]
        if abandonment:
            line = deque(a for a in line if rng.random() >= abandonment)
        room = batch if capacity is None else max(
            0, min(batch, capacity - len(line) - sum(r > 0 for r in remaining)))
        line.extend([t] * room)
        for i in range(c):
            if remaining[i] == 0 and line:
                arrived = line.popleft()
                if arrived >= warm:
                    waits.append(t - arrived)
                remaining[i] = next(durations)
    return np.bincount(waits) / len(waits)


def dense(pmf, size):
    out = np.zeros(size)
    for v, p in pmf.items():
        out[v] = p
    return out


@pytest.mark.parametrize("arrivals, service", [
    ({0: 0.6, 1: 0.3, 2: 0.1}, {1: 0.5, 2: 0.5}),
    ({0: 0.7, 1: 0.2, 2: 0.1}, {1: 0.5, 3: 0.5}),
])
def test_stationary_wait_of_one_server_matches_simulation(arrivals, service):
    stationary = movra.steady_state(station(1, arrivals, service))
    assert stationary.converged
    wait = movra.waiting_time_pmf(stationary.model)
    seen = simulated_waits(1, arrivals, service, 400_000, seed=7)
    size = max(len(seen), max(wait) + 1)
    assert np.abs(np.cumsum(dense(wait, size)) - np.cumsum(np.pad(seen, (0, size - len(seen))))
                  ).max() < 0.01
    assert movra.service_level(stationary.model, 2) == pytest.approx(
        sum(p for w, p in wait.items() if w <= 2))


def test_wait_of_a_random_arrival_by_enumeration():
    # One server busy for 2 more steps, nobody waiting; batches of 0 or 2. A random
    # arrival is first of its batch (starts when the server frees: wait 1) or second
    # (waits for one more service of 1 or 2 steps).
    m = station(1, {0: 0.5, 2: 0.5}, {1: 0.5, 2: 0.5}, {(1, 2): 1.0})
    assert movra.waiting_time_pmf(m) == pytest.approx({1: 0.5, 2: 0.25, 3: 0.25})
    assert movra.sojourn_time_pmf(m) == pytest.approx(
        {2: 0.25, 3: 0.25 + 0.125, 4: 0.125 + 0.125, 5: 0.125})
    with pytest.raises(ValueError, match="waiting ahead"):
        movra.waiting_time_pmf(m, position=0)


@pytest.mark.parametrize("position, expected", [
    (0, {1: 0.5, 2: 0.5}),                   # starts when the entity in service leaves
    (1, {2: 0.25, 3: 0.5, 4: 0.25}),         # ... and one more service later
])
def test_wait_of_an_entity_in_line(position, expected):
    # Three in system, one server: the one in service has 1 or 2 steps left.
    m = station(1, {0: 1.0}, {1: 0.5, 2: 0.5}, {(3, 1): 0.5, (3, 2): 0.5})
    assert movra.waiting_time_pmf(m, position=position) == pytest.approx(expected)
    assert m.internal_state == {(3, 1): 0.5, (3, 2): 0.5} and m.time == 0


@pytest.mark.parametrize("make, error", [
    (lambda: station(0, {1: 1.0}, {1: 1.0}), ValueError),          # no servers
    (lambda: station(1, {0: 1.0}, {1: 1.0}), ValueError),          # nobody arrives
    (lambda: movra.StandardNetworkMultiserver(1), TypeError),
])
def test_waiting_time_refusals(make, error):
    with pytest.raises(error):
        movra.waiting_time_pmf(make())


@pytest.mark.parametrize("c", [1, 2])
def test_service_level_within_an_unbounded_or_nan_time(c):
    m = station(c, {0: 0.5, 1: 0.5}, {1: 0.5, 2: 0.5}, {(3, 1): 0.5, (3, 2): 0.5})
    assert movra.service_level(m, float("inf")) == movra.service_level(m, 10**9) == pytest.approx(1.0)
    with pytest.raises(ValueError, match="nan"):
        movra.service_level(m, float("nan"))


def test_utilisation_and_throughput_of_a_state():
    m = station(2, {0: 1.0}, {1: 0.5, 2: 0.5}, {(1, 1): 0.5, (3, 1): 0.25, (3, 2): 0.25})
    assert movra.utilisation(m) == pytest.approx((0.5 * 1 + 0.5 * 2) / 2)
    # z = 1: its one entity leaves; z = 3: each of two leaves with probability 1/2.
    assert movra.throughput_pmf(m) == pytest.approx({0: 0.125, 1: 0.75, 2: 0.125})


def test_stationary_utilisation_and_throughput_are_the_offered_load():
    stationary = movra.steady_state(station(3, {0: 0.3, 1: 0.4, 2: 0.3}, {1: 0.4, 3: 0.6}))
    m = stationary.model
    assert movra.offered_load(m) == pytest.approx(1.0 * 2.2 / 3)
    assert movra.utilisation(m) == pytest.approx(movra.offered_load(m), abs=1e-6)
    mean_out = sum(d * p for d, p in movra.throughput_pmf(m).items())
    assert mean_out == pytest.approx(1.0, abs=1e-6)


@pytest.mark.parametrize("kind", ["StandardNetworkMultiserver", "ExactNetworkMultiserver"])
def test_network_figures_per_node(kind):
    if not hasattr(movra, kind):
        pytest.skip(f"no {kind} in this build")
    net = getattr(movra, kind)(2)
    net.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.6, 1: 0.4})
    net.set_routing_probability(0, 1, 0.5)
    net.set_routing_probability(1, 1, 0.5)  # re-entry doubles node 1's traffic
    for k, c in enumerate((1, 2)):
        net.set_number_of_servers_at_node(k, c)
        net.set_service_duration_at_node_pmf(k, {1: 0.5, 2: 0.5})
        net.reset_node_with_number_of_entities(k, 0)
    assert movra.offered_load(net) == pytest.approx([0.4 * 1.5, 0.4 * 1.5 / 2])
    stationary = movra.steady_state(net).model
    busy = movra.utilisation(stationary)
    assert busy == pytest.approx(movra.offered_load(net), abs=1e-6)
    assert movra.utilisation(stationary, 1) == busy[1]
    assert len(movra.throughput_pmf(stationary)) == 2
    with pytest.raises(IndexError):
        movra.utilisation(stationary, node=2)


def test_steady_state_leaves_the_model_and_matches_a_long_run():
    m = station(2, {0: 0.4, 1: 0.3, 2: 0.3}, {1: 0.5, 2: 0.3, 3: 0.2})
    before = m.internal_state
    result = movra.steady_state(m)
    assert m.internal_state == before and m.time == 0
    assert result.converged and result.change < 1e-10 and result.model.time == result.steps
    for _ in range(3000):
        m.step()
    far = m.get_number_of_entities_in_system_pmf()
    assert result.model.get_number_of_entities_in_system_pmf() == pytest.approx(far, abs=1e-9)


@pytest.mark.parametrize("c", [1, 0])
def test_steady_state_refuses_a_load_of_one(c):
    m = station(c, {0: 0.5, 2: 0.5}, {1: 1.0})
    with pytest.raises(ValueError, match="offered load is (1|inf)"):
        movra.steady_state(m)


exact_station = pytest.mark.skipif(not hasattr(movra, "ExactMultiserver"),
                                   reason="no exact station in this build")


@exact_station
@pytest.mark.parametrize("c, arrivals, service, capacity, abandonment", [
    (2, {0: 0.3, 1: 0.4, 2: 0.3}, {1: 0.5, 2: 0.3, 3: 0.2}, None, 0.0),
    (3, {0: 0.5, 1: 0.3, 3: 0.2}, {1: 0.5, 4: 0.5}, None, 0.0),
    (2, {0: 0.2, 1: 0.3, 2: 0.5}, {1: 0.5, 3: 0.5}, 5, 0.0),
    (2, {0: 0.2, 1: 0.3, 2: 0.5}, {1: 0.5, 3: 0.5}, None, 0.15),  # overloaded, impatient
])
def test_exact_station_wait_matches_simulation(c, arrivals, service, capacity, abandonment):
    m = movra.ExactMultiserver()
    m.number_of_servers, m.capacity, m.abandonment_probability = c, capacity, abandonment
    m.number_of_arrivals_pmf, m.service_duration_pmf = arrivals, service
    m.reset_with_number_of_entities_in_system(0)
    for _ in range(400):  # a waiting room makes any load stationary
        m.step()
    wait = movra.waiting_time_pmf(m)
    seen = simulated_waits(c, arrivals, service, 300_000, seed=11, capacity=capacity,
                           abandonment=abandonment)
    size = max(len(seen), max(wait) + 1)
    assert np.abs(np.cumsum(dense(wait, size)) - np.cumsum(np.pad(seen, (0, size - len(seen))))
                  ).max() < 0.01
    assert 0.0 <= movra.utilisation(m) <= 1.0
    assert (movra.blocking_probability(m) > 0.0) == (capacity is not None)


@exact_station
@pytest.mark.parametrize("c, state, capacity, position, abandonment", [
    (2, {(3, (1, 2)): 0.5, (5, (2, 3)): 0.3, (1, (2,)): 0.2}, None, None, 0.0),
    (2, {(3, (1, 2)): 0.5, (5, (2, 3)): 0.3, (1, (2,)): 0.2}, 5, None, 0.0),
    (2, {(4, (1, 3)): 0.6, (6, (2, 2)): 0.4}, None, 1, 0.0),
    (1, {(4, (1, 1, 3)): 0.7, (5, (2, 3)): 0.3}, None, None, 0.0),  # servers taken away
    (2, {(3, (1, 2)): 0.5, (5, (2, 3)): 0.3, (1, (2,)): 0.2}, 5, None, 0.3),
    (2, {(4, (1, 3)): 0.6, (6, (2, 2)): 0.4}, None, 1, 0.2),
])
def test_exact_station_wait_follows_single_entities(c, state, capacity, position, abandonment):
    arrivals, service = {0: 0.3, 1: 0.3, 3: 0.4}, {1: 0.4, 2: 0.2, 4: 0.4}
    m = movra.ExactMultiserver()
    m.number_of_servers, m.capacity, m.abandonment_probability = c, capacity, abandonment
    m.number_of_arrivals_pmf, m.service_duration_pmf = arrivals, service
    m.internal_state = state
    expected = reference.fcfs_wait(state, c, service, arrivals, position, capacity, abandonment)
    size = max(expected) + 1
    got = movra.waiting_time_pmf(m, position=position)
    assert np.abs(dense(got, max(size, max(got) + 1))[:size] - dense(expected, size)).max() < 1e-8


@pytest.mark.parametrize("position", [None, 0, 2])
def test_one_server_wait_follows_single_entities(position):
    arrivals, service = {0: 0.5, 1: 0.2, 2: 0.3}, {1: 0.5, 3: 0.5}
    state = {(0, 1): 0.2, (2, 1): 0.3, (4, 3): 0.3, (6, 2): 0.2}
    got = movra.waiting_time_pmf(station(1, arrivals, service, state), position=position)
    expected = reference.fcfs_wait({(z, (ell,) if z else ()): p for (z, ell), p in state.items()},
                                   1, service, arrivals, position)
    size = max(max(expected), max(got)) + 1
    assert np.abs(dense(got, size) - dense(expected, size)).max() < 1e-8


@pytest.mark.parametrize("call, error", [
    (lambda m: movra._movra._waiting_time(m, "x"), TypeError),
    (lambda m: movra._movra._waiting_time(m, True), TypeError),
    (lambda m: movra._movra._waiting_time(m, -1), ValueError),
    (lambda m: movra._movra._waiting_time(m, 2**70), ValueError),
    (lambda m: movra._movra._waiting_time(m, None, float("nan")), ValueError),
    (lambda m: movra._movra._waiting_time(m), TypeError),
    (lambda m: movra._movra._waiting_time(object(), None), TypeError),
    (lambda m: movra._movra._service_figures([m]), TypeError),
    (lambda m: movra._movra._step_change(None), TypeError),
    (lambda m: movra._movra._waiting_time(m, 10**6), ValueError),
])
def test_private_entries_refuse_cleanly(call, error):
    m = station(1, {0: 0.5, 2: 0.5}, {1: 0.5, 2: 0.5}, {(1, 2): 0.5, (3, 1): 0.5})
    state = m.internal_state
    with pytest.raises(error):
        call(m)
    assert m.internal_state == state and m.time == 0


@exact_station
@pytest.mark.parametrize("network", [False, True])
def test_throughput_with_more_busy_servers_than_servers(network):
    state = {(3, (1, 1, 2)): 0.5, (3, (1, 2, 2)): 0.5}
    if network:
        m = movra.ExactNetworkMultiserver(1)
        m.set_number_of_servers_at_node(0, 3)
        m.internal_state = {(key,): p for key, p in state.items()}
        m.set_number_of_servers_at_node(0, 1)  # two servers taken away while busy
        assert movra.throughput_pmf(m, 0) == pytest.approx({1: 0.5, 2: 0.5})
    else:
        m = movra.ExactMultiserver()
        m.number_of_servers = 1  # two servers taken away while busy
        m.internal_state = state
        assert movra.throughput_pmf(m) == pytest.approx({1: 0.5, 2: 0.5})


@exact_station
@pytest.mark.parametrize("long", [2, 10**6])
def test_sojourn_behind_a_long_service(long):
    # As the enumeration above with a service of 1 or `long` steps: a dense convolution
    # over a million steps took hours, over 2**31 more memory than the machine had.
    m = movra.ExactMultiserver()
    m.number_of_servers = 1
    m.number_of_arrivals_pmf = {0: 0.5, 2: 0.5}
    m.service_duration_pmf = {1: 0.5, long: 0.5}
    m.internal_state = {(1, (2,)): 1.0}
    expected = {}
    for w, p in {1: 0.5, 2: 0.25, 1 + long: 0.25}.items():
        for s in (1, long):
            expected[w + s] = expected.get(w + s, 0.0) + p / 2
    assert movra.sojourn_time_pmf(m) == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("network", [movra.StandardNetworkMultiserver, movra.ExactNetworkMultiserver])
def test_throughput_of_a_node_with_two_billion_servers(network):
    # The completions' table was sized by the servers: 16 GB at 2**31 - 1 of them.
    m = network(1)
    m.set_number_of_servers_at_node(0, 2**31 - 1)
    m.reset_node_with_number_of_entities(0, 2)
    assert movra.throughput_pmf(m, 0) == pytest.approx({2: 1.0})


def test_several_servers_refuse_a_batch_past_the_work_budget_before_weighing_it():
    # A batch near the top of the Int range made 16 GB of position weights before the work
    # budget refused the wait they fed.
    m = station(2, {2**31 - 2: 1.0}, {1: 1.0})
    with pytest.raises(ValueError, match="too long to compute"):
        movra.waiting_time_pmf(m)
