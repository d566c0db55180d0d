"""run() records what stepping by hand gives, refuses bad arguments before the model
changes, and its Trajectory answers per step as scipy.stats and pandas would."""

import copy
import warnings

import numpy as np
import pytest

import movra


def station():
    m = movra.StandardMultiserver()
    m.number_of_servers = 2
    m.number_of_arrivals_pmf = {0: 0.5, 1: 0.3, 2: 0.2}
    m.service_duration_pmf = {1: 0.5, 2: 0.3, 3: 0.2}
    m.reset_with_number_of_entities_in_system(0)
    return m


def network():
    net = movra.StandardNetworkMultiserver(2)
    net.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.5, 1: 0.5})
    net.set_routing_probability(0, 1, 0.6)
    for k in range(2):
        net.set_number_of_servers_at_node(k, 1)
        net.set_service_duration_at_node_pmf(k, {1: 0.7, 2: 0.3})
    return net


ARRIVALS = [{0: 0.9, 1: 0.1}] * 3 + [{0: 0.2, 1: 0.5, 2: 0.3}] * 4
SERVERS = [1, 1, 2, 2, 3, 3, 3]


def test_run_records_what_steps_by_hand_give():
    m, by_hand = station(), station()
    trajectory = movra.run(m, 7, arrivals=ARRIVALS, servers=SERVERS)
    rows = [by_hand.get_number_of_entities_in_system_pmf()]
    for a, c in zip(ARRIVALS, SERVERS):
        by_hand.number_of_arrivals_pmf, by_hand.number_of_servers = a, c
        by_hand.step()
        rows.append(by_hand.get_number_of_entities_in_system_pmf())
    assert m.internal_state == by_hand.internal_state and m.time == 7
    assert trajectory.pmf.shape[0] == 8 and list(trajectory.time) == list(range(8))
    for row, pmf in zip(trajectory.pmf, rows):
        assert {z: p for z, p in enumerate(row) if p} == pmf
    assert list(trajectory.servers) == [2] + SERVERS
    # A row's throughput is that of the step after it, under that step's configuration.
    by_hand = station()
    by_hand.number_of_arrivals_pmf, by_hand.number_of_servers = ARRIVALS[0], SERVERS[0]
    expected = sum(d * p for d, p in movra.throughput_pmf(by_hand).items())
    assert trajectory.throughput()[0] == pytest.approx(expected)


def test_network_run_per_node():
    net, by_hand = network(), network()
    trajectory = movra.run(net, 5, servers=[[1, 2]] * 5)
    for k in range(2):
        by_hand.set_number_of_servers_at_node(k, [1, 2][k])
    for _ in range(5):
        by_hand.step()
    assert trajectory.pmf.shape[:2] == (6, 2)
    for k in range(2):
        pmf = by_hand.get_number_of_entities_at_node_pmf(k)
        assert {z: p for z, p in enumerate(trajectory.pmf[-1, k]) if p} == pmf
    frame = trajectory.to_pandas()
    assert frame.columns.names == ["node", "figure"]
    assert frame[(1, "mean")].iloc[-1] == pytest.approx(trajectory.mean()[-1, 1])


@pytest.mark.parametrize("kwargs, error", [
    (dict(steps=-1), ValueError),
    (dict(steps=2.0), TypeError),
    (dict(steps=7, arrivals=ARRIVALS[:6]), ValueError),
    (dict(steps=7, servers=SERVERS + [1]), ValueError),
    (dict(steps=7, servers=SERVERS[:6] + [-1]), ValueError),
    (dict(steps=7, arrivals=ARRIVALS[:6] + [{0: 1.5}]), ValueError),
    (dict(steps=7, arrivals=ARRIVALS[:6] + [{-1: 1.0}]), ValueError),
    (dict(steps=7, arrivals=ARRIVALS[:6] + [{}]), ValueError),
])
def test_bad_arguments_leave_the_model_as_it_was(kwargs, error):
    m = station()
    m.step()
    before = copy.copy(m).__reduce__()[2]
    with pytest.raises(error, match=r"\[6\]|steps|entries") as info:
        movra.run(m, **kwargs)
    assert str(info.value)
    assert m.__reduce__()[2] == before


def test_a_failing_step_puts_the_model_back():
    m = station()
    m.step()
    before = m.__reduce__()[2]
    m.service_duration_pmf = {0: 0.5, 1: 0.5}
    state = m.__reduce__()[2]
    with pytest.raises(movra.error):
        movra.run(m, 3)
    assert m.__reduce__()[2] == state != before


@pytest.mark.parametrize("make", [station, network])
def test_a_table_too_large_is_refused_and_the_model_put_back(make, monkeypatch):
    # A queue far from empty pads every row from 0: 10**8 in system took gigabytes a row.
    monkeypatch.setattr(movra.trajectory, "_MAX_CELLS", 400)
    m = make()
    if isinstance(m, movra.StandardMultiserver):
        m.reset_with_number_of_entities_in_system(100)
    else:
        m.reset_node_with_number_of_entities(0, 100)
    state = m.__reduce__()[2]
    with pytest.raises(ValueError, match="fewer steps"):
        movra.run(m, 3)
    assert m.__reduce__()[2] == state


def test_overload_warns_once():
    with pytest.warns(movra.OverloadWarning) as caught:
        movra.run(station(), 7, servers=[0] * 7)
    assert len(caught) == 1
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        movra.run(station(), 3)


def test_per_step_figures_follow_scipy():
    m = station()
    m.internal_state = {(0, 1): 0.2, (1, 1): 0.3, (4, 1): 0.5}
    t = movra.run(m, 0)
    assert [int(t.quantile(q)[0]) for q in (0.0, 0.2, 0.21, 0.5, 0.51, 1.0)] == [0, 0, 1, 1, 4, 4]
    assert list(t.tail(0)) == pytest.approx([0.8]) and list(t.tail(4)) == [0.0]
    assert list(t.tail(float("inf"))) == [0.0] and list(t.tail(-float("inf"))) == [1.0]
    assert t.mean()[0] == pytest.approx(2.3)


def test_table_and_picture():
    pytest.importorskip("pandas")
    pytest.importorskip("matplotlib")
    import matplotlib
    matplotlib.use("Agg")
    trajectory = movra.run(station(), 7, arrivals=ARRIVALS, servers=SERVERS, progress=True)
    frame = trajectory.to_pandas(wait_within=1)
    assert list(frame.columns) == ["mean", "q0.5", "q0.9", "q0.99", "p_above_c", "utilisation",
                                   "throughput", "service_level", "dropped"]
    assert frame.index.name == "step" and len(frame) == 8
    assert ((frame.service_level >= 0) & (frame.service_level <= 1)).all()
    assert frame.dropped.is_monotonic_increasing and frame.dropped.iloc[-1] < 7e-8
    assert frame.utilisation.iloc[0] == 0.0 and frame.throughput.iloc[-1] > 0
    ax = trajectory.plot()
    assert ax.lines and ax.collections and ax.get_xlabel() == "step"
