"""ExactMultiserver against the brute-force chain of reference.py, StandardMultiserver
(one server) and its own contract: observations, resets, the saved slot, copies, bad
input and the state limit."""

import copy
import pickle
from concurrent.futures import ThreadPoolExecutor

import pytest

import movra
import reference as ref

POISSONISH = {0: 0.3, 1: 0.4, 2: 0.2, 3: 0.1}


def cold_copy(m):
    """A copy that learnt nothing from the original (read back from its pickled form)."""
    return pickle.loads(pickle.dumps(m))


def station(servers, arrivals, service, **settings):
    m = movra.ExactMultiserver()
    m.number_of_servers = servers
    m.number_of_arrivals_pmf = arrivals
    m.service_duration_pmf = service
    for name, value in settings.items():
        setattr(m, name, value)
    return m


@pytest.mark.parametrize(
    "servers, arrivals, service, start, settings",
    [
        (1, {0: 0.5, 1: 0.5}, {1: 0.3, 3: 0.7}, 0, {}),
        (2, {0: 0.1, 1: 0.9}, {3: 1.0}, 0, {}),
        (2, {0: 0.5, 1: 0.3, 2: 0.2}, {1: 0.2, 2: 0.3, 3: 0.5}, 4, {}),
        (3, {0: 0.4, 2: 0.6}, {1: 0.5, 2: 0.5}, 5, {}),
        (3, POISSONISH, {2: 0.6, 3: 0.4}, 6, {"capacity": 5}),
        (2, {1: 0.5, 3: 0.5}, {1: 0.3, 2: 0.7}, 3, {"abandonment_probability": 0.25}),
        (2, POISSONISH, {2: 0.5, 3: 0.5}, 2, {"capacity": 4, "abandonment_probability": 0.5}),
        (0, {0: 0.5, 1: 0.5}, {1: 1.0}, 2, {}),
        # Two draws of 2 have probability 1e-600, zero in a double: a multiset reached only
        # by them is laid out and receives nothing, and must be dropped.
        (3, {0: 0.3, 2: 0.7}, {1: 1 - 1e-300, 2: 1e-300}, 0, {}),
    ],
)
def test_matches_brute_force_chain(servers, arrivals, service, start, settings):
    m = station(servers, arrivals, service, **settings)
    m.reset_with_number_of_entities_in_system(start)
    expected = ref.exact_reset(start, servers, service)
    assert ref.total_variation(m.internal_state, expected) < 1e-12
    for _ in range(40):
        m.step()
        expected = ref.exact_step(
            expected, servers, arrivals, service,
            settings.get("capacity"), settings.get("abandonment_probability", 0.0),
        )
        assert ref.total_variation(m.internal_state, expected) < 1e-12
    assert m.number_of_states >= len(expected)


def test_lowered_servers_interrupt_nobody():
    arrivals, service = {0: 0.5, 1: 0.5}, {2: 0.5, 3: 0.5}
    m = station(3, arrivals, service)
    m.internal_state = {(5, (1, 2, 3)): 1.0}
    expected = m.internal_state
    for servers in (1, 1, 1, 2, 2):
        m.number_of_servers = servers
        m.step()
        expected = ref.exact_step(expected, servers, arrivals, service)
        assert ref.total_variation(m.internal_state, expected) < 1e-12
    # Right after lowering to one server, the two busy entities with time left stay busy.
    m.internal_state = {(5, (2, 3, 3)): 1.0}
    m.number_of_servers = 1
    m.step()
    assert all(len(times) == 3 for _, times in m.internal_state)


@pytest.mark.parametrize("service", [{1: 0.3, 2: 0.7}, {1: 0.2, 2: 0.3, 5: 0.5}])
def test_one_server_agrees_with_standard_station(service):
    models = [movra.ExactMultiserver(), movra.StandardMultiserver()]
    for m in models:
        m.number_of_servers = 1
        m.number_of_arrivals_pmf = {0: 0.55, 1: 0.35, 2: 0.1}
        m.service_duration_pmf = service
        m.reset_with_number_of_entities_in_system(2)
    for _ in range(150):
        exact, standard = (m.step() or m.get_number_of_entities_in_system_pmf() for m in models)
        assert exact.keys() == standard.keys()
        assert max(abs(exact[z] - standard[z]) for z in exact) < 1e-12


