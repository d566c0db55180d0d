"""Cost of the operations that walk a model's whole configuration (copy.copy, which is
__reduce__ and __setstate__, and mark followed by restore), two builds side by side.

Both builds are loaded into one process as two copies of the module and timed in turn,
operation by operation, so that both see the same machine load. Prints per type and
operation the median microseconds of each build and the ratio old / new.

Run:  python3 benchmarks/bench_configuration.py NEW_BUILD_DIR OLD_BUILD_DIR [--reps N]
(each a folder holding a built _movra*.so, such as build/release or a build of main).
"""

import argparse
import copy
import statistics
import time

from bench_steps import _load_module


def station(m, exact):
    s = (m.ExactMultiserver if exact else m.StandardMultiserver)()
    s.number_of_servers = 2
    s.number_of_arrivals_pmf = {0: 0.5, 1: 0.3, 2: 0.2}
    s.service_duration_pmf = {1: 0.6, 3: 0.4}
    s.reset_with_number_of_entities_in_system(1)
    for _ in range(20):
        s.step()
    s.mark()
    s.service_duration_pmf = {2: 0.5, 4: 0.5}
    return s


def network(m, exact):
    n = (m.ExactNetworkMultiserver if exact else m.StandardNetworkMultiserver)(3)
    for k in range(3):
        n.set_number_of_servers_at_node(k, 1 + k % 2)
        n.set_number_of_external_arrivals_at_node_pmf(k, {0: 0.7, 1: 0.3})
        n.set_service_duration_at_node_pmf(k, {1: 0.5, 2: 0.5})
        n.set_routing_probability(k, (k + 1) % 3, 0.4)
    for _ in range(6):
        n.step()
    n.mark()
    n.set_number_of_servers_at_node(1, 3)
    return n


MAKERS = {
    "StandardMultiserver": lambda m: station(m, False),
    "ExactMultiserver": lambda m: station(m, True),
    "StandardNetworkMultiserver": lambda m: network(m, False),
    "ExactNetworkMultiserver": lambda m: network(m, True),
}


def mark_restore(x):
    x.mark()
    x.restore()


OPERATIONS = {"copy.copy": copy.copy, "mark+restore": mark_restore}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("new")
    parser.add_argument("old")
    parser.add_argument("--reps", type=int, default=2001)
    args = parser.parse_args()
    modules = [_load_module(args.new), _load_module(args.old)]
    for name, make in MAKERS.items():
        instances = [make(m) for m in modules]
        for label, operation in OPERATIONS.items():
            times = [[], []]
            for _ in range(args.reps):
                for i, x in enumerate(instances):
                    start = time.perf_counter_ns()
                    operation(x)
                    times[i].append(time.perf_counter_ns() - start)
            new, old = (statistics.median(t) / 1000 for t in times)
            print(f"{name:28} {label:13} new {new:8.2f} us  old {old:8.2f} us  "
                  f"old/new {old / new:5.2f}")


if __name__ == "__main__":
    main()
