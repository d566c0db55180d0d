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
        cdf = np.cumsum(weights)
        # The last entry is exactly 1, so every draw u < 1 lands inside.
        self.cdf = cdf / cdf[-1]
        self.offset = values[0]
        # Values without gaps are the offset plus the index; others need a lookup.
        contiguous = values == list(range(values[0], values[-1] + 1))
        self.values = None if contiguous else np.array(values, dtype=np.int32)

    def draw(self, rng, size):
        u = rng.random(size)
        if len(self.cdf) <= 6:  # a few comparisons beat a binary search
            index = np.zeros(size, dtype=np.int32)
            for bound in self.cdf[:-1]:
                index += u >= bound
        else:
            index = np.searchsorted(self.cdf, u, side="right").astype(np.int32)
        if self.values is not None:
            return self.values[index]
        return index + self.offset if self.offset else index


class Station:
    """`reps` replications of one station with `servers` servers, all empty at the start.

    `finish[s][r]` is the step during which server s of replication r completes its
    entity (the server is idle once that step has come); `z[r]` counts the entities at
    the station, waiting or in service; `t` is the step being taken.  The servers are
    few, so the loops run over them and numpy runs over the replications.
    """

    def __init__(self, servers, service, reps):
        self.servers = servers
        self.service = Sampler(service)
        self.z = np.zeros(reps, dtype=np.int32)
        self.finish = [np.zeros(reps, dtype=np.int32) for _ in range(servers)]
        self.t = 0

    def complete(self):
        """Rule 1, for the next step: return the number of completions of each replication."""
        self.t += 1
        done = np.zeros_like(self.z)
        for row in self.finish:
            done += row == self.t
        self._in_service = np.minimum(self.z, self.servers) - done
        self.z -= done
        return done

    def admit(self, rng, arrivals):
        """Rules 3 and 4: add the step's arrivals and fill the free servers."""
        self.z += arrivals
        need = np.minimum(self.z, self.servers) - self._in_service
        if self.servers == 0 or not need.any():
            return
        started = np.zeros_like(self.z)
        for row in self.finish:
            start = (row <= self.t) & (started < need)
            started += start
            row[start] = self.t + self.service.draw(rng, np.count_nonzero(start))


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
