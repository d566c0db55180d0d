"""A three-server checkout, forecast step by step, then corrected by a head count.

Customers arrive in Poisson batches (mean 1.0 per step) and need 1 to 4 steps
at one of c = 3 tills.  The script steps the station for 40 steps from empty
and prints how the number in system z evolves.  At step 20 a supervisor counts
the customers; the script branches with mark()/restore() to show the forecast
without and with that count.  With matplotlib installed it also writes
station.png, a heat map of the PMF of z over time.

Run:  python examples/station.py
"""

import math

import movra

SERVERS = 3
ARRIVAL_MEAN = 1.0
SERVICE = {1: 0.2, 2: 0.3, 3: 0.3, 4: 0.2}  # steps at the till; mean 2.5
STEPS = 40
OBSERVE_AT = 20
OBSERVED = 9  # the head count at OBSERVE_AT
HORIZON = 8  # steps forecast after the count
BUSY = 6  # report P(z >= BUSY): more customers than tills, twice over


def poisson(mean, cut=1e-12):
    """Poisson PMF as a dict, without the tail terms below `cut`."""
    pmf, k, p = {}, 0, math.exp(-mean)
    while p >= cut or k <= mean:
        pmf[k] = p
        k += 1
        p *= mean / k
    return pmf


def mean(pmf):
    return sum(z * p for z, p in pmf.items())


def tail(pmf, k):
    return sum(p for z, p in pmf.items() if z >= k)


def summary_of(pmf):
    """(E[z], P(z = 0), P(z >= BUSY)) of a PMF of z."""
    return mean(pmf), pmf.get(0, 0.0), tail(pmf, BUSY)


def summary(station):
    return summary_of(station.get_number_of_entities_in_system_pmf())


def forecast(station, steps):
    """Step `steps` times; return the summary after each step."""
    rows = []
    for _ in range(steps):
        station.step()
        rows.append(summary(station))
    return rows


def write_heat_map(history, path="station.png"):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    # Step 0 (z = 0 for sure) would swamp the colour scale; the far tail is
    # invisible anyway.
    history = history[1:]
    top = max(z for pmf in history for z, p in pmf.items() if p >= 1e-3)
    grid = [[pmf.get(z, 0.0) for pmf in history] for z in range(top + 1)]
    fig, ax = plt.subplots(figsize=(7, 3.5))
    image = ax.imshow(grid, origin="lower", aspect="auto", cmap="viridis",
                      extent=(0.5, len(history) + 0.5, -0.5, top + 0.5))
    ax.set_xlabel("step")
    ax.set_ylabel("customers in system z")
    ax.set_title(f"P(z) over time, checkout with {SERVERS} tills")
    fig.colorbar(image, ax=ax, label="probability")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return True


def main():
    station = movra.StandardMultiserver()
    station.number_of_servers = SERVERS
    station.number_of_arrivals_pmf = poisson(ARRIVAL_MEAN)
    station.service_duration_pmf = SERVICE
    station.reset_with_number_of_entities_in_system(0)

    load = ARRIVAL_MEAN * mean(SERVICE) / SERVERS
    print(f"checkout: c={SERVERS}, arrivals Poisson({ARRIVAL_MEAN}), "
          f"service {SERVICE}, load {load:.2f}")
    print()
    print(f" step   E[z]   P(z=0)  P(z>={BUSY})")
    history = [station.get_number_of_entities_in_system_pmf()]
    while station.time < STEPS:
        if station.time == OBSERVE_AT:
            station.mark()  # the branch point for the head count below
        station.step()
        history.append(station.get_number_of_entities_in_system_pmf())
        if station.time % 5 == 0:
            m, p0, busy = summary(station)
            print(f"{station.time:5d}  {m:5.2f}  {p0:7.4f}  {busy:7.4f}")

    # Back to the branch point: same forecast, but now conditioned on the count.
    station.restore()
    station.apply_observation_value(OBSERVED)
    counted = [summary(station)] + forecast(station, HORIZON)
    plain = [summary_of(pmf) for pmf in history[OBSERVE_AT:OBSERVE_AT + HORIZON + 1]]

    print()
    print(f"at step {OBSERVE_AT} the supervisor counts z = {OBSERVED} customers")
    print("        ---- no count ----   -- after the count --")
    print(f" step   E[z]  P(z>={BUSY})         E[z]  P(z>={BUSY})")
    for t, (a, b) in enumerate(zip(plain, counted), start=OBSERVE_AT):
        print(f"{t:5d}  {a[0]:5.2f}  {a[2]:7.4f}       {b[0]:5.2f}  {b[2]:7.4f}")

    if write_heat_map(history):
        print()
        print(f"wrote station.png (P(z) over steps 1..{STEPS})")


if __name__ == "__main__":
    main()