def test_new_instance_and_restore_without_mark():
    m = movra.ExactMultiserver()
    assert (m.time, m.number_of_servers, m.capacity, m.abandonment_probability) == (0, 0, None, 0.0)
    assert m.internal_state == {(0, ()): 1.0}
    assert m.service_duration_pmf == {1: 1.0} and m.max_states == 2_000_000
    m.number_of_arrivals_pmf = {1: 1.0}
    m.restore()  # the saved slot starts as a new instance's configuration
    m.step()
    assert m.internal_state == {(0, ()): 1.0} and m.time == 1


def test_observations_and_reset():
    m = station(2, {0: 0.5, 1: 0.5}, {1: 0.5, 2: 0.5})
    m.internal_state = {(1, (1,)): 0.2, (1, (2,)): 0.2, (3, (1, 2)): 0.6}
    m.apply_observation_value(1)
    assert m.internal_state == {(1, (1,)): 0.5, (1, (2,)): 0.5}
    before = m.internal_state
    with pytest.raises(movra.error, match="^Empty pmf$"):
        m.apply_observation_range(2, 2)
    assert m.internal_state == before
    m.reset_with_number_of_entities_in_system(3)
    assert m.internal_state == {(3, (1, 1)): 0.25, (3, (1, 2)): 0.5, (3, (2, 2)): 0.25}
    m.reset_with_number_of_entities_in_system(0)
    assert m.internal_state == {(0, ()): 1.0}


def test_mark_restore_copy_and_pickle_continue_alike():
    m = station(3, POISSONISH, {1: 0.25, 2: 0.25, 4: 0.5}, capacity=9, abandonment_probability=0.1)
    m.max_states = 50_000
    for _ in range(5):
        m.step()
    m.mark()
    saved = m.internal_state
    copies = [copy.copy(m), copy.deepcopy(m), pickle.loads(pickle.dumps(m, protocol=pickle.HIGHEST_PROTOCOL))]
    m.number_of_servers, m.capacity = 1, None
    m.step()
    m.restore()
    assert (m.internal_state, m.time, m.number_of_servers, m.capacity) == (saved, 5, 3, 9)
    for other in copies:
        assert other.max_states == 50_000 and other.abandonment_probability == 0.1
    for _ in range(10):
        for x in [m, *copies]:
            x.step()
        for other in copies:
            assert other.internal_state == m.internal_state  # bit for bit


@pytest.mark.parametrize(
    "state, message",
    [
        ({(2, (1,)): 1.0}, "Invalid number of entities in service"),   # b < min(z, c)
        ({(1, (1, 1)): 1.0}, "Invalid number of entities in service"),  # b > z
        ({(2, (0, 1)): 1.0}, "Invalid remaining service time"),
        ({(-1, ()): 1.0}, "Samples must be nonnegative integers"),
        ({(1, 1): 1.0}, "Invalid value"),
        ({1: 1.0}, "Invalid value"),
        ({(0, ()): float("nan")}, "Invalid value"),
        ({(0, ()): 0.0}, "Empty pmf"),
        ({}, "Empty dictionary"),
        ([(0, ())], "Invalid value"),
    ],
)
def test_bad_states_are_refused(state, message):
    m = station(2, {1: 1.0}, {1: 1.0})
    m.internal_state = {(3, (2, 1)): 1.0}
    with pytest.raises(movra.error, match=message):
        m.internal_state = state
    assert m.internal_state == {(3, (1, 2)): 1.0}


