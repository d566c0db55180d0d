"""A day in a call centre: staffing to a service level, the day's forecast as a fan chart
and a table, and the Erlang C answer beside ours.

One step is one minute.  Calls arrive in Poisson numbers whose mean follows the day
(a morning peak, a lunch dip, an afternoon peak); a call takes 2 to 6 minutes.  The
target is the usual one: 80% of calls answered within 1 minute.

1. Staffing interval by interval (half hours), the queue carried from one into the next.
2. The day run with that schedule: a fan chart of the number of calls in the system and
   a table every half hour (mean, quantiles, utilisation, service level).
3. The stationary staffing of one busy half hour against Erlang C.  Erlang C assumes
   exponential call lengths; with geometric lengths (memoryless, as it assumes) the
   two agree closely, with the real 2-6 minute calls Erlang C asks for more agents
   than needed.  The day and the geometric calls use the standard station, whose
   reading of several agents is approximate but whose state stays small; the 2-6
   minute calls are also staffed with the exact station (its state lists every
   agent's remaining time, which a long-tailed call length would make too large).

Writes planner_day.png into the folder given as the first argument, or the current one.

Run:  python examples/planner.py [output-folder]
"""

import math
import os
import sys

import movra
from movra import dist

INTERVAL = 30  # steps (minutes) per staffing interval
# Mean calls per minute over the day's half hours, from 8:00 to 14:00.
PROFILE = [0.6, 1.0, 1.6, 2.0, 1.8, 1.4, 1.0, 0.9, 1.3, 1.7, 1.5, 0.8]
SERVICE = dist.uniform(2, 6)  # minutes on the phone; mean 4
WAIT_WITHIN, TARGET = 1, 0.8


def erlang_c_servers(calls_per_step, mean_service, wait_within, target):
    """Fewest agents whose Erlang C service level reaches the target: Poisson arrivals,
    exponential service, continuous time."""
    load = calls_per_step * mean_service
    c = int(load) + 1
    while True:
        # Erlang B by its recursion, then C from B.
        b = 1.0
        for k in range(1, c + 1):
            b = load * b / (k + load * b)
        wait_prob = c * b / (c - load * (1.0 - b))
        level = 1.0 - wait_prob * math.exp(-(c - load) * wait_within / mean_service)
        if level >= target:
            return c
        c += 1


def main(folder):
    arrivals = [dist.poisson(rate) for rate in PROFILE]

    # 1. Staffing, half hour by half hour.
    plan = movra.staff_schedule(arrivals, SERVICE, steps_per_interval=INTERVAL,
                                wait_within=WAIT_WITHIN, service_level=TARGET, exact=False)
    print("Agents per half hour for 80% within 1 minute:")
    print(plan.to_string(index=False, float_format=lambda x: f"{x:.3f}"))

    # 2. The day with that plan.
    station = movra.StandardMultiserver()
    station.service_duration_pmf = SERVICE
    station.number_of_servers = int(plan.servers[0])
    station.reset_with_number_of_entities_in_system(0)
    servers = [int(n) for n in plan.servers for _ in range(INTERVAL)]
    calls = [a for a in arrivals for _ in range(INTERVAL)]
    day = movra.run(station, len(calls), arrivals=calls, servers=servers)
    table = day.to_pandas(quantiles=(0.5, 0.9), wait_within=WAIT_WITHIN)
    print("\nThe day, every half hour:")
    print(table.iloc[::INTERVAL, :].to_string(float_format=lambda x: f"{x:.3f}"))

    # 3. One busy half hour in its stationary state, against Erlang C.
    rate = 1.6
    print(f"\nStationary agents for {rate} calls a minute (ours vs Erlang C):")
    cases = (("geometric, mean 4", dist.geometric(0.25, tail=1e-8), False),
             ("uniform 2-6", SERVICE, False), ("uniform 2-6, exact", SERVICE, True))
    for name, service, exact in cases:
        mean = sum(k * p for k, p in service.items())
        ours = movra.required_servers(dist.poisson(rate), service, wait_within=WAIT_WITHIN,
                                      service_level=TARGET, exact=exact)
        # Continuous Erlang C counts the wait from the moment of arrival; a call that
        # arrives during a minute step is answered at a step boundary, so it waits at
        # most one more step: compare with the target at WAIT_WITHIN + 1.
        theirs = erlang_c_servers(rate, mean, WAIT_WITHIN + 1, TARGET)
        print(f"  {name:20s} movra {ours:3d}   Erlang C {theirs:3d}")

    try:
        import matplotlib
    except ImportError:
        print("\n(matplotlib is not installed: no picture)")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6), sharex=True,
                                      gridspec_kw={"height_ratios": [3, 1]})
    day.plot(ax=top)
    top.step(day.time, day.servers, where="post", color="tab:red", label="agents")
    top.set_title("Calls in the system through the day, with the staffing plan")
    top.legend(loc="upper left")
    bottom.plot(table.index, table.service_level, color="tab:green")
    bottom.axhline(TARGET, color="grey", linestyle=":")
    bottom.set_ylabel("P(wait <= 1)")
    bottom.set_xlabel("minute")
    fig.tight_layout()
    path = os.path.join(folder, "planner_day.png")
    fig.savefig(path, dpi=100)
    print(f"wrote {path}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")
