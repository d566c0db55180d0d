"""What-if sweep: 200 staffing plans for one day of a support desk, three ways.

The desk takes tickets in Poisson batches whose mean follows the hour of the day
(a morning peak, a smaller afternoon one, a quiet night); a ticket needs 1 to 4
quarter-hours of an agent.  A plan gives the number of agents on each of four
six-hour shifts.  Every plan starts from the same model, the desk as it stands at
midnight after a typical day, and is stepped through the 96 quarter-hours of the
next day; the script reports staff-hours, mean queue, worst chance of waiting and
a score (staff cost plus a penalty per ticket-hour of waiting), best plans first.

The same sweep runs on threads (the models step without the interpreter's lock,
so threads use every core), on worker processes (concurrent.futures; each task
receives its model pickled) and on Dask (dask.distributed; a local cluster of
worker processes here, or a real one with --scheduler).  The three tables are
identical, bit for bit.

Run:  python examples/sweep.py               # serial, threads, processes, dask
      python examples/sweep.py --small       # 12 plans only
      python examples/sweep.py --mode threads --workers 2
      python examples/sweep.py --mode dask --scheduler tcp://10.0.0.5:8786

Dask is optional:  python -m pip install "movra[dask]"  (or "dask[distributed]").
"""

import argparse
import concurrent.futures
import contextlib
import copy
import hashlib
import itertools
import multiprocessing
import os
import sys
import time

import movra
from movra import dist

STEPS_PER_DAY = 96  # quarter-hours
SERVICE = {1: 0.35, 2: 0.35, 3: 0.2, 4: 0.1}  # quarter-hours per ticket
# Mean number of tickets per quarter-hour, hour by hour from midnight.
HOURLY_MEAN = [0.4, 0.3, 0.2, 0.2, 0.3, 0.6, 1.5, 2.8, 3.8, 4.2, 4.0, 3.4,
               2.6, 2.8, 3.2, 3.3, 2.9, 2.3, 1.8, 1.5, 1.2, 0.9, 0.7, 0.5]
# Agents per shift (00-06, 06-12, 12-18, 18-24): 2 * 5 * 5 * 4 = 200 plans.
SHIFT_CHOICES = [(1, 2), (7, 8, 9, 10, 11), (6, 7, 8, 9, 10), (3, 4, 5, 6)]
YESTERDAY = (2, 9, 8, 4)  # the plan that produced the state at midnight
AGENT_HOUR_COST = 1.0
WAIT_HOUR_COST = 4.0  # per ticket-hour spent waiting
ARRIVALS = [dist.poisson(m) for m in HOURLY_MEAN]


def plans(count=None):
    """Every plan of the grid, or the first `count` of a spread of it."""
    grid = list(itertools.product(*SHIFT_CHOICES))
    if count is None or count >= len(grid):
        return grid
    stride = len(grid) / count
    return [grid[int(i * stride)] for i in range(count)]


