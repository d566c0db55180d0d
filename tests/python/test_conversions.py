"""Value conversion as Python sees it, through the setters, getters and methods of both
models: PMF dictionaries in and out, lists of PMFs, Int and Real arguments, the exact
refusal messages, and reference counts and process memory staying flat when conversions
succeed and fail over and over."""
import collections
import enum
import gc
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import movra


def raises_exactly(message, call, *args):
    """The call fails with movra.error carrying exactly `message`, nothing else."""
    with pytest.raises(Exception) as info:
        call(*args)
    assert type(info.value) is movra.error, repr(info.value)
    assert info.value.args == (message,)


# ---- PMF targets: every place a PMF crosses from Python ----------------------------------
#
# A target is (name, make_instance, set, get). The single station accepts any simple PMF
# as its service duration when set; the network refuses a service duration that can be 0,
# so it only appears among the refusals (conversion fails before that check).


def _attr(name):
    return (lambda obj, v: setattr(obj, name, v)), (lambda obj: getattr(obj, name))


SIMPLE_TARGETS = [
    ("station.number_of_arrivals_pmf", movra.StandardMultiserver, *_attr("number_of_arrivals_pmf")),
    ("station.service_duration_pmf", movra.StandardMultiserver, *_attr("service_duration_pmf")),
    (
        "network.external_arrivals",
        lambda: movra.StandardNetworkMultiserver(2),
        lambda n, v: n.set_number_of_external_arrivals_at_node_pmf(1, v),
        lambda n: n.get_number_of_external_arrivals_at_node_pmf(1),
    ),
]
NETWORK_SERVICE = (
    "network.service_duration",
    lambda: movra.StandardNetworkMultiserver(2),
    lambda n, v: n.set_service_duration_at_node_pmf(1, v),
    lambda n: n.get_service_duration_at_node_pmf(1),
)
JOINT_TARGETS = [
    ("station.internal_state", movra.StandardMultiserver, *_attr("internal_state")),
    (
        "network.internal_state[0]",
        lambda: movra.StandardNetworkMultiserver(1),
        lambda n, v: setattr(n, "internal_state", [v]),
        lambda n: n.internal_state[0],
    ),
]


def targets(group):
    return pytest.mark.parametrize("target", group, ids=[t[0] for t in group])


def round_trip(target, value):
    _, make, set_, get = target
    obj = make()
    set_(obj, value)
    return get(obj)


def assert_refused(target, value, message):
    """Refused with exactly `message`; the field and the arena are as before."""
    _, make, set_, get = target
    obj = make()
    before = get(obj)
    memory = obj.current_memory_use
    raises_exactly(message, set_, obj, value)
    assert get(obj) == before
    assert obj.current_memory_use == memory


class IntSub(int):
    pass


class FloatSub(float):
    pass


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


class ListSub(list):
    pass


class Colour(enum.IntEnum):
    GREEN = 2


Point = collections.namedtuple("Point", "z ell")

# (id, input, expected dict; its key order is checked too)
SIMPLE_ROUND_TRIPS = [
    ("exact", {0: 0.25, 2: 0.75}, {0: 0.25, 2: 0.75}),
    ("weights above one clamped", {0: 1, 2: 3}, {0: 0.5, 2: 0.5}),
    ("zero weight on a negative key ignored", {-1: 0.0, 0: 1.0}, {0: 1.0}),
    ("negative weight ignored", {4: -2.5, 6: 1.0}, {6: 1.0}),
    ("ascending order", {5: 0.25, 1: 0.25, 3: 0.5}, {1: 0.25, 3: 0.5, 5: 0.25}),
    ("zero-probability inner outcome absent", {0: 0.5, 1: 0.0, 2: 0.5}, {0: 0.5, 2: 0.5}),
    ("renormalised", {3: 0.2, 4: 0.2}, {3: 0.5, 4: 0.5}),
    ("infinite weight counts as one", {0: math.inf, 1: 0.5}, {0: 1 / 1.5, 1: 0.5 / 1.5}),
    ("minus infinity ignored", {0: -math.inf, 1: 1.0}, {1: 1.0}),
    ("huge int weight counts as one", {0: 10**308, 1: 0.5}, {0: 1 / 1.5, 1: 0.5 / 1.5}),
    ("subnormal weight", {7: 5e-324}, {7: 1.0}),
    ("bool key and weight", {True: 0.5, 2: True}, {1: 0.5 / 1.5, 2: 1 / 1.5}),
    ("key keeps its low 32 bits", {2**32 + 5: 1.0}, {5: 1.0}),
    ("most negative 64-bit key wraps to 0", {-(2**63): 1.0}, {0: 1.0}),
    ("key wrapping negative with zero weight ignored", {2**32 - 1: 0.0, 3: 1.0}, {3: 1.0}),
    ("wide but modest range", {0: 0.5, 2**20: 0.5}, {0: 0.5, 2**20: 0.5}),
    ("dict subclass", DictSub({0: 0.25, 2: 0.75}), {0: 0.25, 2: 0.75}),
    ("OrderedDict", collections.OrderedDict([(2, 0.75), (0, 0.25)]), {0: 0.25, 2: 0.75}),
    ("int subclass keys", {IntSub(0): 0.25, Colour.GREEN: 0.75}, {0: 0.25, 2: 0.75}),
    ("float subclass weights", {0: FloatSub(0.25), 2: np.float64(0.75)}, {0: 0.25, 2: 0.75}),
]


