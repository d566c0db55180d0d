"""Two single-server stations in line, each serving in exactly 2 steps: what the exact
joint model knows that the independent one cannot.

Entities arrive at the first station with probability 0.4 per step; every one it
serves goes on to the second.  A server with a fixed service time never lets two
departures follow each other closely, so the second station never holds more than one
entity.  StandardNetworkMultiserver carries the stations as independent PMFs and sees
bursts that do not exist; ExactNetworkMultiserver carries their joint state and agrees
with the true network.  Being joint, it also answers what an observation of one
station says about the other.

With matplotlib installed it draws exact_network.png (the second station's PMF under
both models, and the first station's PMF given what is seen at the second) into the
folder given as the first argument, or the current folder.

Run:  python examples/exact_network.py [output-folder]
"""

import os
import sys

import movra

STEPS = 60


def build(cls):
    net = cls(2)
    for node in range(2):
        net.set_number_of_servers_at_node(node, 1)
        net.set_service_duration_at_node_pmf(node, {2: 1.0})
    net.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.6, 1: 0.4})
    net.set_routing_probability(0, 1, 1.0)
    for _ in range(STEPS):
        net.step()
    return net


def draw(folder, independent, exact, given):
    """Write exact_network.png; return its path, or None without matplotlib."""
    try:
        import matplotlib
    except ImportError:
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
    width = 0.4
    for shift, pmf, label in [(-width / 2, independent, "independent"), (width / 2, exact, "exact joint")]:
        left.bar([z + shift for z in pmf], list(pmf.values()), width=width, label=label)
    left.set_title(f"second station after {STEPS} steps")
    left.set_xlabel("entities at the second station")
    left.set_ylabel("probability")
    left.legend()
    for shift, (seen, pmf) in zip([-width / 2, width / 2], given.items()):
        right.bar([z + shift for z in pmf], list(pmf.values()), width=width, label=f"second station holds {seen}")
    right.set_title("first station, given the second")
    right.set_xlabel("entities at the first station")
    right.legend()
    fig.tight_layout()
    path = os.path.join(folder, "exact_network.png")
    fig.savefig(path, dpi=80)
    plt.close(fig)
    return path


def main(folder="."):
    independent = build(movra.StandardNetworkMultiserver)
    exact = build(movra.ExactNetworkMultiserver)
    ind1 = independent.get_number_of_entities_at_node_pmf(1)
    ex1 = exact.get_number_of_entities_at_node_pmf(1)
    print(f"second station after {STEPS} steps (independent / exact joint):")
    for z in sorted(set(ind1) | set(ex1)):
        if max(ind1.get(z, 0.0), ex1.get(z, 0.0)) < 1e-3:
            continue
        print(f"  z = {z}: {ind1.get(z, 0.0):.4f} / {ex1.get(z, 0.0):.4f}")
    print(f"exact joint model: {exact!r}")
    given = {}
    for seen in (0, 1):
        exact.mark()
        exact.apply_observation_value_at_node(1, seen)
        given[seen] = exact.get_number_of_entities_at_node_pmf(0)
        mean = sum(z * p for z, p in given[seen].items())
        print(f"seeing {seen} at the second station, the first holds {mean:.3f} on average")
        exact.restore()
    path = draw(folder, ind1, ex1, given)
    if path:
        print(f"wrote {os.path.abspath(path)}")
    else:
        print("no picture: matplotlib is not installed (pip install matplotlib)")


if __name__ == "__main__":
    main(*sys.argv[1:2])
