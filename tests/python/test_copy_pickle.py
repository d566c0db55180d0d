"""copy.copy, copy.deepcopy and pickle (every protocol) of both types: a copy is complete
(every configuration field, the state, time and the saved mark configuration) and
independent, steps bit for bit like the original, and the pickled form is plain,
versioned data that is validated like any other input when it is loaded."""

import copy
import copyreg
import math
import pickle
import random

import pytest

import movra
from fields import (Exact, Network, Station, exact_network, exact_station, fields, full_snapshot,
                    long_state_network, network, station)

DUPLICATES = {"copy": copy.copy, "deepcopy": copy.deepcopy}
DUPLICATES.update({f"pickle{p}": (lambda m, p=p: pickle.loads(pickle.dumps(m, protocol=p)))
                   for p in range(pickle.HIGHEST_PROTOCOL + 1)})


class TaggedStation(Station):
    pass


class SlottedNetwork(Network):
    __slots__ = ("label",)


def tagged_station():
    m = TaggedStation()
    m.service_duration_pmf = {1: 0.25, 2: 0.75}
    m.number_of_servers = 1
    m.step()
    m.payload = [1, 2]
    m.me = m
    return m


class TaggedExact(Exact):
    pass


def tagged_exact():
    m = exact_station(TaggedExact)
    m.payload = [1]
    return m


def slotted_network():
    n = SlottedNetwork(2)
    n.set_number_of_servers_at_node(1, 1)
    n.label = "ward"
    return n


MAKERS = {"station": station, "fresh station": Station, "network": network,
          "fresh network": lambda: Network(1), "long state network": long_state_network,
          "station subclass": tagged_station, "network subclass": slotted_network,
          "exact station": exact_station, "exact subclass": tagged_exact,
          "exact network": exact_network}


@pytest.mark.parametrize("make", MAKERS.values(), ids=MAKERS.keys())
@pytest.mark.parametrize("duplicate", DUPLICATES.values(), ids=DUPLICATES.keys())
def test_copy_is_complete_independent_and_steps_alike(make, duplicate):
    original = make()
    before = fields(original)
    dup = duplicate(original)
    assert type(dup) is type(original) and dup is not original
    assert fields(dup) == before
    if not isinstance(original, Exact):  # its draws table is a cache a copy makes again
        assert dup.current_memory_use == original.current_memory_use
    for m in (original, dup):
        for _ in range(3):
            m.step()
    assert fields(dup) == fields(original)
    dup.step()
    dup.time = 99
    assert fields(original) != fields(dup)
    assert full_snapshot(dup)[1] == full_snapshot(original)[1]
    # The mark came along too: after restore() both are where the original was marked.
    assert fields(dup) == fields(original)


@pytest.mark.parametrize("name", DUPLICATES)
def test_python_attributes_follow_the_copy_protocols(name):
    m = tagged_station()
    dup = DUPLICATES[name](m)
    assert dup.payload == [1, 2]
    assert (dup.payload is m.payload) == (name == "copy")
    assert dup.me is (m if name == "copy" else dup)
    n = DUPLICATES[name](slotted_network())
    assert n.label == "ward" and not hasattr(n, "__dict__")


def plain(value):
    if value is None or type(value) in (bool, int, float, str):
        return True
    if type(value) in (list, tuple):
        return all(plain(v) for v in value)
    if type(value) is dict:
        return all(type(k) is str and plain(v) for k, v in value.items())
    return False


@pytest.mark.parametrize("make", [station, network, tagged_station], ids=["station", "network", "subclass"])
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickled_form_is_plain_versioned_data(make, protocol):
    m = make()
    func, args, state = m.__reduce_ex__(protocol)[:3]
    assert func is copyreg.__newobj__ and args[0] is type(m)
    assert args[1:] == (() if isinstance(m, Station) else (m.get_number_of_nodes(),))
    version, model, python_state = state
    assert version == (2 if isinstance(m, Network) else 1) and plain(model)
    assert model["time"] == m.time and "mark" in model
    assert python_state == m.__getstate__()


@pytest.mark.parametrize("make", [station, network], ids=["station", "network"])
@pytest.mark.parametrize("protocol", [0, 2, 5])
def test_records_shared_by_mark_are_pickled_once(make, protocol):
    m = make()
    before = len(pickle.dumps(m, protocol))
    m.mark()
    assert len(pickle.dumps(m, protocol)) < 0.8 * before