@targets(SIMPLE_TARGETS)
@pytest.mark.parametrize("value, expected", [c[1:] for c in SIMPLE_ROUND_TRIPS],
                         ids=[c[0] for c in SIMPLE_ROUND_TRIPS])
def test_simple_pmf_round_trip(target, value, expected):
    got = round_trip(target, value)
    assert type(got) is dict
    assert got == expected
    assert list(got) == list(expected)
    assert all(type(k) is int and type(p) is float for k, p in got.items())


JOINT_ROUND_TRIPS = [
    ("exact", {(0, 1): 0.5, (1, 0): 0.5}, {(0, 1): 0.5, (1, 0): 0.5}),
    ("lexicographic order, first coordinate slowest",
     {(1, 0): 0.25, (0, 5): 0.25, (0, 1): 0.5},
     {(0, 1): 0.75 * (0.5 / 0.75), (0, 5): 0.75 * (0.25 / 0.75), (1, 0): 0.25}),
    ("zero-probability marginal value absent", {(0, 0): 0.5, (2, 0): 0.5}, {(0, 0): 0.5, (2, 0): 0.5}),
    ("simple key with zero weight skipped", {(0, 1): 0.5, 3: 0.0}, {(0, 1): 1.0}),
    ("malformed keys with zero weight skipped",
     {(0, 1): 1.0, (0, "x"): 0.0, (1,): 0.0, "y": -1.0, (1, 2, 3): 0.0}, {(0, 1): 1.0}),
    ("weights above one clamped", {(0, 1): 3, (1, 1): 1}, {(0, 1): 0.5, (1, 1): 0.5}),
    ("bool coordinates", {(True, False): 1.0}, {(1, 0): 1.0}),
    ("coordinates keep their low 32 bits", {(2**32, 2**32 + 1): 1.0}, {(0, 1): 1.0}),
    ("infinite weight counts as one", {(0, 0): math.inf, (0, 1): 1.0}, {(0, 0): 0.5, (0, 1): 0.5}),
    ("namedtuple keys", {Point(1, 0): 0.5, Point(0, 1): 0.5}, {(0, 1): 0.5, (1, 0): 0.5}),
    ("tuple subclass keys, int subclass coordinates", DictSub({TupleSub((IntSub(0), 1)): 1.0}),
     {(0, 1): 1.0}),
]


@targets(JOINT_TARGETS)
@pytest.mark.parametrize("value, expected", [c[1:] for c in JOINT_ROUND_TRIPS],
                         ids=[c[0] for c in JOINT_ROUND_TRIPS])
def test_joint_pmf_round_trip(target, value, expected):
    got = round_trip(target, value)
    assert type(got) is dict
    assert got == pytest.approx(expected, rel=1e-12)
    assert list(got) == list(expected)
    for key, p in got.items():
        assert type(key) is tuple and all(type(c) is int for c in key) and type(p) is float


# ---- Refusals --------------------------------------------------------------------------

INVALID = "Invalid value"

