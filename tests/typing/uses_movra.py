"""Typical use of movra, checked with mypy --strict and pyright against the installed
stub: a missing or unfound stub makes both fail on the import."""

from typing import assert_type

import movra

station = movra.StandardMultiserver()
station.number_of_servers = 2
station.number_of_arrivals_pmf = {0: 0.5, 1: 0.5}
station.service_duration_pmf = {1: 0.5, 2: 0.5}
station.step()
assert_type(station.get_number_of_entities_in_system_pmf(), dict[int, float])
assert_type(station.internal_state, dict[tuple[int, int], float])
assert_type(station.time, int)

exact = movra.ExactMultiserver(max_states=100_000)
exact.number_of_servers = 3
exact.capacity = None
exact.abandonment_probability = 0.1
exact.step()
assert_type(exact.internal_state, dict[tuple[int, tuple[int, ...]], float])
assert_type(exact.max_states, int)
assert_type(exact.number_of_states, int)

network = movra.StandardNetworkMultiserver(2)
network.set_routing_probability(0, 1, 0.5)
assert_type(network.get_routing_probability(0, 1), float)
assert_type(network.internal_state, list[dict[tuple[int, int], float]])

try:
    network.step()
except movra.error as failure:
    assert_type(str(failure), str)

# The planner's toolkit
station.reset_with_number_of_entities_in_system(0)
assert_type(movra.dist.poisson(1.5), dict[int, float])
assert_type(movra.waiting_time_pmf(station), dict[int, float])
assert_type(movra.sojourn_time_pmf(station), dict[int, float])
assert_type(movra.service_level(station, 2), float)
assert_type(movra.utilisation(station), float)
assert_type(movra.utilisation(network), list[float])
assert_type(movra.utilisation(network, 1), float)
assert_type(movra.throughput_pmf(network, node=0), dict[int, float])
assert_type(movra.offered_load(station), float)
stationary = movra.steady_state(station)
assert_type(stationary.model, movra.StandardMultiserver)
assert_type(stationary.converged, bool)
day = movra.run(station, 3, arrivals=[{0: 0.5, 1: 0.5}] * 3, servers=[2, 3, 3])
assert_type(day, movra.Trajectory)
assert_type(float(day.mean()[-1]), float)
assert_type(movra.required_servers({1: 1.0}, {1: 1.0}, wait_within=0, service_level=0.9,
                                   exact=False), int)
exact = movra.ExactMultiserver()
exact.number_of_servers = 2
exact.number_of_arrivals_pmf = {0: 0.5, 1: 0.5}
assert_type(movra.waiting_time_pmf(exact), dict[int, float])
assert_type(movra.steady_state(exact).model, movra.ExactMultiserver)