def test_bad_arguments_and_parameters():
    m = station(-1, {1: 1.0}, {1: 1.0})
    with pytest.raises(movra.error, match="^Invalid number of servers"):
        m.step()
    m.number_of_servers = 1
    m.service_duration_pmf = {0: 0.5, 1: 0.5}
    for call in (m.step, lambda: m.reset_with_number_of_entities_in_system(1)):
        with pytest.raises(movra.error, match="^Invalid service duration pmf"):
            call()
    with pytest.raises(movra.error, match="^Invalid number of entities"):
        m.reset_with_number_of_entities_in_system(-1)
    assert m.time == 0 and m.internal_state == {(0, ()): 1.0}
    for name, value, message in [
        ("capacity", -1, "Invalid capacity"),
        ("capacity", 1.5, "Invalid capacity"),
        ("abandonment_probability", 1.5, "Invalid probability"),
        ("abandonment_probability", float("nan"), "Invalid probability"),
        ("max_states", 0, "Invalid state limit"),
    ]:
        with pytest.raises(movra.error, match=message):
            setattr(m, name, value)
    with pytest.raises(movra.error, match="^Expected 0 parameters$"):
        movra.ExactMultiserver(1)
    with pytest.raises(TypeError):
        movra.ExactMultiserver(states=1)
    with pytest.raises(movra.error, match="^Expected 1 parameters$"):
        m.apply_observation_value()


def test_state_limit_refuses_and_leaves_instance_unchanged():
    m = station(4, POISSONISH, {1: 0.25, 2: 0.25, 3: 0.25, 4: 0.25})
    m.max_states = 300
    while m.number_of_states * 2 < 300:
        m.step()
    before = (m.internal_state, m.time, m.current_memory_use)
    with pytest.raises(movra.error, match=r"needs (at least )?\d+ states, more than max_states = 300.*StandardMultiserver"):
        for _ in range(50):
            before = (m.internal_state, m.time, m.current_memory_use)
            m.step()
    assert (m.internal_state, m.time, m.current_memory_use) == before
    with pytest.raises(movra.error, match=r"needs 35 states"):
        small = station(4, {0: 1.0}, {1: 0.25, 2: 0.25, 3: 0.25, 4: 0.25}, max_states=34)
        small.reset_with_number_of_entities_in_system(4)
    with pytest.raises(movra.error, match=r"needs 2 states"):
        station(1, {0: 1.0}, {1: 1.0}, max_states=1).internal_state = {(0, ()): 0.5, (1, (1,)): 0.5}


def test_blocking_probability():
    m = station(1, {0: 0.5, 2: 0.5}, {3: 1.0}, capacity=2)
    assert m._blocking_probability() == 0.0  # empty: both arrivals fit
    m.internal_state = {(2, (3,)): 1.0}
    assert m._blocking_probability() == 1.0
    m.internal_state = {(1, (1,)): 1.0}  # completes first: room for both again
    assert m._blocking_probability() == 0.0
    m.capacity = None
    m.internal_state = {(2, (3,)): 1.0}
    assert m._blocking_probability() == 0.0


def test_changes_between_steps_follow_brute_force():
    # Service probabilities, then its values, then the servers raised: the steps reuse
    # what earlier steps learned only where it still holds.
    arrivals = {0: 0.4, 1: 0.4, 2: 0.2}
    schedule = [(2, {1: 0.5, 3: 0.5})] * 4 + [(2, {1: 0.9, 3: 0.1})] * 4 + \
               [(2, {2: 0.7, 4: 0.3})] * 4 + [(4, {2: 0.7, 4: 0.3})] * 4
    m = station(2, arrivals, {1: 0.5, 3: 0.5})
    m.internal_state = expected = {(4, (1, 3)): 0.5, (5, (2, 2)): 0.5}
    for servers, service in schedule:
        m.number_of_servers, m.service_duration_pmf = servers, service
        m.step()
        expected = ref.exact_step(expected, servers, arrivals, service)
        assert ref.total_variation(m.internal_state, expected) < 1e-12
    m.mark()
    m.step()
    m.restore()
    m.step()
    expected = ref.exact_step(expected, 4, arrivals, {2: 0.7, 4: 0.3})
    assert ref.total_variation(m.internal_state, expected) < 1e-12