# Refused the same way whatever the target expects.
PMF_REFUSALS = [
    ("empty dict", {}, "Empty dictionary"),
    ("only zero weight", {0: 0.0}, "Empty pmf"),
    ("only non-positive weights", {0: -1.0, 1: 0.0, 2: -math.inf}, "Empty pmf"),
    ("not a dict: list", [(0, 1.0)], INVALID),
    ("not a dict: int", 1, INVALID),
    ("not a dict: None", None, INVALID),
    ("first key float", {1.0: 1.0}, INVALID),
    ("first key str", {"0": 1.0}, INVALID),
    ("first key None", {None: 1.0}, INVALID),
    ("weight NaN", {0: math.nan}, INVALID),
    ("weight NaN after a good entry", {0: 1.0, 1: math.nan}, INVALID),
    ("weight str", {0: "0.5"}, INVALID),
    ("weight None", {0: None}, INVALID),
    ("weight numpy float32", {0: np.float32(0.5)}, INVALID),
    ("weight int beyond double range", {0: 2**1024}, INVALID),
]

SIMPLE_REFUSALS = [
    ("negative key", {-1: 1.0}, "Negative integer in pmf support"),
    ("key wrapping negative", {2**31: 1.0}, "Negative integer in pmf support"),
    ("later key float", {0: 1.0, 1.0: 0.5}, INVALID),
    # Simple keys are converted before their weight is looked at.
    ("later key str with zero weight", {0: 1.0, "a": 0.0}, INVALID),
    ("key beyond 64 bits", {2**64: 1.0}, INVALID),
    ("key below 64 bits", {-(2**63) - 1: 1.0}, INVALID),
    ("key numpy int64", {np.int64(1): 1.0}, INVALID),
    ("joint dict", {(0, 1): 1.0}, INVALID),
    ("compound tuple", ({0: 1.0}, {1: 1.0}), INVALID),
    ("empty compound tuple", (), INVALID),
    ("huge key range", {0: 0.5, 2**31 - 1: 0.5}, "Out of memory"),
    # Every entry is checked before anything is accumulated: no window is widened first.
    ("negative key after a huge range", {0: 0.5, 2**31 - 1: 0.5, -1: 0.5},
     "Negative integer in pmf support"),
    ("joint dict with a huge range", {(0, 1): 0.5, (2**31 - 1, 1): 0.5}, INVALID),
]

JOINT_REFUSALS = [
    ("negative first coordinate", {(-1, 2): 1.0}, "Samples must be nonnegative integers"),
    ("negative last coordinate", {(2, -1): 1.0}, "Negative integer in pmf support"),
    ("later simple key", {(0, 1): 0.5, 3: 0.5}, INVALID),
    ("later key too long", {(0, 1): 0.5, (1, 2, 3): 0.5}, INVALID),
    ("later key too short", {(0, 1): 0.5, (1,): 0.5}, INVALID),
    ("float coordinate", {(0, 1.0): 1.0}, INVALID),
    ("coordinate beyond 64 bits", {(0, 2**64): 1.0}, INVALID),
    ("empty tuple key", {(): 1.0}, INVALID),
    ("one-item keys", {(1,): 1.0}, INVALID),
    ("one-item keys, first positive entry", {(1,): 0.0, (2,): 0.5}, INVALID),
    ("one-item keys, nothing positive", {(1,): 0.0}, "Empty pmf"),
    ("weight NaN", {(0, 0): math.nan}, INVALID),
    ("depth 3", {(0, 1, 2): 1.0}, INVALID),
    ("simple dict", {0: 1.0}, INVALID),
    ("compound tuple", ({(0, 0): 1.0},), INVALID),
    ("huge first-coordinate range", {(0, 0): 0.5, (2**31 - 1, 0): 0.5}, "Out of memory"),
    ("huge last-coordinate range", {(0, 0): 0.5, (0, 2**31 - 1): 0.5}, "Out of memory"),
    ("bad key after a huge range", {(0, 0): 0.5, (2**31 - 1, 0): 0.5, (1,): 0.5}, INVALID),
    ("negative coordinate after a huge range", {(0, 0): 0.5, (2**31 - 1, 0): 0.5, (-1, 0): 0.5},
     "Samples must be nonnegative integers"),
    ("depth 3 with a huge range", {(0, 0, 0): 0.5, (2**31 - 1, 0, 0): 0.5}, INVALID),
    ("depth 3, nothing positive", {(0, 0, 0): 0.0}, "Empty pmf"),
    ("simple dict with a huge range", {0: 0.5, 2**31 - 1: 0.5}, INVALID),
]


def _ids(cases):
    return [c[0] for c in cases]


