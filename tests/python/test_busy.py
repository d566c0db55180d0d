"""One call into an instance at a time: a second call that arrives while another is still
running, from Python code the call runs (a conversion's __index__, a finaliser or weakref
callback the collector runs there) or from another thread, is refused at once with
RuntimeError, and the running call and the instance are unharmed."""

import copy
import gc
import os
import pickle
import random
import sys
import threading
import time
import weakref

import pytest

import movra
from fields import Exact, Network, Station, fields
from reference import poisson

BUSY = "in use by another call"
SANITIZED = bool(os.environ.get("MOVRA_SANITIZED"))


def big_station():
    m = Station()
    m.number_of_servers = 2
    m.service_duration_pmf = {1: 0.5, 2: 0.5}
    m.internal_state = {(z, 1 + z % 2): 1.0 for z in range(3000)}
    return m


def big_network():
    n = Network(2)
    n.set_number_of_servers_at_node(0, 2)
    n.internal_state = [{(z, 1): 1.0 for z in range(1500)}, {(z, 1): 1.0 for z in range(1, 1501)}]
    return n


def big_exact():
    m = Exact()
    m.number_of_servers = 3
    m.number_of_arrivals_pmf = {0: 0.3, 1: 0.4, 2: 0.3}
    m.service_duration_pmf = {1: 0.5, 4: 0.5}
    for _ in range(30):
        m.step()
    return m


REENTRANT = {
    "station": (big_station, {
        "getter": lambda m: m.internal_state,
        "member": lambda m: m.time,
        "setter": lambda m: setattr(m, "number_of_arrivals_pmf", {1: 1.0}),
        "member setter": lambda m: setattr(m, "number_of_servers", 7),
        "step": lambda m: m.step(),
        "reset": lambda m: m.reset_with_number_of_entities_in_system(1),
        "copy": copy.copy,
    }),
    "network": (big_network, {
        "getter": lambda n: n.internal_state,
        "method getter": lambda n: n.get_routing_probability(0, 1),
        "setter": lambda n: setattr(n, "internal_state", [{(0, 1): 1.0}]),
        "method setter": lambda n: n.set_number_of_servers_at_node(0, 3),
        "step": lambda n: n.step(),
        "reset": lambda n: n.reset_node_with_number_of_entities(0, 1),
        "copy": copy.copy,
    }),
    "exact station": (big_exact, {"step": lambda m: m.step(), "copy": copy.copy,
                                  "deepcopy": copy.deepcopy}),
}
CASES = [(kind, op) for kind, (_, ops) in REENTRANT.items() for op in ops]
CASE_IDS = [f"{k}-{o}" for k, o in CASES]


class Cycle:
    """Garbage in a reference cycle: its finaliser runs the action when it is collected."""

    def __init__(self, action):
        self.action, self.me = action, self

    def __del__(self):
        self.action()


class Target:
    def __init__(self):
        self.me = self


def arm_finaliser(action, keep):
    Cycle(action)


def arm_weakref(action, keep):
    keep.append(weakref.ref(Target(), lambda _: action()))


def now(action, keep):
    action()


def collected(arm):
    """Runs the action from the collector, made to run right here by gc.collect()."""
    def run(action, keep):
        arm(action, keep)
        gc.collect()
    return run


# How Python code gets to run while a call holds the instance: called by the hook itself,
# or by the collector from a finaliser or a weakref callback.
MODES = {"direct": now, "finaliser": collected(arm_finaliser), "weakref": collected(arm_weakref)}


class IndexHook:
    def __init__(self, hook, value):
        self.hook, self.value = hook, value

    def __index__(self):
        self.hook()
        return self.value


class IntHook(int):
    """An int whose Python-level methods call back; the module reads its value directly."""
    hook = staticmethod(lambda: None)

    def __index__(self):
        self.hook()
        return int(self)

    def __hash__(self):
        self.hook()
        return int.__hash__(self)

    def __eq__(self, other):
        self.hook()
        return int.__eq__(self, other)


class FloatHook(float):
    hook = staticmethod(lambda: None)

    def __float__(self):
        self.hook()
        return float.__float__(self)