def reduced(m):
    return m.__reduce_ex__(2)[2]


def replace(value, path, new):
    """`value` with the item at `path` replaced by new(old), rebuilt from there up."""
    if not path:
        return new(value)
    key, rest = path[0], path[1:]
    if isinstance(value, dict):
        out = dict(value)
        out[key] = replace(value.get(key), rest, new)
        return out
    items = list(value)
    items[key] = replace(items[key], rest, new)
    return type(value)(items)


def dropped(key):
    return lambda d: {k: v for k, v in d.items() if k != key}


def const(v):
    return lambda _: v


NAN = float("nan")
COMMON = [
    ((), const(None)), ((), const([1, {}, None])), ((), lambda s: s[:2]), ((), lambda s: s + (0,)),
    ((0,), const(0)), ((0,), const(3)), ((0,), const("1")), ((0,), const(1.0)),
    ((1,), const(None)), ((1,), dropped("time")), ((1,), lambda d: {**d, "extra": 0}),
    ((1, "time"), const(1.5)), ((1, "time"), const(2**40)), ((1, "time"), const(None)),
    ((1, "mark"), const({})), ((1, "mark"), dropped("time")), ((1, "mark", "time"), const("0")),
    ((2,), const(5)), ((2,), const((None, 5))),
]
STATION_CASES = COMMON + [
    ((0,), const(2)),
    ((1, "number_of_servers"), const(None)), ((1, "number_of_servers"), const(-2**40)),
    ((1, "number_of_arrivals_pmf"), const((0, []))),
    ((1, "number_of_arrivals_pmf"), const((-1, [1.0]))),
    ((1, "number_of_arrivals_pmf"), const((0, [0.5, 0.5, 0.0]))),
    ((1, "number_of_arrivals_pmf"), const((0, [0.0, 1.0]))),
    ((1, "number_of_arrivals_pmf"), const((0, [NAN]))),
    ((1, "number_of_arrivals_pmf"), const((0, [math.inf]))),
    ((1, "number_of_arrivals_pmf"), const((0, [0.5, 0.4]))),
    ((1, "number_of_arrivals_pmf"), const((0, [-0.5, 1.5]))),
    ((1, "number_of_arrivals_pmf"), const((0, [2.0]))),
    ((1, "number_of_arrivals_pmf"), const((0, ["1"]))),
    ((1, "number_of_arrivals_pmf"), const((2**31 - 1, [0.5, 0.5]))),
    ((1, "number_of_arrivals_pmf"), const((0.0, [1.0]))),
    ((1, "number_of_arrivals_pmf"), const((0, [1.0], 0))),
    ((1, "number_of_arrivals_pmf"), const({0: 1.0})),
    ((1, "number_of_arrivals_pmf"), const(((0, [1.0]), [(1, [1.0])]))),
    ((1, "internal_state"), const((0, [1.0]))),
    ((1, "internal_state"), const({(0, 0): 1.0})),
    ((1, "internal_state", 1), lambda c: c[:-1]),
    ((1, "internal_state", 1), lambda c: c + [None]),
    ((1, "internal_state", 1, 0), const(None)),
    ((1, "internal_state", 1, 0), const(((0, [1.0]), [(1, [1.0])]))),
    ((1, "internal_state", 0), const((0, [0.5, 0.5]))),
    ((1, "internal_state"), const(((-1, [1.0]), [(1, [1.0])]))),
    ((1, "internal_state"), const(((0, [1.0]), [(-1, [1.0])]))),
    ((1, "internal_state"), const(((0, [1.0]), [(1, [0.5])]))),
    ((1, "mark", "service_duration_pmf"), const((1, [0.5]))),
    ((1, "mark", "internal_state"), const(None)),
]
NETWORK_CASES = COMMON + [
    ((1, "internal_state"), const([])), ((1, "internal_state"), const((0, [1.0]))),
    ((1, "internal_state", 0), const((0, [1.0]))),
    ((1, "number_of_servers"), lambda a: a[:-1]), ((1, "number_of_servers"), lambda a: a + [0]),
    ((1, "number_of_servers", 0), const(-1)), ((1, "number_of_servers", 0), const(1.0)),
    ((1, "number_of_external_arrivals_pmfs"), lambda a: a[:-1]),
    ((1, "number_of_external_arrivals_pmfs", 0), const((0, [0.5]))),
    ((1, "service_duration_pmfs", 0), const((0, [1.0]))),
    ((1, "service_duration_pmfs", 0), const(None)),
    ((1, "routing_probabilities"), lambda r: r[:-1]),
    ((1, "routing_probabilities", 0), lambda row: row + row),
    ((1, "routing_probabilities", 0), const((0, 0.5))),
    ((1, "routing_probabilities", 0, 0), const(0.5)),
    ((1, "routing_probabilities", 0, 0, 0), const(3)),
    ((1, "routing_probabilities", 0, 0, 0), const(-1)),
    ((1, "routing_probabilities", 0, 0, 1), const(1.5)),
    ((1, "routing_probabilities", 0, 0, 1), const(-0.25)),
    ((1, "routing_probabilities", 0, 0, 1), const(NAN)),
    ((1, "routing_probabilities", 0, 0, 1), const("0")),
    ((1, "mark", "service_duration_pmfs", 1), const((0, [1.0]))),
    ((1, "mark", "number_of_servers"), lambda a: a + [1]),
    ((1, "mark", "internal_state"), const([])),
]


