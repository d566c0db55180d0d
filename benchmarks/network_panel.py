"""The panel of small networks on which the independent and the exact joint network
models are compared: lines, a split and merge, a loop and a small mesh, each started
empty, with deterministic, regular or geometric-like service.

Each network is (name, servers, external arrivals, service, routing), routing[i][j]
the probability that a completion at i moves to j (the rest of a row leaves).
"""

import movra

DET2 = {2: 1.0}
DET3 = {3: 1.0}
REG = {2: 0.5, 3: 0.5}  # regular: little spread
GEO = {1: 0.5, 2: 0.25, 3: 0.125, 4: 0.125}  # geometric-like, mean 1.875
ZERO = {0: 1.0}


def _line(n):
    return [[1.0 if j == i + 1 else 0.0 for j in range(n)] for i in range(n)]


PANEL = [
    ("two in line, 1+1, D2", [1, 1], [{0: 0.6, 1: 0.4}, ZERO], [DET2, DET2], _line(2)),
    ("two in line, 2+2, {2,3}", [2, 2], [{0: 0.4, 1: 0.6}, ZERO], [REG, REG], _line(2)),
    ("two in line, 4+4, D3", [4, 4], [{0: 0.3, 1: 0.5, 2: 0.2}, ZERO], [DET3, DET3], _line(2)),
    ("three in line, 1+1+1, D2", [1, 1, 1], [{0: 0.6, 1: 0.4}, ZERO, ZERO], [DET2] * 3, _line(3)),
    ("four in line, mixed", [1, 1, 1, 1], [{0: 0.7, 1: 0.3}, ZERO, ZERO, ZERO],
     [DET2, REG, DET2, GEO], _line(4)),
    ("split and merge", [2, 1, 1, 2], [{0: 0.5, 1: 0.5}, ZERO, ZERO, ZERO],
     [REG, DET2, DET2, REG],
     [[0, 0.5, 0.5, 0], [0, 0, 0, 1.0], [0, 0, 0, 1.0], [0, 0, 0, 0]]),
    ("loop 0 -> 1 -> 0", [1, 2], [{0: 0.75, 1: 0.25}, ZERO], [DET2, REG],
     [[0, 1.0], [0.3, 0]]),
    ("small mesh", [1, 2, 1], [{0: 0.8, 1: 0.2}, {0: 0.9, 1: 0.1}, ZERO], [GEO] * 3,
     [[0, 0.6, 0.3], [0, 0, 0.7], [0.1, 0, 0]]),
]


def build(network, cls=movra.ExactNetworkMultiserver, **kw):
    """A new instance of cls (either network type) configured as `network`, empty."""
    _, servers, arrivals, service, routing = network
    net = cls(len(servers), **kw)
    for i, c in enumerate(servers):
        net.set_number_of_servers_at_node(i, c)
        net.set_number_of_external_arrivals_at_node_pmf(i, arrivals[i])
        net.set_service_duration_at_node_pmf(i, service[i])
        for j, p in enumerate(routing[i]):
            net.set_routing_probability(i, j, p)
    return net
