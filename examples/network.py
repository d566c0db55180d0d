"""A clinic as a three-node network: triage -> treatment -> checkout, with rework.

Patients arrive at triage only.  After triage 80% go on to treatment and the
rest are sent home; every treated patient goes to checkout, and 10% of those
are found to need more treatment and go back.  The script steps the network
for 40 steps from empty and prints the mean number of patients at each node
every few steps.

Run:  python examples/network.py
"""

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


def main():
    clinic = build()
    names = [name for name, _, _ in NODES]
    print("mean number of patients at each node (from an empty clinic)")
    print(" step" + "".join(f"{name:>11}" for name in names) + "      total")
    while clinic.time < STEPS:
        clinic.step()
        if clinic.time % 5 == 0:
            means = [mean(clinic.get_number_of_entities_at_node_pmf(k))
                     for k in range(clinic.get_number_of_nodes())]
            print(f"{clinic.time:5d}" + "".join(f"{m:11.3f}" for m in means)
                  + f"{sum(means):11.3f}")


if __name__ == "__main__":
    main()
