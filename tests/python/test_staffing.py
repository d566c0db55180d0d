"""Staffing answers against a brute-force search over the number of servers."""

import copy
from concurrent.futures import ThreadPoolExecutor

import pytest

import movra

ARRIVALS = {0: 0.3, 1: 0.3, 2: 0.25, 3: 0.15}
SERVICE = {1: 0.3, 2: 0.4, 4: 0.3}


def stationary_level(c, wait_within):
    m = movra.StandardMultiserver()
    m.number_of_servers = c
    m.number_of_arrivals_pmf, m.service_duration_pmf = ARRIVALS, SERVICE
    m.reset_with_number_of_entities_in_system(0)
    if movra.offered_load(m) >= 1:
        return 0.0
    return movra.service_level(movra.steady_state(m).model, wait_within)


@pytest.mark.parametrize("wait_within, target", [(0, 0.5), (1, 0.8), (2, 0.95)])
def test_required_servers_is_the_brute_force_answer(wait_within, target):
    brute = next(c for c in range(1, 50) if stationary_level(c, wait_within) >= target)
    assert movra.required_servers(ARRIVALS, SERVICE, wait_within=wait_within,
                                  service_level=target, exact=False) == brute
    with ThreadPoolExecutor(3) as pool:
        assert movra.required_servers(ARRIVALS, SERVICE, wait_within=wait_within,
                                      service_level=target, exact=False, executor=pool) == brute


@pytest.mark.filterwarnings("ignore::movra.OverloadWarning")
def test_staff_schedule_meets_each_interval_with_the_fewest_servers():
    intervals = [{0: 0.8, 1: 0.2}, ARRIVALS, {0: 0.5, 1: 0.5}]
    frame = movra.staff_schedule(intervals, SERVICE, steps_per_interval=6, wait_within=1,
                                 service_level=0.9, exact=False)
    assert list(frame.columns) == ["interval", "servers", "service_level", "utilisation"]
    # Brute force: replay the day, trying every smaller count in each interval.
    m = movra.StandardMultiserver()
    m.service_duration_pmf = SERVICE
    m.reset_with_number_of_entities_in_system(0)
    for arrivals, row in zip(intervals, frame.itertuples()):
        levels = {}
        for c in range(1, row.servers + 1):
            trial = movra.run(copy.copy(m), 6, arrivals=arrivals, servers=c)
            levels[c] = trial.service_level(1)[:-1].mean()
        assert levels[row.servers] == pytest.approx(row.service_level)
        assert row.service_level >= 0.9
        assert all(levels[c] < 0.9 for c in range(1, row.servers))
        m.number_of_arrivals_pmf, m.number_of_servers = arrivals, row.servers
        for _ in range(6):
            m.step()


@pytest.mark.parametrize("kwargs", [
    dict(wait_within=-1, service_level=0.8), dict(wait_within=1, service_level=1.5),
])
def test_bad_targets(kwargs):
    with pytest.raises(ValueError):
        movra.required_servers(ARRIVALS, SERVICE, exact=False, **kwargs)