def hooked(cls, hook, *args):
    return type(cls.__name__, (cls,), {"hook": staticmethod(hook)})(*args)


class DictHook(dict):
    def items(self):
        self.hook()
        return super().items()

    def keys(self):
        self.hook()
        return super().keys()

    def __iter__(self):
        self.hook()
        return super().__iter__()

    def __getitem__(self, key):
        self.hook()
        return super().__getitem__(key)

    def __len__(self):
        self.hook()
        return super().__len__()


class ListHook(list):
    def __iter__(self):
        self.hook()
        return super().__iter__()

    def __getitem__(self, i):
        self.hook()
        return super().__getitem__(i)


class FickleList(list):
    """Claims another length at every asking, calling back each time."""
    calls = 0

    def __len__(self):
        self.hook()
        FickleList.calls += 1
        return super().__len__() + FickleList.calls % 3 - 1


def setter(name):
    return lambda m, value: setattr(m, name, value)


# Calls into an instance whose arguments run Python code (hook) while they are converted:
# (make the argument, make the call). Some are accepted or refused without ever running
# that code: what matters is that code run inside the call meets a refusal, and that the
# call ends as it would have without it.
HOOKED_CALLS = {
    "station": (big_station, {
        "__index__ of servers": (lambda h: IndexHook(h, 3), setter("number_of_servers")),
        "__index__ of time": (lambda h: IndexHook(h, 9), setter("time")),
        "__index__ of a PMF key": (lambda h: {hooked(IntHook, h, 2): 1.0}, setter("service_duration_pmf")),
        "__hash__, __eq__ of keys": (lambda h: {hooked(IntHook, h, 0): 0.5, hooked(IntHook, h, 1): 0.5},
                                     setter("number_of_arrivals_pmf")),
        "__float__ of a weight": (lambda h: {1: hooked(FloatHook, h, 0.5), 2: 0.5},
                                  setter("service_duration_pmf")),
        "__index__ of a method argument": (lambda h: hooked(IntHook, h, 2),
                                           lambda m, v: m.reset_with_number_of_entities_in_system(v)),
        "dict subclass": (lambda h: hooked(DictHook, h, {(1, 1): 1.0}), setter("internal_state")),
    }),
    "network": (big_network, {
        "__index__ of time": (lambda h: IndexHook(h, 9), setter("time")),
        "__index__ of a node": (lambda h: hooked(IntHook, h, 1),
                                lambda n, v: n.set_number_of_servers_at_node(v, 2)),
        "__float__ of a routing": (lambda h: hooked(FloatHook, h, 0.5),
                                   lambda n, v: n.set_routing_probability(0, 1, v)),
        "list subclass": (lambda h: hooked(ListHook, h, [{(0, 1): 1.0}, {(1, 1): 1.0}]),
                          setter("internal_state")),
        "fickle __len__": (lambda h: hooked(FickleList, h, [{(0, 1): 1.0}, {(1, 1): 1.0}]),
                           setter("internal_state")),
        "dict subclass in a list": (lambda h: [hooked(DictHook, h, {(0, 1): 1.0}), {(1, 1): 1.0}],
                                    setter("internal_state")),
    }),
    "exact station": (big_exact, {"__index__ of time": (lambda h: IndexHook(h, 9), setter("time"))}),
}
HOOK_CASES = [(kind, name) for kind, (_, calls) in HOOKED_CALLS.items() for name in calls]


def attempt(call, *args):
    """How a call ended: None, or the type and message of what it raised."""
    try:
        call(*args)
    except (movra.error, RuntimeError) as e:
        return type(e), str(e)
    return None