@targets(SIMPLE_TARGETS + [NETWORK_SERVICE])
@pytest.mark.parametrize("value, message", [c[1:] for c in PMF_REFUSALS + SIMPLE_REFUSALS],
                         ids=_ids(PMF_REFUSALS + SIMPLE_REFUSALS))
def test_simple_pmf_refused(target, value, message):
    assert_refused(target, value, message)


@targets(JOINT_TARGETS)
@pytest.mark.parametrize("value, message", [c[1:] for c in PMF_REFUSALS + JOINT_REFUSALS],
                         ids=_ids(PMF_REFUSALS + JOINT_REFUSALS))
def test_joint_pmf_refused(target, value, message):
    assert_refused(target, value, message)


def deep_compound(levels):
    t = {0: 1.0}
    for _ in range(levels):
        t = (t,)
    return t


@targets(SIMPLE_TARGETS + JOINT_TARGETS)
def test_deep_nesting_refused_without_exhausting_the_stack(target):
    # Built here, not in the parameter list: pytest would try to print it.
    assert_refused(target, deep_compound(10**6), INVALID)
    long_key = tuple(range(10**6))
    assert_refused(target, {long_key: 1.0}, INVALID)
    assert_refused(target, {(0, 1): 0.5, long_key: 0.5}, INVALID)


def test_conversion_failure_precedes_model_checks():
    n = movra.StandardNetworkMultiserver(2)
    # The node index converts, the PMF is refused before the node is looked up.
    raises_exactly("Empty dictionary", n.set_service_duration_at_node_pmf, 7, {})
    raises_exactly("Lookup index out of range", n.set_service_duration_at_node_pmf, 7, {1: 1.0})
    # An unconvertible node index is refused before the PMF is looked at.
    raises_exactly(INVALID, n.set_number_of_external_arrivals_at_node_pmf, "0", {})
    # A PMF that converts is checked by the model afterwards.
    raises_exactly("Invalid service duration pmf. Service durations must be strictly positive.",
                   n.set_service_duration_at_node_pmf, 0, {0: 0.5, 1: 0.5})


# ---- Lists of PMFs: the network state --------------------------------------------------

GOOD_STATE = {(0, 1): 0.5, (1, 0): 0.5}

STATE_REFUSALS = [
    ("empty list", [], INVALID),
    ("tuple", (GOOD_STATE,), INVALID),
    ("dict", GOOD_STATE, INVALID),
    ("None", None, INVALID),
    ("generator", (d for d in [GOOD_STATE]), INVALID),
    ("simple element", [GOOD_STATE, {0: 1.0}], INVALID),
    ("empty dict element", [GOOD_STATE, {}], "Empty dictionary"),
    # Elements are converted in order: a later conversion failure comes before the shape.
    ("simple element, then empty dict", [{0: 1.0}, {}], "Empty dictionary"),
    ("simple element, then no weight", [{0: 1.0}, {(0, 1): 0.0}], "Empty pmf"),
    ("simple element, then negative key", [{0: 1.0}, {(0, -1): 1.0}], "Negative integer in pmf support"),
    ("simple element, then compound", [{0: 1.0}, ({}, {0: 1.0})], "Empty dictionary"),
    ("element not a PMF", [GOOD_STATE, 1], INVALID),
    ("compound element", [({(0, 0): 1.0},)], INVALID),
    ("nested list", [[GOOD_STATE]], INVALID),
    ("element with negative coordinate", [{(-1, 0): 1.0}], "Samples must be nonnegative integers"),
]


@pytest.mark.parametrize("value, message", [c[1:] for c in STATE_REFUSALS], ids=_ids(STATE_REFUSALS))
def test_network_state_refused(value, message):
    n = movra.StandardNetworkMultiserver(2)
    before = n.internal_state
    memory = n.current_memory_use
    raises_exactly(message, setattr, n, "internal_state", value)
    assert n.internal_state == before
    assert n.current_memory_use == memory


@pytest.mark.parametrize("make", [list, ListSub], ids=["list", "list subclass"])
def test_network_state_round_trip(make):
    n = movra.StandardNetworkMultiserver(3)
    n.internal_state = make([GOOD_STATE, {(2, 1): 3.0}, GOOD_STATE])
    got = n.internal_state
    assert type(got) is list
    assert got == [GOOD_STATE, {(2, 1): 1.0}, GOOD_STATE]
    assert got[0] is not got[2]


