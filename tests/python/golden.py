"""Long runs of both models whose exact bits are pinned by test_golden_bits.py.

Each workload returns its final state serialised as text: every key in order with
float.hex of its probability, so any change in the order of floating-point operations
shows up.  Run this file to print the digests (used once to record them).
"""

import hashlib
import json
import random

import movra
from reference import poisson, uniform
from reference import station as new_station


def _hex(pmf):
    return ";".join(f"{k}:{float.hex(v)}" for k, v in sorted(pmf.items()))


def station(servers, arrivals, service, steps, observe=None):
    m = new_station(servers, arrivals, service, reset=0)
    for t in range(steps):
        m.step()
        if observe is not None and t == steps // 2:
            m.apply_observation_range(*observe)
    return _hex(m.internal_state)


def line_network(steps):
    n = 8
    net = movra.StandardNetworkMultiserver(n)
    for k in range(n - 1):
        net.set_routing_probability(k, k + 1, 0.9)
    net.set_routing_probability(n - 1, 0, 0.3)
    net.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.6, 1: 0.4})
    return _run_network(net, steps)


def random_network(steps, seed=2024):
    n = 16
    rng = random.Random(seed)
    net = movra.StandardNetworkMultiserver(n)
    for source in range(n):
        weights = [rng.random() for _ in range(n)]
        # Added in order: sum() rounds differently from Python 3.12 on.
        total = 0.0
        for w in weights:
            total += w
        for destination, w in enumerate(weights):
            net.set_routing_probability(source, destination, 0.8 * w / total)
    for node in (0, 5, 10):
        net.set_number_of_external_arrivals_at_node_pmf(node, {0: 0.8, 1: 0.2})
    return _run_network(net, steps)


def mixed_network(steps):
    """Many servers at node 0, own-node routing at some nodes only, a routing of 1, a node
    routing nothing, and routings changed halfway."""
    net = movra.StandardNetworkMultiserver(6)
    servers = [20, 2, 3, 2, 1, 1]
    routes = {(0, 0): 0.2, (0, 1): 0.5, (0, 2): 0.3, (1, 3): 1.0, (2, 2): 0.4, (2, 4): 0.3,
              (4, 0): 0.1, (4, 5): 0.6, (5, 1): 0.5}
    for (s, t), r in routes.items():
        net.set_routing_probability(s, t, r)
    net.set_number_of_external_arrivals_at_node_pmf(0, poisson(4.0))
    net.set_number_of_external_arrivals_at_node_pmf(4, {0: 0.5, 2: 0.5})
    for k, c in enumerate(servers):
        net.set_number_of_servers_at_node(k, c)
        net.set_service_duration_at_node_pmf(k, uniform(1, 3) if k else uniform(2, 6))
        net.reset_node_with_number_of_entities(k, 3 * k)
    for t in range(steps):
        if t == steps // 2:
            net.set_routing_probability(0, 1, 0.45)
            net.set_routing_probability(4, 5, 0.65)
        net.step()
    return "|".join(_hex(node) for node in net.internal_state)


def _run_network(net, steps):
    for k in range(net.get_number_of_nodes()):
        net.set_number_of_servers_at_node(k, 2)
        net.set_service_duration_at_node_pmf(k, uniform(1, 3))
        net.reset_node_with_number_of_entities(k, 0)
    for _ in range(steps):
        net.step()
    return "|".join(_hex(node) for node in net.internal_state)


WORKLOADS = {
    "W1": lambda: station(4, poisson(1.2), uniform(1, 4), 300),
    "W2": lambda: station(16, poisson(5.0), uniform(1, 5), 200),
    "W3": lambda: station(1, {0: 0.7, 1: 0.2, 2: 0.1}, {1: 0.5, 3: 0.5}, 400),
    "W3obs": lambda: station(1, {0: 0.7, 1: 0.2, 2: 0.1}, {1: 0.5, 3: 0.5}, 100,
                             observe=(2, 6)),
    "W4": lambda: line_network(200),
    "W5": lambda: random_network(150),
    "N6": lambda: mixed_network(60),
    "C32": lambda: station(32, poisson(0.9 * 32 / 3), uniform(1, 5), 200),
    "C48": lambda: station(48, poisson(0.9 * 48 / 3), {1: 0.1, 3: 0.3, 5: 0.6}, 150),
}


def digest(name):
    return hashlib.sha256(WORKLOADS[name]().encode()).hexdigest()


if __name__ == "__main__":
    print(json.dumps({name: digest(name) for name in WORKLOADS}, indent=1))