def check_refused(m, outer, inner, mode):
    """Runs outer on m with a hook that reaches inner(m) in the given mode while outer runs;
    returns what the inner calls met. Each must be refused, or have completed because it
    ran before the outer call took the instance: m must then end as a copy does that
    makes the completed calls first, then the outer call with a silent hook."""
    make_argument, call = outer
    twin, seen, keep, armed = copy.copy(m), [], [], [False]

    def action():
        try:
            inner(m)
            seen.append(None)
        except Exception as e:  # noqa: BLE001 - whatever it is, it is checked below
            seen.append(e)

    def hook():
        if armed[0]:
            MODES[mode](action, keep)

    argument = make_argument(hook)
    armed[0] = True
    try:
        ended = attempt(call, m, argument)
    finally:
        armed[0] = False
    assert all(e is None or isinstance(e, RuntimeError) and BUSY in str(e) for e in seen), seen
    for _ in range(seen.count(None)):
        inner(twin)
    assert ended == attempt(call, twin, make_argument(lambda: None))
    assert fields(m) == fields(twin)  # the refused calls changed nothing
    m.step()
    return seen


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("kind, op", CASES, ids=CASE_IDS)
def test_call_from_a_conversion_inside_a_call_is_refused(kind, op, mode):
    make, ops = REENTRANT[kind]
    if not check_refused(make(), HOOKED_CALLS[kind][1]["__index__ of time"], ops[op], mode):
        pytest.skip("setting time runs no Python code inside the call")


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("kind, name", HOOK_CASES, ids=[f"{k}-{n}" for k, n in HOOK_CASES])
def test_conversions_that_call_python_code(kind, name, mode):
    make, calls = HOOKED_CALLS[kind]
    check_refused(make(), calls[name], lambda m: m.step(), mode)


OUTER = {"getter": lambda m: m.internal_state, "pickle": lambda m: pickle.dumps(m, 2)}


# Before 3.12 the collector could start inside any allocation, so a finaliser could run
# while the module builds its result; since then it runs only between bytecodes.
@pytest.mark.skipif(sys.version_info >= (3, 12),
                    reason="the collector no longer runs inside a call into an extension")
@pytest.mark.parametrize("arm", [arm_finaliser, arm_weakref], ids=["finaliser", "weakref"])
@pytest.mark.parametrize("outer", OUTER.values(), ids=OUTER.keys())
@pytest.mark.parametrize("kind, op", CASES, ids=CASE_IDS)
def test_call_from_the_collector_inside_an_allocation_is_refused(kind, op, outer, arm):
    make, ops = REENTRANT[kind]
    m = make()
    expected = outer(m)
    before = fields(m)
    seen = []

    def action():
        try:
            ops[op](m)
            seen.append(None)
        except Exception as e:  # noqa: BLE001 - whatever it is, it is checked below
            seen.append(e)

    keep = []
    gc.collect()
    threshold = gc.get_threshold()
    gc.set_threshold(100)
    try:
        arm(action, keep)
        result = outer(m)
    finally:
        gc.set_threshold(*threshold)
        gc.collect()
    assert len(seen) == 1 and isinstance(seen[0], RuntimeError), seen
    assert BUSY in str(seen[0])
    assert result == expected
    assert fields(m) == before
    m.step()


def w2_station():
    m = Station()
    m.number_of_servers = 16
    m.number_of_arrivals_pmf = poisson(5.0)
    m.service_duration_pmf = {v: 0.2 for v in range(1, 6)}
    m.reset_with_number_of_entities_in_system(0)
    for _ in range(30):
        m.step()
    return m


def test_calls_from_another_thread_during_a_step_are_refused():
    # Being refused at all shows that the step lets the interpreter's lock go: the
    # speed-up itself is measured by benchmarks/bench_threads.py.
    m, twin = w2_station(), w2_station()
    stop, steps, failures = threading.Event(), [], []

    def stepper():
        try:
            while not stop.is_set():
                m.step()
                steps.append(1)
        except Exception as e:  # noqa: BLE001
            failures.append(e)

    worker = threading.Thread(target=stepper)
    worker.start()
    refused = []
    deadline = time.monotonic() + 10
    try:
        while len(refused) < 20 and time.monotonic() < deadline and not failures:
            for call in (lambda: m.time, lambda: m.internal_state,
                         lambda: setattr(m, "number_of_servers", 16), lambda: pickle.dumps(m)):
                try:
                    call()
                except RuntimeError as e:
                    refused.append(str(e))
    finally:
        stop.set()
        worker.join()
    assert not failures
    assert len(refused) >= 20 and all(BUSY in r for r in refused)
    for _ in steps:
        twin.step()
    assert fields(m) == fields(twin)


