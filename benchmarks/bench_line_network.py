"""A long line network: what a step and a pickle round trip cost as the node count grows.

N nodes (6,000 by default), one server each, service {1: 1.0}; node k sends each
completion on to node k + 1 with probability 0.9 (the last node's leave); node 0
receives {0: 0.5, 1: 0.5} arrivals per step.  Only N - 1 routings are set, so time,
memory and pickled size should follow N plus the routes, not N squared.

Prints: the arena of a new instance, the time to set every routing, then after WARM
steps the median time of one step (restoring a mark between repetitions), the median
time of pickle.dumps + pickle.loads (highest protocol) and the pickled size, the
instance's peak arena use, and how far the process's peak resident set grew over the
whole run.

Run:  python benchmarks/bench_line_network.py [N]
"""

import pickle
import resource
import statistics
import sys
import time

import movra

WARM = 20
REPS = 11


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def median_seconds(action, reps=REPS):
    samples = []
    for _ in range(reps):
        t0 = time.perf_counter()
        action()
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples)


def main():
    nodes = int(sys.argv[1]) if len(sys.argv) > 1 else 6000
    rss0 = peak_rss_mib()
    net = movra.StandardNetworkMultiserver(nodes)
    print(f"{nodes} nodes: new instance holds {net.current_memory_use / 2**20:.2f} MiB")
    t0 = time.perf_counter()
    for k in range(nodes):
        net.set_number_of_servers_at_node(k, 1)
        if k + 1 < nodes:
            net.set_routing_probability(k, k + 1, 0.9)
    net.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.5, 1: 0.5})
    print(f"configured in {time.perf_counter() - t0:.2f} s")
    for _ in range(WARM):
        net.step()
    net.mark()

    def step():
        net.step()
        net.restore()

    step_s = median_seconds(step)
    size = len(pickle.dumps(net, protocol=pickle.HIGHEST_PROTOCOL))
    trip_s = median_seconds(lambda: pickle.loads(pickle.dumps(net, protocol=pickle.HIGHEST_PROTOCOL)))
    print(f"step {step_s * 1e3:.1f} ms (median of {REPS}); pickle round trip {trip_s * 1e3:.1f} ms, "
          f"{size / 2**20:.2f} MiB pickled")
    print(f"instance peak arena {net.peak_memory_use / 2**20:.2f} MiB; "
          f"process peak RSS grew {peak_rss_mib() - rss0:.1f} MiB")


if __name__ == "__main__":
    main()
