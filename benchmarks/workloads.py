"""The step workloads of the benchmarks, and the number of combinations of a step.

A workload is a model configuration stepped WARM_STEPS times from empty; the benchmarks
time one step from that warmed state.  A combination is one innermost put of a step:
the partial map's (z, d, a) outcomes plus the full map's (z, d, a, entityIsOld, ell')
outcomes whose weight is greater than 0.  `station_combinations` counts them from the
state and the PMFs alone, forming every weight with the products and in the order the
engine uses, so the count needs nothing from the module but the kept range of z'.
"""

import math
import pathlib
import random
import sys

# The PMF helpers are the tests' (which import neither numpy nor the module at load).
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))
from reference import poisson, uniform  # noqa: E402,F401 (also used by the benchmarks)

WARM_STEPS = 200


class Station:
    kind = "station"

    def __init__(self, name, label, servers, arrivals, service):
        self.name, self.label = name, label
        self.servers, self.arrivals, self.service = servers, arrivals, service

    def make(self, movra):
        m = movra.StandardMultiserver()
        m.number_of_servers = self.servers
        m.number_of_arrivals_pmf = self.arrivals
        m.service_duration_pmf = self.service
        m.reset_with_number_of_entities_in_system(0)
        return m

    def reference_args(self, model):
        """The arguments of reference.network_step for this configuration and model's state."""
        return ([self.servers], [self.arrivals], [self.service], [[0.0]], [model.internal_state])

    def key(self):
        return repr(("station", self.servers, sorted(self.arrivals.items()),
                     sorted(self.service.items()), WARM_STEPS))


class Network:
    kind = "network"

    def __init__(self, name, label, build, servers=2, service=None):
        self.name, self.label, self.build = name, label, build
        self.servers = servers
        self.service = service or uniform(1, 3)

    def make(self, movra):
        net = self.build(movra)
        for k in range(net.get_number_of_nodes()):
            net.set_number_of_servers_at_node(k, self.servers)
            net.set_service_duration_at_node_pmf(k, self.service)
            net.reset_node_with_number_of_entities(k, 0)
        return net

    @staticmethod
    def reference_args(model):
        """The arguments of reference.network_step for the network's configuration and state."""
        n = model.get_number_of_nodes()
        return ([model.get_number_of_servers_at_node(k) for k in range(n)],
                [model.get_number_of_external_arrivals_at_node_pmf(k) for k in range(n)],
                [model.get_service_duration_at_node_pmf(k) for k in range(n)],
                [[model.get_routing_probability(s, t) for t in range(n)] for s in range(n)],
                model.internal_state)

    def key(self):
        return repr(("network", self.name, self.servers, sorted(self.service.items()),
                     WARM_STEPS))


def line_network(movra):
    """8 nodes: node k sends 0.9 to k + 1; the last node sends 0.3 back to 0."""
    n = 8
    net = movra.StandardNetworkMultiserver(n)
    for k in range(n - 1):
        net.set_routing_probability(k, k + 1, 0.9)
    net.set_routing_probability(n - 1, 0, 0.3)
    net.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.6, 1: 0.4})
    return net


def random_network(movra, seed=2024):
    """16 nodes: each row a random split of 0.8 over all destinations."""
    n = 16
    rng = random.Random(seed)
    net = movra.StandardNetworkMultiserver(n)
    for source in range(n):
        weights = [rng.random() for _ in range(n)]
        total = sum(weights)
        for destination, w in enumerate(weights):
            # Rounding may leave the row a hair above 0.8, never near 1.
            net.set_routing_probability(source, destination, 0.8 * w / total)
    for node in (0, 5, 10):
        net.set_number_of_external_arrivals_at_node_pmf(node, {0: 0.8, 1: 0.2})
    return net


def _contact_centre(c):
    # Load 0.9: arrivals per step = 0.9 * c / mean service time (3 steps).
    return Station(f"c{c}", f"c={c} poisson({0.3 * c:g}) svc U1..5", c,
                   poisson(0.9 * c / 3), uniform(1, 5))


