"""A passport desk with three officers, where the standard model's shortcut shows.

Each step (a minute) one traveller arrives with probability 0.9 and every check takes
exactly 3 minutes: a regular queue, which three officers serve without anyone ever
waiting. StandardMultiserver treats the busy officers' remaining times as independent
draws and so sees a queue that is not there; ExactMultiserver carries every officer's
remaining time and gives the true answer. The script steps both for 60 minutes from
empty and prints P(someone waits) = P(z > 3) over time, then the exact station with a
waiting room of 6 and travellers who give up with probability 0.2 per minute of
waiting, when only two officers are on duty.

With matplotlib installed it writes exact.png (both PMFs of z at minute 60, and
P(z > 3) over time) into the folder given as the first argument, or the current folder.

Run:  python examples/exact.py [output-folder]
"""

import os
import sys

import movra

OFFICERS = 3
ARRIVALS = {0: 0.1, 1: 0.9}
CHECK = {3: 1.0}
MINUTES = 60


def desk(kind):
    m = kind()
    m.number_of_servers = OFFICERS
    m.number_of_arrivals_pmf = ARRIVALS
    m.service_duration_pmf = CHECK
    return m


def waiting_chance(pmf, servers):
    return sum(p for z, p in pmf.items() if z > servers)


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "."
    standard, exact = desk(movra.StandardMultiserver), desk(movra.ExactMultiserver)
    history = []
    for minute in range(1, MINUTES + 1):
        standard.step()
        exact.step()
        pair = [waiting_chance(m.get_number_of_entities_in_system_pmf(), OFFICERS)
                for m in (standard, exact)]
        history.append(pair)
        if minute % 10 == 0:
            print(f"minute {minute:2d}: P(someone waits) standard {pair[0]:.3f}, "
                  f"exact {pair[1]:.3f}")
    print(exact)
    print("officers' remaining minutes at minute 60:",
          {times: round(p, 3) for (z, times), p in exact.internal_state.items()})

    # Two officers instead of three: a waiting room of 6, and impatient travellers.
    # (_blocking_probability is the entry point the toolkit's blocking_probability uses.)
    short = desk(movra.ExactMultiserver)
    short.number_of_servers = 2
    short.capacity = 6
    short.abandonment_probability = 0.2
    for _ in range(MINUTES):
        short.step()
    pz = short.get_number_of_entities_in_system_pmf()
    print(f"two officers, room for 6, 20% give up per minute waiting: mean "
          f"{sum(z * p for z, p in pz.items()):.2f} in the hall, P(full) {pz.get(6, 0.0):.3f}, "
          f"{100 * short._blocking_probability():.2f}% of arrivals turned away next minute")

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no picture")
        return
    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
    for offset, (m, name) in enumerate(((standard, "standard"), (exact, "exact"))):
        pmf = m.get_number_of_entities_in_system_pmf()
        left.bar([z + 0.4 * offset - 0.2 for z in pmf], list(pmf.values()), width=0.4, label=name)
    left.set(xlabel="travellers at the desk, z", ylabel="P(z)", title=f"minute {MINUTES}")
    left.legend()
    minutes = range(1, MINUTES + 1)
    right.plot(minutes, [h[0] for h in history], label="standard")
    right.plot(minutes, [h[1] for h in history], label="exact")
    right.set(xlabel="minute", ylabel=f"P(z > {OFFICERS})", title="chance that someone waits")
    right.legend()
    fig.tight_layout()
    path = os.path.join(folder, "exact.png")
    fig.savefig(path, dpi=80)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