def agents(plan, t):
    return plan[(t % STEPS_PER_DAY) * len(plan) // STEPS_PER_DAY]


def day(model, plan, steps):
    """Steps `model` through `steps` quarter-hours of `plan`; yields (c, pmf of z)."""
    for t in range(steps):
        c = agents(plan, t)
        model.number_of_servers = c
        if t % 4 == 0:
            model.number_of_arrivals_pmf = ARRIVALS[t // 4 % 24]
        model.step()
        yield c, model.get_number_of_entities_in_system_pmf()


def base_model():
    """The desk at midnight: empty the day before, then a day of YESTERDAY."""
    desk = movra.StandardMultiserver()
    desk.service_duration_pmf = SERVICE
    desk.reset_with_number_of_entities_in_system(0)
    for _ in day(desk, YESTERDAY, STEPS_PER_DAY):
        pass
    desk.time = 0
    return desk


def run_plan(model, plan, steps):
    """One row of the table for `plan`, stepping `model` (which it may change)."""
    staff = waiting = worst = 0.0
    for c, pz in day(model, plan, steps):
        staff += c / 4
        waiting += sum((z - c) * p for z, p in pz.items() if z > c) / 4
        worst = max(worst, sum(p for z, p in pz.items() if z > c))
    score = AGENT_HOUR_COST * staff + WAIT_HOUR_COST * waiting
    return plan, staff, waiting / (steps / 4), worst, score


# Every runner gives each task a model of its own: an instance is used by one call
# at a time, and a copy is as cheap as a pickle.

def sweep_serial(base, todo, steps):
    return [run_plan(copy.copy(base), plan, steps) for plan in todo]


def sweep_threads(base, todo, steps, workers):
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        futures = [pool.submit(run_plan, copy.copy(base), plan, steps) for plan in todo]
        return [f.result() for f in futures]


def sweep_processes(base, todo, steps, workers):
    # A copy per task here too: pickle stores an object once per message, so tasks sent
    # together in one chunk would otherwise share one model in the worker.
    # Workers are started afresh, not forked: a fork copies locks that other threads of
    # this process (an executor's, a progress bar's) may hold, and the child can hang.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(workers, mp_context=context) as pool:
        chunk = max(1, len(todo) // (4 * workers))
        return list(pool.map(run_plan, (copy.copy(base) for _ in todo), todo,
                             itertools.repeat(steps), chunksize=chunk))


def sweep_dask(base, todo, steps, client):
    # Ship this module's functions by value, so workers need movra but not this file.
    module = sys.modules[run_plan.__module__]
    if module.__name__ != "__main__":
        import cloudpickle
        cloudpickle.register_pickle_by_value(module)
    futures = [client.submit(run_plan, copy.copy(base), plan, steps, pure=False)
               for plan in todo]
    return client.gather(futures)


@contextlib.contextmanager
def dask_client(workers, scheduler=None):
    """A client of the cluster at `scheduler`, or of a new local one of processes."""
    from dask.distributed import Client, LocalCluster
    if scheduler:
        with Client(scheduler) as client:
            yield client
        return
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


def digest(rows):
    text = ";".join(f"{plan}:" + ",".join(float.hex(float(v)) for v in rest)
                    for plan, *rest in rows)
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def table(rows, top):
    lines = ["  plan (agents per shift)  staff-h  mean queue  worst P(wait)    score"]
    for plan, staff, queue, worst, score in sorted(rows, key=lambda r: (r[4], r[0]))[:top]:
        lines.append(f"  {'-'.join(map(str, plan)):>23}  {staff:7.1f}  {queue:10.4f}"
                     f"  {worst:13.4f}  {score:7.2f}")
    lines.append(f"  {len(rows)} plans, digest {digest(rows)}")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--mode", choices=["all", "serial", "threads", "processes", "dask"],
                        default="all")
    parser.add_argument("--small", action="store_true", help="12 plans instead of 200")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    parser.add_argument("--top", type=int, default=10, help="rows of the table")
    args = parser.parse_args(argv)

    todo = plans(12 if args.small else None)
    base = base_model()
    modes = ["serial", "threads", "processes", "dask"] if args.mode == "all" else [args.mode]
    results = {}
    for mode in modes:
        with contextlib.ExitStack() as stack:
            if mode == "dask":
                try:
                    client = stack.enter_context(dask_client(args.workers, args.scheduler))
                except ImportError:
                    print("dask: skipped (python -m pip install 'dask[distributed]')")
                    continue
            started = time.perf_counter()
            if mode == "serial":
                rows = sweep_serial(base, todo, STEPS_PER_DAY)
            elif mode == "threads":
                rows = sweep_threads(base, todo, STEPS_PER_DAY, args.workers)
            elif mode == "processes":
                rows = sweep_processes(base, todo, STEPS_PER_DAY, args.workers)
            else:
                rows = sweep_dask(base, todo, STEPS_PER_DAY, client)
            wall = time.perf_counter() - started
        print(f"{mode}: {len(todo)} plans x {STEPS_PER_DAY} steps in {wall:.2f} s"
              + (f" ({args.workers} workers)" if mode != "serial" else ""))
        print(table(rows, args.top), flush=True)
        results[mode] = rows
    first = next(iter(results.values()), None)
    if any(rows != first for rows in results.values()):
        print("results differ between modes", file=sys.stderr)
        return 1
    if len(results) > 1:
        print(f"identical results from {', '.join(results)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