# The stress test: one writer thread makes every change (steps, observations, resets,
# mark/restore, setters) on the shared instance and, in lockstep, on a private twin, and
# logs every configuration the twin passes through; reader threads hammer the shared
# instance with getters, copies, pickles, no-op setters, failing calls and deletions of
# copies. Every read must show one of the logged configurations, every change must land
# exactly once (the shared instance ends equal to the twin), and nothing but RuntimeError
# may refuse a call.

ARRIVALS = {0: 0.3, 1: 0.3, 2: 0.25, 3: 0.15}
SERVICE = {1: 0.3, 2: 0.3, 3: 0.2, 4: 0.2}


def frozen(pmf):
    return tuple(sorted(pmf.items()))


def frozen_all(state):
    return tuple(map(frozen, state)) if isinstance(state, list) else frozen(state)


def stress_station():
    m = Station()
    m.number_of_servers = 2
    m.number_of_arrivals_pmf = ARRIVALS
    m.service_duration_pmf = SERVICE
    m.reset_with_number_of_entities_in_system(0)
    m.mark()
    return m


def stress_network():
    n = Network(2)
    for k in range(2):
        n.set_number_of_servers_at_node(k, 2)
        n.set_service_duration_at_node_pmf(k, SERVICE)
    n.set_number_of_external_arrivals_at_node_pmf(0, ARRIVALS)
    n.set_routing_probability(0, 1, 0.8)
    n.mark()
    return n


def mode(pmf):
    return max(pmf, key=lambda z: (pmf[z], -z))


def station_writes(rng, twin):
    choice = rng.random()
    if choice < 0.45:
        return lambda m: m.step()
    if choice < 0.55:
        v = mode(twin.get_number_of_entities_in_system_pmf())
        return lambda m: m.apply_observation_range(v, v + 3)
    if choice < 0.6:
        return lambda m: m.apply_observation_value(10**6)  # refused: no such state
    if choice < 0.7:
        k = rng.randrange(4)
        return lambda m: m.reset_with_number_of_entities_in_system(k)
    if choice < 0.8:
        return lambda m: m.mark()
    if choice < 0.9:
        return lambda m: m.restore()
    if choice < 0.95:
        c = rng.randrange(1, 4)
        return lambda m: setattr(m, "number_of_servers", c)
    state = twin.internal_state
    return lambda m: setattr(m, "internal_state", state)


def network_writes(rng, twin):
    choice = rng.random()
    if choice < 0.45:
        return lambda n: n.step()
    if choice < 0.55:
        v = mode(twin.get_number_of_entities_at_node_pmf(1))
        return lambda n: n.apply_observation_range_at_node(1, v, v + 3)
    if choice < 0.6:
        return lambda n: n.apply_observation_value_at_node(0, 10**6)
    if choice < 0.7:
        node, k = rng.randrange(2), rng.randrange(4)
        return lambda n: n.reset_node_with_number_of_entities(node, k)
    if choice < 0.8:
        return lambda n: n.mark()
    if choice < 0.9:
        return lambda n: n.restore()
    if choice < 0.95:
        c = rng.randrange(1, 4)
        return lambda n: n.set_number_of_servers_at_node(1, c)
    p = rng.choice([0.5, 0.8, 1.0])
    return lambda n: n.set_routing_probability(0, 1, p)


# What the readers check, in the order of the entries of a view.
CHECKED = ("time", "servers", "state", "marginal")


def station_view(m):
    return (m.time, m.number_of_servers, frozen(m.internal_state),
            frozen(m.get_number_of_entities_in_system_pmf()))


def network_view(n):
    return (n.time, n.get_number_of_servers_at_node(1), frozen_all(n.internal_state),
            frozen(n.get_number_of_entities_at_node_pmf(1)))


