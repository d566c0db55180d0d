"""A call's cost follows the values its PMFs and routings hold, never their numeric range
nor the square of the node count; bounds near the top of the Int range are exact; and a
call that fails, however it fails, leaves the instance as it was."""

import math
import pathlib
import pickle
import warnings
from collections import defaultdict

import pytest

import movra
from fields import Network, Station, fields, full_snapshot

TOP = 2**31 - 1
OOM = "Out of memory"


def station(servers, state, arrivals=None, service=None):
    m = Station()
    m.number_of_servers = servers
    m.internal_state = state
    if arrivals is not None:
        m.number_of_arrivals_pmf = arrivals
    if service is not None:
        m.service_duration_pmf = service
    return m


@pytest.mark.parametrize("servers, ell, expected", [
    (0, TOP, {(TOP, 1): 1.0}), (1, TOP, {(TOP, TOP - 1): 1.0}), (3, TOP, {(TOP, TOP - 1): 1.0}),
    (TOP, TOP, {(TOP, TOP - 1): 1.0}),  # TOP trials, none of which can complete
    (TOP, 1, {(0, 1): 1.0}),  # TOP trials, every one completes
])
def test_remaining_time_at_the_top_of_the_range(servers, ell, expected):
    m = station(servers, {(TOP, ell): 1.0})
    m.step()
    assert m.internal_state == expected
    assert m.peak_memory_use < 1 << 20


def test_network_node_at_the_top_of_the_range():
    n = Network(2)
    n.set_number_of_servers_at_node(0, 1)
    n.set_number_of_servers_at_node(1, 1)
    n.set_routing_probability(0, 1, 1.0)
    n.internal_state = [{(TOP, TOP): 1.0}, {(1, 1): 1.0}]
    n.step()
    assert n.internal_state == [{(TOP, TOP - 1): 1.0}, {(0, 1): 1.0}]
    assert n.peak_memory_use < 1 << 20


def test_service_duration_at_the_top_of_the_range():
    m = station(1, {(0, 0): 1.0}, {1: 1.0}, {TOP: 1.0})
    m.step()
    assert m.internal_state == {(1, TOP): 1.0}
    m.step()
    assert m.internal_state == {(2, TOP - 1): 1.0}
    m.number_of_arrivals_pmf = {TOP: 1.0}
    before = fields(m)
    with pytest.raises(movra.error, match=OOM):  # the new z would pass the Int range
        m.step()
    assert fields(m) == before


def _reference_step(state, c, arrivals, service):
    """One step as loops over single outcomes, no tail cut (every probability here is far
    above it): the new joint PMF."""
    marginal, conditional = defaultdict(float), defaultdict(dict)
    for (z, ell), p in state.items():
        marginal[z] += p
        conditional[z][ell] = p
    out = defaultdict(float)
    for z, pz in marginal.items():
        ells = {ell: p / pz for ell, p in conditional[z].items()}
        n, h = min(z, c), ells.get(1, 0.0)
        kept = {ell - 1: p for ell, p in ells.items() if ell != 1}
        relabel = {v: p / sum(kept.values()) for v, p in kept.items()} if kept else {}
        for d in range(n + 1):
            pd = math.comb(n, d) * h**d * (1 - h) ** (n - d)
            for a, pa in arrivals.items():
                zp, w = z - d + a, pz * pd * pa
                old = 0.0 if zp == 0 or c == 0 else (n - d) / min(zp, c)
                for ell, p in service.items():
                    out[zp, ell] += w * (1 - old) * p
                for ell, p in relabel.items():
                    out[zp, ell] += w * old * p
    total = sum(out.values())
    return {k: v / total for k, v in out.items() if v > 0}


# No new row mixes a fresh duration with a far-away relabelled one: such a row would be a
# dense PMF of 2**30 entries.
@pytest.mark.parametrize("state, arrivals", [
    ({(1, 1): 0.25, (2, 3): 0.25, (3, 2**30): 0.5}, {0: 1.0}),
    ({(2, 2**30): 0.5, (2, 2**30 + 2): 0.5}, {0: 0.5, 1: 0.3, 2: 0.2}),
    ({(0, 0): 0.5, (2, 2**30): 0.5}, {0: 0.5, 1: 0.5}),
])
def test_far_apart_remaining_times_step_like_single_outcomes(state, arrivals):
    service = {1: 0.5, 2: 0.5}
    m = station(2, state, arrivals, service)
    expected = _reference_step(state, 2, arrivals, service)
    m.step()
    got = m.internal_state
    assert got.keys() == expected.keys()
    assert all(got[k] == pytest.approx(v, rel=1e-12) for k, v in expected.items())
    assert m.peak_memory_use < 1 << 20