# ---- Int and Real arguments ------------------------------------------------------------

INT_ACCEPTED = [
    ("bool", True, 1),
    ("int subclass", IntSub(2), 2),
    ("IntEnum", Colour.GREEN, 2),
    ("low 32 bits kept", 2**32 + 3, 3),
    ("most negative 64-bit value wraps to 0", -(2**63), 0),
]

INT_REFUSED = [
    ("float", 1.0, INVALID),
    ("fractional float", 1.5, INVALID),
    ("str", "1", INVALID),
    ("None", None, INVALID),
    ("numpy int64", np.int64(1), INVALID),
    ("beyond 64 bits", 2**63, INVALID),
    ("below 64 bits", -(2**63) - 1, INVALID),
    ("far beyond 64 bits", 2**200, INVALID),
    # The low 32 bits are negative: the model sees -2**31 and -1.
    ("wraps to the most negative Int", 2**31,
     "Invalid number of entities. The number of entities must be nonnegative."),
    ("wraps to -1", 2**32 - 1, "Invalid number of entities. The number of entities must be nonnegative."),
]


@pytest.mark.parametrize("value, expected", [c[1:] for c in INT_ACCEPTED], ids=_ids(INT_ACCEPTED))
def test_int_argument_accepted(value, expected):
    m = movra.StandardMultiserver()
    m.reset_with_number_of_entities_in_system(value)
    assert m.internal_state == {(expected, 1): 1.0}
    m.apply_observation_value(value)
    assert m.internal_state == {(expected, 1): 1.0}


@pytest.mark.parametrize("value, message", [c[1:] for c in INT_REFUSED], ids=_ids(INT_REFUSED))
def test_int_argument_refused(value, message):
    m = movra.StandardMultiserver()
    m.reset_with_number_of_entities_in_system(3)
    raises_exactly(message, m.reset_with_number_of_entities_in_system, value)
    assert m.internal_state == {(3, 1): 1.0}
    if message == INVALID:
        raises_exactly(message, m.apply_observation_value, value)
        assert m.internal_state == {(3, 1): 1.0}


REAL_ACCEPTED = [
    ("float", 0.25, 0.25),
    ("bool", True, 1.0),
    ("int", 0, 0.0),
    ("int subclass", IntSub(1), 1.0),
    ("float subclass", FloatSub(0.5), 0.5),
    ("numpy float64", np.float64(0.75), 0.75),
    ("smallest subnormal", 5e-324, 5e-324),
    ("negative zero", -0.0, -0.0),
]

REAL_REFUSED = [
    ("str", "0.5", INVALID),
    ("None", None, INVALID),
    ("complex", 0.5j, INVALID),
    ("numpy float32", np.float32(0.5), INVALID),
    ("int beyond double range", 2**1024, INVALID),
    ("int just beyond double range", 2**1024 - 1, INVALID),
    ("negative int beyond double range", -(2**1024), INVALID),
    # Converted to the nearest double, then refused by the model.
    ("large int", 2**53 + 1, "Invalid probability. Probabilities must be between 0 and 1."),
]


@pytest.mark.parametrize("value, expected", [c[1:] for c in REAL_ACCEPTED], ids=_ids(REAL_ACCEPTED))
def test_real_argument_accepted(value, expected):
    n = movra.StandardNetworkMultiserver(2)
    n.set_routing_probability(0, 1, value)
    got = n.get_routing_probability(0, 1)
    assert type(got) is float
    assert got == expected and math.copysign(1, got) == math.copysign(1, expected)


@pytest.mark.parametrize("value, message", [c[1:] for c in REAL_REFUSED], ids=_ids(REAL_REFUSED))
def test_real_argument_refused(value, message):
    n = movra.StandardNetworkMultiserver(2)
    n.set_routing_probability(0, 1, 0.25)
    raises_exactly(message, n.set_routing_probability, 0, 1, value)
    assert n.get_routing_probability(0, 1) == 0.25


def test_arguments_converted_left_to_right():
    n = movra.StandardNetworkMultiserver(2)
    raises_exactly(INVALID, n.set_routing_probability, 9, 9, "x")
    raises_exactly("Lookup index out of range", n.set_routing_probability, 9, 9, 0.5)
    raises_exactly(INVALID, n.set_routing_probability, 0.0, 0, 0.5)


