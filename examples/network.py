"""A clinic as a three-node network: triage -> treatment -> checkout, with rework.

Patients arrive at triage only.  After triage 80% go on to treatment and the
rest are sent home; every treated patient goes to checkout, and 10% of those
are found to need more treatment and go back.  The script steps the network
for 40 steps from empty and prints the mean number of patients at each node
every few steps, and which nodes the model approximates.

With matplotlib installed (pip install matplotlib) it also draws network.png,
the mean number at each node over time, into the folder given as the first
argument, or the current folder.

Run:  python examples/network.py [output-folder]
"""

import os
import sys

import movra

# name, servers, service duration PMF (steps)
NODES = [
    ("triage", 2, {1: 0.6, 2: 0.4}),
    ("treatment", 3, {2: 0.25, 3: 0.25, 4: 0.25, 5: 0.25}),
    ("checkout", 1, {1: 1.0}),
]
ARRIVALS = {0: 0.5, 1: 0.35, 2: 0.15}  # new patients per step, at triage
ROUTING = {(0, 1): 0.8, (1, 2): 1.0, (2, 1): 0.1}  # (from, to): probability
STEPS = 40


def mean(pmf):
    return sum(z * p for z, p in pmf.items())


def build():
    clinic = movra.StandardNetworkMultiserver(len(NODES))
    for k, (_, servers, service) in enumerate(NODES):
        clinic.set_number_of_servers_at_node(k, servers)
        clinic.set_service_duration_at_node_pmf(k, service)
        clinic.reset_node_with_number_of_entities(k, 0)
    clinic.set_number_of_external_arrivals_at_node_pmf(0, ARRIVALS)
    for (source, destination), p in ROUTING.items():
        clinic.set_routing_probability(source, destination, p)
    return clinic


def approximated(k):
    """Why the model's numbers for node k are approximate, or None where they are exact.

    One server and no entities from other nodes make a node an exact Markov chain.  With
    several servers the ones in service are taken as alike; and the network carries its
    nodes as independent, so an inflow loses how departures upstream hang together from
    one step to the next.
    """
    reasons = []
    if NODES[k][1] > 1:
        reasons.append(f"{NODES[k][1]} servers")
    feeders = [NODES[s][0] for (s, t), p in ROUTING.items() if t == k and s != k and p > 0]
    if feeders:
        reasons.append("fed by " + " and ".join(feeders))
    return ", ".join(reasons) or None


def draw(history, folder):
    """Write network.png; return its path, or None without matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    fig, ax = plt.subplots(figsize=(8.5, 3.8))
    steps = range(len(history))
    for k, (name, servers, _) in enumerate(NODES):
        ax.plot(steps, [means[k] for means in history], label=f"{name} ({servers} srv)")
    ax.plot(steps, [sum(means) for means in history], color="black", linestyle="--",
            label="whole clinic")
    ax.set_xlabel("step")
    ax.set_ylabel("mean number of patients")
    ax.set_title("Clinic from empty: mean number at each node")
    ax.legend(loc="upper left", bbox_to_anchor=(1.02, 1), fontsize="small")
    fig.tight_layout()
    path = os.path.join(folder, "network.png")
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path


def node_means(clinic):
    return [mean(clinic.get_number_of_entities_at_node_pmf(k))
            for k in range(clinic.get_number_of_nodes())]


def main(folder="."):
    clinic = build()
    names = [name for name, _, _ in NODES]
    print("mean number of patients at each node (from an empty clinic)")
    print(" step" + "".join(f"{name:>11}" for name in names) + "      total")
    history = [node_means(clinic)]
    while clinic.time < STEPS:
        clinic.step()
        history.append(node_means(clinic))
        if clinic.time % 5 == 0:
            means = history[-1]
            print(f"{clinic.time:5d}" + "".join(f"{m:11.3f}" for m in means)
                  + f"{sum(means):11.3f}")

    print()
    notes = [f"{name} ({approximated(k)})" for k, name in enumerate(names) if approximated(k)]
    exact = [name for k, name in enumerate(names) if not approximated(k)]
    print("the approximation affects " + ("; ".join(notes) if notes else "no node")
          + "; exact: " + (", ".join(exact) if exact else "no node")
          + " (benchmarks/accuracy.py measures the error)")
    path = draw(history, folder)
    print()
    if path:
        print(f"wrote {os.path.abspath(path)}")
    else:
        print("no picture: matplotlib is not installed (pip install matplotlib)")


if __name__ == "__main__":
    main(*sys.argv[1:2])