# ---- failed calls change nothing -----------------------------------------------------------

@pytest.mark.parametrize("make, name", [(Station, "number_of_servers"), (Station, "time"),
                                        (lambda: Network(2), "time")],
                         ids=["station servers", "station time", "network time"])
def test_assignment_refused_by_its_warning_changes_nothing(make, name):
    m = make()
    setattr(m, name, 5)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="Truncation"):
            setattr(m, name, 2**32 + 7)
    assert getattr(m, name) == 5
    with pytest.warns(RuntimeWarning, match="Truncation"):
        setattr(m, name, 2**32 + 7)
    assert getattr(m, name) == 7


class Frozen(Station):
    @property
    def frozen(self):
        return "fixed"


class SlottedNetwork(Network):
    __slots__ = ("label",)


def _configured(m):
    if isinstance(m, Station):
        m.number_of_servers = 2
        m.number_of_arrivals_pmf = {0: 0.5, 1: 0.5}
    else:
        m.set_routing_probability(0, 1, 0.5)
    m.step()
    return m


@pytest.mark.parametrize("target, python_state", [
    (Frozen, ({"payload": "new"}, {"frozen": 2})),           # setattr fails after the dict
    (Frozen, (None, {"label": "new", "frozen": 2})),         # the second slot fails
    (lambda: SlottedNetwork(2), {"payload": "new"}),           # no __dict__ to update
    (lambda: SlottedNetwork(2), (None, {"label": "new", "missing": 1})),
], ids=["dict then failing slot", "slot then failing slot", "dict without __dict__",
        "slot then missing slot"])
def test_setstate_with_a_bad_attribute_part_changes_nothing(target, python_state):
    t = target()
    if isinstance(t, SlottedNetwork):
        t.label = "old"
    else:
        t.payload = "old"
    source = _configured(type(t)() if isinstance(t, Station) else type(t)(2))
    format_, model, _ = source.__reduce_ex__(2)[2]

    def everything():
        return (fields(t), t.current_memory_use, dict(getattr(t, "__dict__", {})),
                getattr(t, "label", None))

    before = everything()
    with pytest.raises(AttributeError):
        t.__setstate__((format_, model, python_state))
    assert everything() == before


# ---- sparse routing --------------------------------------------------------------------------

def line(nodes):
    n = Network(nodes)
    for k in range(nodes):
        n.set_number_of_servers_at_node(k, 1)
        if k + 1 < nodes:
            n.set_routing_probability(k, k + 1, 0.9)
    n.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.5, 1: 0.5})
    return n


def test_network_memory_and_pickle_follow_nodes_plus_routes():
    n = line(2000)
    assert n.current_memory_use < 2 << 20  # a dense routing matrix alone would be 32 MB
    n.step()
    n.mark()
    assert n.peak_memory_use < 4 << 20
    data = pickle.dumps(n, protocol=pickle.HIGHEST_PROTOCOL)
    assert len(data) < 1 << 20
    copy = pickle.loads(data)
    assert copy.__reduce_ex__(2)[2] == n.__reduce_ex__(2)[2]  # everything, as plain data


def test_routing_reads_back_what_was_written():
    n = Network(3)
    fresh = n.current_memory_use
    for value in (0.5, 0.25, 1.0, 0.0):
        n.set_routing_probability(2, 0, value)
        assert n.get_routing_probability(2, 0) == value
    assert n.current_memory_use == fresh  # a routing of 0 is not stored
    n.set_routing_probability(2, 0, -0.0)
    assert math.copysign(1, n.get_routing_probability(2, 0)) == -1
    for args in [(3, 0), (0, 3), (-1, 0), (0, -1)]:
        with pytest.raises(movra.error, match="Lookup index out of range"):
            n.get_routing_probability(*args)
        with pytest.raises(movra.error, match="Lookup index out of range"):
            n.set_routing_probability(*args, 0.5)


def test_pickles_of_the_earlier_format_still_load():
    # Written by the release whose network pickles held every routing entry (format 1).
    with open(pathlib.Path(__file__).parent / "data" / "release1_pickles.pkl", "rb") as f:
        saved = pickle.load(f)
    for kind in ("station", "network"):
        m = pickle.loads(saved[kind])
        assert full_snapshot(m) == saved[f"{kind}_snapshot"]
        m = pickle.loads(saved[kind])
        again = pickle.loads(pickle.dumps(m))
        m.step(), again.step()
        assert fields(again) == fields(m)
