"""Monte Carlo simulation of the discrete-time queue that movra models, vectorised over
independent replications with numpy.

One step, for every replication at once and in this order:

1. every entity in service with 1 step of service left completes and leaves its
   station; the others in service have one step less left;
2. each completion at a network node is routed: to node j with the routing probability
   of the row, out of the network with what the row leaves below 1;
3. the step's arrivals join each station: its external batch plus the completions
   routed to it during this same step (from other nodes or from itself);
4. free servers take waiting entities, each with a fresh service duration (an entity
   that starts with duration s completes during the s-th step after this one).

Nothing is carried between stations but the routed entities, so the simulation keeps
every correlation that the model's independent nodes drop.
"""

import numpy as np


class Sampler:
    """Draws from a PMF given as {value: probability}, by inverting its distribution function."""

    def __init__(self, pmf):
        values = sorted(v for v, p in pmf.items() if p > 0)
        weights = np.array([pmf[v] for v in values], dtype=float)
        self.values = np.array(values, dtype=np.int64)
        cdf = np.cumsum(weights)
        self.cdf = cdf / cdf[-1]
        self.last = len(values) - 1

    def draw(self, rng, size):
        index = np.searchsorted(self.cdf, rng.random(size), side="right")
        return self.values[np.minimum(index, self.last)]


class Station:
    """`reps` replications of one station with `servers` servers, all empty at the start.

    `remaining[r, s]` is the service time left at server s of replication r (0 = idle);
    `z[r]` counts the entities at the station, waiting or in service.
    """

    def __init__(self, servers, service, reps):
        self.servers = servers
        self.service = Sampler(service)
        self.z = np.zeros(reps, dtype=np.int64)
        self.remaining = np.zeros((reps, max(servers, 1)), dtype=np.int16)

    def complete(self):
        """Rule 1: return the number of completions of each replication."""
        if self.servers == 0:
            return np.zeros_like(self.z)
        busy = self.remaining > 0
        done = np.count_nonzero(self.remaining == 1, axis=1)
        self.remaining -= busy
        self.z -= done
        self._in_service = np.minimum(self.z + done, self.servers) - done
        return done

    def admit(self, rng, arrivals):
        """Rules 3 and 4: add the step's arrivals and fill the free servers."""
        self.z += arrivals
        if self.servers == 0:
            return
        need = np.minimum(self.z, self.servers) - self._in_service
        if not need.any():
            return
        idle = self.remaining == 0
        if self.servers == 1:
            start = idle & (need[:, None] > 0)
        else:
            start = idle & (np.cumsum(idle, axis=1, dtype=np.int16) <= need[:, None])
        self.remaining[start] = self.service.draw(rng, np.count_nonzero(start))


def simulate_station(servers, arrivals, service, steps, reps, rng, chunk=500_000):
    """Number in system after `steps` steps from empty, one value per replication."""
    arrive = Sampler(arrivals)
    out = []
    for start in range(0, reps, chunk):
        n = min(chunk, reps - start)
        station = Station(servers, service, n)
        for _ in range(steps):
            station.complete()
            station.admit(rng, arrive.draw(rng, n))
        out.append(station.z)
    return np.concatenate(out)


def simulate_network(nodes, routing, steps, reps, rng):
    """Numbers at every node after `steps` steps from empty, shape (nodes, reps).

    `nodes` is a list of (servers, external arrivals PMF, service PMF); `routing` maps
    (source, destination) to a probability.
    """
    n = len(nodes)
    stations = [Station(c, service, reps) for c, _, service in nodes]
    external = [Sampler(arrivals) for _, arrivals, _ in nodes]
    rows = []
    for source in range(n):
        row = [routing.get((source, t), 0.0) for t in range(n)]
        rows.append(np.array(row + [max(0.0, 1.0 - sum(row))]))
    for _ in range(steps):
        inflow = [external[k].draw(rng, reps) for k in range(n)]
        for source, station in enumerate(stations):
            done = station.complete()
            if rows[source][:n].any() and done.any():
                routed = rng.multinomial(done, rows[source])
                for t in range(n):
                    inflow[t] += routed[:, t]
        for k, station in enumerate(stations):
            station.admit(rng, inflow[k])
    return np.stack([station.z for station in stations])


def empirical_pmf(samples):
    """{value: frequency} of an array of non-negative integers."""
    counts = np.bincount(samples)
    return {int(v): c / len(samples) for v, c in enumerate(counts) if c}


def tv_distance(p, q):
    keys = set(p) | set(q)
    return 0.5 * sum(abs(p.get(k, 0.0) - q.get(k, 0.0)) for k in keys)


def expected_sampling_tv(pmf, reps):
    """Expected TV distance between `pmf` and the frequencies of `reps` draws from it.

    Each frequency is off by about sqrt(p(1 - p) / reps) and a normal deviation has mean
    absolute value sqrt(2 / pi) times its standard deviation.
    """
    return 0.5 * sum(np.sqrt(2 * p * (1 - p) / (np.pi * reps)) for p in pmf.values())