# ---- Reference counts and memory -------------------------------------------------------


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _under_sanitizer():
    # AddressSanitizer holds freed memory in quarantine: RSS then says nothing about leaks.
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


def test_repeated_conversions_leave_refcounts_and_memory_flat():
    m = movra.StandardMultiserver()
    n = movra.StandardNetworkMultiserver(2)
    # Objects made at run time, so no other code shares (and changes) their counts.
    big = int("1003")
    weight = float("0.25")
    key = (int("7"), int("3"))
    good_simple = {big: weight, 2: 0.75}
    good_joint = {key: weight, (0, 1): 0.5}
    state = [good_joint, good_joint]
    bad = [
        {},
        {big: 0.0},
        {-1: weight},
        {big: weight, "x": weight},
        {key: weight, 3: weight},
        {key: weight, (1, 2, 3): weight},
        {(1,): weight},
        {(): weight},
        {key: math.nan},
        {big: 0.5, 2**31 - 1: 0.5},
        deep_compound(300),
        (good_simple, good_simple),
    ]
    bad_states = [[], [good_joint, {}], [good_joint, good_simple], (good_joint,)]
    bad_ints = [2**64, "1", 1.5]
    # Not None: its count is shared with the whole interpreter and drifts.
    bad_reals = [2**1024, "x", object()]
    watched = [good_simple, good_joint, state, big, weight, key, *bad, *bad_states, *bad_ints, *bad_reals]

    def one_round():
        m.number_of_arrivals_pmf = good_simple
        m.internal_state = good_joint
        n.internal_state = state
        n.set_number_of_external_arrivals_at_node_pmf(1, good_simple)
        m.reset_with_number_of_entities_in_system(big)
        m.apply_observation_value(big)
        n.set_routing_probability(0, 1, weight)
        m.number_of_arrivals_pmf
        m.internal_state
        n.internal_state
        for value in bad:
            for setter in (lambda v: setattr(m, "number_of_arrivals_pmf", v),
                           lambda v: setattr(m, "internal_state", v),
                           lambda v: n.set_service_duration_at_node_pmf(0, v)):
                try:
                    setter(value)
                except movra.error:
                    pass
        for value in bad_states:
            try:
                n.internal_state = value
            except movra.error:
                pass
        for value in bad_ints:
            try:
                m.reset_with_number_of_entities_in_system(value)
            except movra.error:
                pass
        for value in bad_reals:
            try:
                n.set_routing_probability(0, 1, value)
            except movra.error:
                pass

    for _ in range(200):
        one_round()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    rss = _rss_bytes()
    memory = (m.current_memory_use, n.current_memory_use)
    for _ in range(3000):
        one_round()
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == counts
    assert sys.getallocatedblocks() - blocks < 100
    if not _under_sanitizer():
        assert _rss_bytes() - rss < 4 << 20
    assert (m.current_memory_use, n.current_memory_use) == memory


# ---- A huge joint key range must not take the machine's memory -------------------------

_HUGE_JOINT_RANGE = textwrap.dedent(
    """
    import resource, movra
    m = movra.StandardMultiserver()
    try:
        m.internal_state = {}  # the first exception of the process, thrown with memory to spare
    except movra.error:
        pass
    resource.setrlimit(resource.RLIMIT_AS, (1536 << 20, resource.RLIM_INFINITY))
    try:
        m.internal_state = {(0, 0): 0.5, (2**26, 0): 0.5}
        print("accepted")
    except movra.error as e:
        print(e)
    # The peak of this process alone: ru_maxrss keeps the forking parent's across exec.
    with open("/proc/self/status") as status:
        print(int(status.read().split("VmHWM:")[1].split()[0]) >> 10)
    """
)


def test_huge_joint_key_range_refused_without_taking_memory():
    # One slot per first-coordinate value up to 2**26: the scratch it takes must stay
    # within what one block may hold, as the simple accumulator's does. Run in a child
    # process capped at 1.5 GiB of address space so a fault cannot hurt the machine.
    if _under_sanitizer():
        pytest.skip("the sanitizer's shadow memory does not fit under an address-space limit")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", _HUGE_JOINT_RANGE], capture_output=True, text=True,
                         env=env, timeout=120)
    assert out.returncode == 0, out.stderr
    message, peak_mib = out.stdout.split("\n")[:2]
    assert message == "Out of memory"
    assert int(peak_mib) < 256