@pytest.mark.parametrize("path, new", STATION_CASES, ids=[f"{p}-{i}" for i, (p, _) in enumerate(STATION_CASES)])
def test_station_refuses_a_tampered_state(path, new):
    target = station()
    before = full_snapshot(station())
    with pytest.raises((movra.error, TypeError)):
        target.__setstate__(replace(reduced(station()), path, new))
    assert full_snapshot(target) == before


@pytest.mark.parametrize("path, new", NETWORK_CASES, ids=[f"{p}-{i}" for i, (p, _) in enumerate(NETWORK_CASES)])
def test_network_refuses_a_tampered_state(path, new):
    target = network()
    before = full_snapshot(network())
    with pytest.raises((movra.error, TypeError)):
        target.__setstate__(replace(reduced(network()), path, new))
    assert full_snapshot(target) == before


@pytest.mark.parametrize("source, target", [
    (station, lambda: Network(3)), (network, Station), (network, lambda: Network(2)),
    (long_state_network, lambda: Network(3))])
def test_state_of_another_shape_is_refused(source, target):
    t = target()
    before = full_snapshot(target())
    with pytest.raises(movra.error, match="Invalid value"):
        t.__setstate__(reduced(source()))
    assert full_snapshot(t) == before


def test_network_of_no_nodes_does_not_unpickle():
    func, args, state = Network(2).__reduce_ex__(2)[:3]
    with pytest.raises(movra.error):
        func(args[0], 0)


def leaves(value, path=()):
    if isinstance(value, (list, tuple)):
        for i, v in enumerate(value):
            yield from leaves(v, path + (i,))
    elif isinstance(value, dict):
        for k, v in value.items():
            yield from leaves(v, path + (k,))
    else:
        yield path


@pytest.mark.parametrize("make", [station, network], ids=["station", "network"])
def test_random_corruption_is_refused_or_harmless(make):
    rng = random.Random(12)
    state = reduced(make())
    paths = list(leaves(state))
    junk = [-1, 0, 1, 2, 2**31, -2**31 - 1, 0.0, 0.5, 1.5, -0.0, NAN, math.inf, None, "x", [], (), {},
            [0.5, 0.5], (0, [1.0]), True]
    for _ in range(400):
        path = rng.choice(paths)
        bad = replace(state, path, const(rng.choice(junk)))
        m = make()
        try:
            m.__setstate__(bad)
        except (movra.error, TypeError):
            continue
        # Accepted: it must still be a model that works or refuses with its own messages.
        for _ in range(2):
            try:
                m.step()
            except movra.error:
                pass
        fields(m)


@pytest.mark.parametrize("make", [station, network], ids=["station", "network"])
def test_truncated_pickle_never_crashes(make):
    data = pickle.dumps(make(), protocol=2)
    for cut in range(0, len(data), max(1, len(data) // 60)):
        try:
            pickle.loads(data[:cut])
        except Exception:  # the unpickler's own errors, or ours
            pass


def test_setstate_on_a_live_instance_replaces_everything():
    target = TaggedStation()
    target.payload = "kept"
    source = Station()
    source.number_of_servers = 5
    target.__setstate__(reduced(source))
    assert fields(target) == fields(source) and target.payload == "kept"