def test_step_lets_other_threads_run_and_refuses_their_calls():
    import threading

    def busy_station():
        m = station(6, {a: 0.25 for a in range(4)}, {1: 0.25, 2: 0.25, 4: 0.25, 6: 0.25})
        m.reset_with_number_of_entities_in_system(20)
        return m

    m, twin = busy_station(), busy_station()
    stop, steps, refused = threading.Event(), [], []

    def stepper():
        while not stop.is_set() and len(steps) < 200:
            m.step()
            steps.append(1)

    worker = threading.Thread(target=stepper)
    worker.start()
    try:
        while worker.is_alive() and len(refused) < 5:
            try:
                m.time  # noqa: B018 - the read is the test
            except RuntimeError as e:
                refused.append(str(e))
    finally:
        stop.set()
        worker.join()
    assert refused and all("in use by another call" in r for r in refused)
    for _ in steps:
        twin.step()
    assert twin.internal_state == m.internal_state


@pytest.mark.parametrize("state, impatience", [
    ({(0, ()): 0.5, (10**7, (1, 2)): 0.5}, 0.0),  # one step's numbers in system far apart
    ({(10**7, (1, 2)): 1.0}, 0.5),                # all of a huge queue may give up
])
def test_steps_needing_absurd_scratch_are_refused(state, impatience):
    m = station(2, {0: 1.0}, {1: 1.0}, abandonment_probability=impatience, max_states=1000)
    m.internal_state = state
    with pytest.raises(movra.error, match="^Out of memory$"):
        m.step()
    assert m.internal_state == state and m.time == 0


@pytest.mark.parametrize(
    "arrivals, settings",
    [
        ({0: 0.5, 1: 0.3, 2: 0.2}, {}),
        ({0: 0.5, 1: 0.3, 2: 0.2}, {"capacity": 6}),
        ({0: 0.5, 1: 0.3, 2: 0.2}, {"abandonment_probability": 0.2}),
        ({0: 0.6, 3: 0.4}, {}),  # a gap in the arrival counts
        ({0: 0.5, 1: 0.2, 2: 0.1, 3: 0.1, 4: 0.05, 6: 0.05}, {"abandonment_probability": 0.1}),
    ],
)
def test_warm_steps_equal_cold_steps_bit_for_bit(arrivals, settings):
    # An unpickled instance starts without what the original learnt, so its step is taken
    # afresh; a copy starts with it. All must agree through the growth of the support and
    # after it.
    m = station(3, arrivals, {1: 0.5, 4: 0.5}, **settings)
    for _ in range(60):
        others = [cold_copy(m), copy.copy(m)]
        m.step()
        for other in others:
            other.step()
            assert other.internal_state == m.internal_state


@pytest.mark.parametrize(
    "change",
    [
        lambda m: setattr(m, "number_of_arrivals_pmf", {0: 0.4, 1: 0.3, 2: 0.2, 3: 0.1}),
        lambda m: setattr(m, "service_duration_pmf", {1: 0.7, 4: 0.3}),
        lambda m: setattr(m, "number_of_servers", 2),
        lambda m: setattr(m, "capacity", 5),
        lambda m: setattr(m, "abandonment_probability", 0.3),
        lambda m: m.apply_observation_range(1, 4),
        lambda m: [m.mark(), m.step(), m.step(), m.restore()],
    ],
)
def test_warm_step_follows_a_change(change):
    m = station(3, {0: 0.5, 1: 0.3, 2: 0.2}, {1: 0.5, 4: 0.5})
    for _ in range(40):
        m.step()  # warm: the support no longer moves
    change(m)
    others = [cold_copy(m), copy.copy(m)]
    for _ in range(3):
        m.step()
        for other in others:
            other.step()
            assert m.internal_state == other.internal_state


def test_warm_copies_learn_apart_in_parallel():
    m = station(3, {0: 0.5, 1: 0.3, 2: 0.2}, {1: 0.5, 4: 0.5})
    for _ in range(40):
        m.step()
    w = copy.copy(m)
    # Apart in z, each meets multisets the other never numbered.
    m.apply_observation_range(6, 100)
    w.apply_observation_range(0, 2)
    expected = [cold_copy(m), cold_copy(w)]
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(lambda x: [x.step() for _ in range(30)], [m, w]))
    for x in expected:
        for _ in range(30):
            x.step()
    assert [m.internal_state, w.internal_state] == [x.internal_state for x in expected]


