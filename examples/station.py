"""A three-server checkout, forecast step by step, then corrected by a head count.

Customers arrive in Poisson batches (mean 1.0 per step) and need 1 to 4 steps
at one of c = 3 tills.  The script steps the station for 40 steps from empty
and prints how the number in system z evolves.  At step 20 a supervisor counts
the customers; the script branches with mark()/restore() to show the forecast
without and with that count.

With matplotlib installed (pip install matplotlib) it also draws two pictures:
station_pmf.png, the PMF of z over time as a heat map with its mean and 95%
quantile, and station_observation.png, the forecast after step 20 with and
without the count.  They go into the folder given as the first argument, or
the current folder.

Run:  python examples/station.py [output-folder]
"""

import os
import sys

import movra
from movra import dist

SERVERS = 3
ARRIVAL_MEAN = 1.0
SERVICE = {1: 0.2, 2: 0.3, 3: 0.3, 4: 0.2}  # steps at the till; mean 2.5
STEPS = 40
OBSERVE_AT = 20
OBSERVED = 9  # the head count at OBSERVE_AT
HORIZON = 8  # steps forecast after the count
BUSY = 6  # report P(z >= BUSY): more customers than tills, twice over
LEVEL = 0.95  # the quantile drawn over the heat map


def mean(pmf):
    return sum(z * p for z, p in pmf.items())


def tail(pmf, k):
    return sum(p for z, p in pmf.items() if z >= k)


def quantile(pmf, level):
    """Smallest z with P(Z <= z) >= level."""
    total = 0.0
    for z in sorted(pmf):
        total += pmf[z]
        if total >= level:
            return z
    return max(pmf)


def summary_of(pmf):
    """(E[z], P(z = 0), P(z >= BUSY)) of a PMF of z."""
    return mean(pmf), pmf.get(0, 0.0), tail(pmf, BUSY)


def forecast(station, steps):
    """Step `steps` times; return the PMF of z after each step."""
    pmfs = []
    for _ in range(steps):
        station.step()
        pmfs.append(station.get_number_of_entities_in_system_pmf())
    return pmfs


def draw(history, plain, counted, folder):
    """Write the two pictures; return their paths, or [] without matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return []
    paths = []

    # Heat map of P(z) over steps 1..STEPS (step 0, z = 0 for sure, would swamp the
    # colour scale; the far tail is invisible anyway).
    shown = history[1:]
    steps = range(1, len(shown) + 1)
    top = max(z for pmf in shown for z, p in pmf.items() if p >= 1e-3)
    grid = [[pmf.get(z, 0.0) for pmf in shown] for z in range(top + 1)]
    fig, ax = plt.subplots(figsize=(7, 3.8))
    image = ax.imshow(grid, origin="lower", aspect="auto", cmap="viridis",
                      extent=(0.5, len(shown) + 0.5, -0.5, top + 0.5))
    ax.plot(steps, [mean(p) for p in shown], color="white", label="mean")
    ax.step(steps, [quantile(p, LEVEL) for p in shown], where="mid", color="orange",
            label=f"{LEVEL:.0%} quantile")
    ax.set_xlabel("step")
    ax.set_ylabel("customers in system z")
    ax.set_title(f"P(z) over time, checkout with {SERVERS} tills")
    ax.legend(loc="upper left", fontsize="small")
    fig.colorbar(image, ax=ax, label="probability")
    fig.tight_layout()
    paths.append(os.path.join(folder, "station_pmf.png"))
    fig.savefig(paths[-1], dpi=120)
    plt.close(fig)

    # The forecast from the count on, with and without it: mean and 5%..95% band.
    fig, ax = plt.subplots(figsize=(7, 3.8))
    steps = range(OBSERVE_AT, OBSERVE_AT + len(plain))
    for pmfs, label, colour in ((plain, "no count", "tab:blue"),
                                (counted, f"counted z = {OBSERVED} at step {OBSERVE_AT}",
                                 "tab:red")):
        ax.fill_between(steps, [quantile(p, 0.05) for p in pmfs],
                        [quantile(p, 0.95) for p in pmfs], step="mid", alpha=0.2,
                        color=colour)
        ax.plot(steps, [mean(p) for p in pmfs], marker="o", color=colour,
                label=f"{label}: mean, 5%..95%")
    ax.set_xlabel("step")
    ax.set_ylabel("customers in system z")
    ax.set_title("Forecast with and without the head count")
    ax.set_ylim(0, 1.4 * max(quantile(p, 0.95) for p in plain + counted))  # room for the legend
    ax.legend(loc="upper right", fontsize="small")
    fig.tight_layout()
    paths.append(os.path.join(folder, "station_observation.png"))
    fig.savefig(paths[-1], dpi=120)
    plt.close(fig)
    return paths


def main(folder="."):
    station = movra.StandardMultiserver()
    station.number_of_servers = SERVERS
    station.number_of_arrivals_pmf = dist.poisson(ARRIVAL_MEAN)
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
            m, p0, busy = summary_of(history[-1])
            print(f"{station.time:5d}  {m:5.2f}  {p0:7.4f}  {busy:7.4f}")

    # Back to the branch point: same forecast, but now conditioned on the count.
    station.restore()
    station.apply_observation_value(OBSERVED)
    counted = [station.get_number_of_entities_in_system_pmf()] + forecast(station, HORIZON)
    plain = history[OBSERVE_AT:OBSERVE_AT + HORIZON + 1]

    print()
    print(f"at step {OBSERVE_AT} the supervisor counts z = {OBSERVED} customers")
    print("        ---- no count ----   -- after the count --")
    print(f" step   E[z]  P(z>={BUSY})         E[z]  P(z>={BUSY})")
    for t, (a, b) in enumerate(zip(plain, counted), start=OBSERVE_AT):
        a, b = summary_of(a), summary_of(b)
        print(f"{t:5d}  {a[0]:5.2f}  {a[2]:7.4f}       {b[0]:5.2f}  {b[2]:7.4f}")

    print()
    paths = draw(history, plain, counted, folder)
    for path in paths:
        print(f"wrote {os.path.abspath(path)}")
    if not paths:
        print("no pictures: matplotlib is not installed (pip install matplotlib)")


if __name__ == "__main__":
    main(*sys.argv[1:2])