STRESS = {
    "station": (stress_station, station_writes, station_view, {
        "state": lambda m: frozen(m.internal_state),
        "marginal": lambda m: frozen(m.get_number_of_entities_in_system_pmf()),
        "time": lambda m: m.time,
        "servers": lambda m: m.number_of_servers,
        "memory": lambda m: m.current_memory_use and None,
        "no-op setter": lambda m: setattr(m, "number_of_arrivals_pmf", ARRIVALS),
        "failing call": lambda m: m.apply_observation_value(-5),
    }),
    "network": (stress_network, network_writes, network_view, {
        "state": lambda n: frozen_all(n.internal_state),
        "marginal": lambda n: frozen(n.get_number_of_entities_at_node_pmf(1)),
        "time": lambda n: n.time,
        "servers": lambda n: n.get_number_of_servers_at_node(1),
        "memory": lambda n: n.peak_memory_use and None,
        "no-op setter": lambda n: n.set_number_of_external_arrivals_at_node_pmf(0, ARRIVALS),
        "failing call": lambda n: n.get_routing_probability(0, 5),
    }),
}


@pytest.mark.parametrize("kind", STRESS)
def test_stress_one_instance_from_several_threads(kind):
    make, writes, view, reads = STRESS[kind]
    shared, twin = make(), make()
    log = [view(twin)]
    seen = {name: set() for name in reads}
    snapshots, refusals, failures = [], [0], []
    slot = [copy.copy(twin)]
    done = threading.Event()
    rng = random.Random(kind)

    def writer():
        try:
            for _ in range(100 if SANITIZED else 250):
                op = writes(rng, twin)
                outcomes = []
                for m in (shared, twin):
                    while True:
                        try:
                            op(m)
                            outcomes.append(None)
                        except RuntimeError as e:
                            if m is shared and BUSY in str(e):
                                refusals[0] += 1
                                continue
                            raise
                        except movra.error as e:
                            outcomes.append(str(e))
                        break
                assert outcomes[0] == outcomes[1], outcomes
                log.append(view(twin))
                time.sleep(0)  # let the readers in between two changes
        except BaseException as e:  # noqa: BLE001
            failures.append(e)
        finally:
            done.set()

    def reader(seed):
        r = random.Random(seed)
        names = list(reads)
        try:
            while not done.is_set():
                which = r.randrange(len(names) + 3)
                try:
                    if which < len(names):
                        name = names[which]
                        try:
                            value = reads[name](shared)
                        except movra.error:
                            continue
                        if value is not None:
                            seen[name].add(value)
                    elif which == len(names):
                        dup = copy.copy(shared) if r.random() < 0.5 else pickle.loads(pickle.dumps(shared))
                        snapshots.append(view(dup))
                        slot[0] = dup  # drops the copy held there, maybe while another thread steps it
                    else:
                        mine = slot[0]
                        try:
                            mine.step()
                        except movra.error:
                            pass
                        del mine
                except RuntimeError as e:
                    if BUSY not in str(e):
                        raise
                    refusals[0] += 1
        except BaseException as e:  # noqa: BLE001
            failures.append(e)

    threads = [threading.Thread(target=reader, args=(i,)) for i in range(3)] + [
        threading.Thread(target=writer)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert not failures, failures
    assert view(shared) == view(twin) and fields(shared) == fields(twin)
    for i, name in enumerate(CHECKED):
        assert seen[name] and seen[name] <= {v[i] for v in log}, name
    assert set(snapshots) <= set(log)
    assert refusals[0] > 0
    last, fresh = slot.pop(), make()
    # No reference left behind by a refused call: held like a fresh instance, whatever the
    # interpreter's own count for a local is.
    assert sys.getrefcount(last) == sys.getrefcount(fresh)


def test_instances_stepping_on_several_threads_match_serial_steps():
    # Each thread has its own scratch and binomial tables; instances on different
    # threads (different routings, so different tables) must not see each other's.
    def run(k):
        n = stress_network()
        n.set_routing_probability(0, 1, 0.5 + 0.1 * k)
        n.set_routing_probability(1, 0, 0.05 * k)
        for _ in range(20 if SANITIZED else 60):
            n.step()
        return frozen_all(n.internal_state)

    serial = [run(k) for k in range(4)]
    got = [None] * 4
    threads = [threading.Thread(target=lambda k=k: got.__setitem__(k, run(k))) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == serial