@pytest.mark.parametrize("settings", [{}, {"capacity": 4}])
def test_steps_from_a_restored_state_replay_bit_for_bit(settings):
    # A loop that restores a state whose support still grows steps from one input again
    # and again: the second step keeps a plan, the later ones replay it.
    m = station(3, {0: 0.5, 1: 0.3, 2: 0.2}, {1: 0.5, 4: 0.5}, **settings)
    for _ in range(3):
        m.step()
    m.mark()
    expected = copy.copy(m)
    expected.step()
    for _ in range(4):
        m.restore()
        m.step()
        assert m.internal_state == expected.internal_state


BIG = 2**31 - 1


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda m: (m.step(), m.internal_state)[1], {(3, (1,)): 1.0}),
        (movra.blocking_probability, pytest.approx((BIG - 3) / BIG, rel=1e-15)),
        (movra.waiting_time_pmf, movra.error),
    ],
)
def test_a_batch_at_the_top_of_the_int_range(call, expected):
    # A room of 3 against 2**31 - 1 arrivals: loops over the counts up to the top of the
    # Int range once overflowed and read far outside the arrivals' record, and the wait
    # filled 16 GB of position weights before refusing the chain they would need.
    m = station(1, {BIG: 1.0}, {1: 1.0}, capacity=3)
    if expected is movra.error:
        with pytest.raises(movra.error, match="^Out of memory$"):
            call(m)
    else:
        assert call(m) == expected


@pytest.mark.parametrize("position, expected", [(None, {599_999: 1.0}), (0, {300_000: 1.0})])
def test_wait_behind_a_long_service(position, expected):
    # The countdown meets a new multiset every step; scanning all of them each step made
    # the wait cost the square of its length (3 s for 80 000 steps, a 10**6 one hung).
    # Linear, this takes a fraction of a second; quadratic, about a minute.
    m = station(1, {1: 1.0}, {300_000: 1.0})
    m.internal_state = {(2, (300_000,)): 1.0}
    assert movra.waiting_time_pmf(m, position=position) == expected


@pytest.mark.parametrize("position", [None, 0])
def test_wait_behind_many_busy_servers_keeps_to_the_key_budget(position):
    # Each step of the countdown makes a key as long as the busy servers: refused once the
    # keys outgrow max_states' budget, where they once grew to n**2 / 2 of them.
    m = station(1, {1: 1.0}, {1: 1.0}, max_states=20_000)
    m.internal_state = {(200_001, tuple(range(1, 200_001))): 1.0}
    with pytest.raises(movra.error, match="^Out of memory$"):
        movra.waiting_time_pmf(m, position=position)


@pytest.mark.parametrize("limit", [2**60, 2**63 - 1])
def test_a_limit_near_the_top_of_int64_limits_nothing(limit):
    # The budgets derived from max_states overflowed: every wait was refused as out of
    # memory, and the step's cache was judged outgrown at every step.
    m = station(1, {0: 0.5, 1: 0.5}, {1: 0.5, 2: 0.5}, max_states=limit)
    m.step()
    m.step()
    assert movra.waiting_time_pmf(m) == {0: 0.6875, 1: 0.25, 2: 0.0625}


@pytest.mark.parametrize("other", [
    (2, {0: 0.5, 1: 0.5}, {1: 0.9, 6: 0.1}),  # the same servers, another service
    (3, {0: 0.2, 2: 0.8}, {3: 1.0}),          # the same service, more servers
])
def test_a_new_instance_steps_alike_after_others_came_and_went(other):
    # What one instance learnt is not carried into the next one made on the thread.
    def states(config, steps=40):
        m = station(*config)
        out = []
        for _ in range(steps):
            m.step()
            out.append(m.internal_state)
        return out

    mine = (2, {0: 0.5, 1: 0.5}, {3: 1.0})
    first = states(mine)
    states(other, 60)
    assert states(mine) == first