WORKLOADS = [
    Station("W1", "c=4 poisson(1.2) svc U1..4", 4, poisson(1.2), uniform(1, 4)),
    Station("W2", "c=16 poisson(5) svc U1..5", 16, poisson(5.0), uniform(1, 5)),
    Station("W3", "c=1 {0:.7,1:.2,2:.1} svc {1:.5,3:.5}", 1,
            {0: 0.7, 1: 0.2, 2: 0.1}, {1: 0.5, 3: 0.5}),
    Network("W4", "8-node line, c=2, svc U1..3", line_network),
    Network("W5", "16 nodes, random routing, c=2, svc U1..3", random_network),
] + [_contact_centre(c) for c in (8, 32, 64, 128, 256)]

BY_NAME = {w.name: w for w in WORKLOADS}


# ---- combinations ------------------------------------------------------------------

def _binomial(n, p):
    """(values, probabilities) as the engine's log-space recursion stores them."""
    import numpy as np
    if p <= 0:
        return np.array([0]), np.array([1.0])
    if p >= 1:
        return np.array([n]), np.array([1.0])
    log_p, log_q = math.log(p), math.log(1 - p)
    log_ratio = log_p - log_q
    x = float(n) * log_q
    out = [math.exp(x)]
    for i in range(1, n + 1):
        x = ((math.log(float(n + 1 - i)) + log_ratio) - math.log(float(i))) + x
        out.append(math.exp(x))
    return np.arange(n + 1), np.array(out)


def _positive(pmf):
    import numpy as np
    items = sorted((v, p) for v, p in pmf.items() if p > 0)
    return np.array([v for v, _ in items]), np.array([p for _, p in items])


def station_combinations(state, servers, arrivals, service, left, right):
    """Puts of positive weight of one step from `state` ({(z, ell): p}), with the new
    number of entities kept in left..right.  Returns (partial, full)."""
    # numpy is imported here only: the timing workers must not start its thread pool.
    import numpy as np
    c = servers
    by_z = {}
    for (z, ell), p in sorted(state.items()):
        by_z.setdefault(z, {})[ell] = p
    raw = {z: sum(ells[e] for e in sorted(ells)) for z, ells in by_z.items()}
    total = sum(raw[z] for z in sorted(raw))
    a_vals, a_probs = _positive(arrivals)
    s_vals, s_probs = _positive(service)
    partial = full = 0
    for z in sorted(by_z):
        prob_z = raw[z] / total
        if not prob_z > 0:
            continue
        cond = {e: p / raw[z] for e, p in by_z[z].items()}
        d_vals, d_probs = _binomial(min(z, c), cond.get(1, 0.0))
        keep = d_probs > 0
        d_vals, d_probs = d_vals[keep], d_probs[keep]
        w = (prob_z * d_probs)[:, None] * a_probs[None, :]
        zprime = z - d_vals[:, None] + a_vals[None, :]
        partial += int(np.count_nonzero(w > 0))
        kept = (zprime >= left) & (zprime <= right)
        fresh = kept & ((zprime == 0) | (c == 0))
        for p in s_probs:
            full += int(np.count_nonzero(w[fresh] * p > 0))
        busy = kept & ~fresh
        if not busy.any():
            continue
        stay = np.broadcast_to((min(z, c) - d_vals)[:, None], w.shape)[busy].astype(float)
        q = stay / np.minimum(zprime[busy], c).astype(float)
        p_old = np.where(q <= 0, 0.0, np.where(q >= 1, 1.0, q))
        p_new = np.where(q <= 0, 1.0, np.where(q >= 1, 0.0, 1 - q))
        wb = w[busy]
        relabel = [p for e, p in sorted(cond.items()) if e != 1 and p > 0]
        for branch, dist in ((p_new, s_probs), (p_old, relabel)):
            wo = (wb * branch)[branch > 0]
            for p in dist:
                full += int(np.count_nonzero(wo * p > 0))
    return partial, full
