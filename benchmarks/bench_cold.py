"""A step that starts from caches a plain Python step has refilled, as in bench_chain.py.

Two reports, both timing the module's step (CPU time of this thread) right after the
second plain Python rival of bench_chain.py (tests/python/reference.py) has stepped the
same configuration and state:

  --what-warms      the installed module only: the step cold, and after something else
                    has run in between (another instance of the same workload stepped,
                    one of W3 stepped, this instance's state walked by mark()), which
                    tells the share of the code and per-thread state from that of the
                    instance's own records; and the step alone, repeated (warm)
  --new DIR --old DIR
                    two builds side by side, each step after its own Python step, in
                    both orders of loading (the build loaded first was seen to run up to
                    5 % slower, whichever it was); prints old/new per order and their
                    geometric mean, which cancels that bias

Run:  python3 benchmarks/bench_cold.py --what-warms [--only W3,W4]
      python3 benchmarks/bench_cold.py --new build/a --old build/b [--only W3,W4]
"""

import argparse
import importlib.machinery
import importlib.util
import math
import os
import pathlib
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import reference  # noqa: E402
import workloads  # noqa: E402

CLOCK = time.thread_time_ns


def load(folder):
    """The extension built in folder, under its own file, beside any other build."""
    path = sorted(pathlib.Path(folder).glob("**/_movra*.so"))[0]
    loader = importlib.machinery.ExtensionFileLoader("movra._movra", str(path))
    found = importlib.util.spec_from_file_location("movra._movra", str(path), loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


def warmed(w, module, steps):
    model = w.make(module)
    for _ in range(steps):
        model.step()
    model.mark()
    return model


def python_step(w, model):
    args = w.reference_args(model)
    return lambda: reference.network_step_as_written(*args)


def timed_step(model):
    t0 = CLOCK()
    model.step()
    t1 = CLOCK()
    model.restore()
    return (t1 - t0) / 1000


def what_warms(names, reps):
    import movra
    for name in names:
        w = workloads.BY_NAME[name]
        model = warmed(w, movra, workloads.WARM_STEPS)
        other = warmed(w, movra, workloads.WARM_STEPS)
        station = warmed(workloads.BY_NAME["W3"], movra, workloads.WARM_STEPS)
        py = python_step(w, model)
        between = {
            "cold": lambda: None,
            "another instance stepped": lambda: timed_step(other),
            "W3 stepped": lambda: timed_step(station),
            "own state walked (mark)": model.mark,
            "another stepped, own walked": lambda: (timed_step(other), model.mark()),
        }
        samples = {k: [] for k in between}
        samples["warm (no Python step)"] = []
        for _ in range(reps):
            for label, run in between.items():
                py()
                run()
                samples[label].append(timed_step(model))
            timed_step(model)
            samples["warm (no Python step)"].append(timed_step(model))
        for label, s in samples.items():
            print(f"{name} {label:<30} {statistics.median(s):8.2f} us", flush=True)


def pair(names, first, second, reps):
    """In this process: first loaded before second, each stepped after its Python step;
    prints one line per workload and state: the medians of first and second."""
    modules = {first: load(first), second: load(second)}
    for name in names:
        w = workloads.BY_NAME[name]
        for steps in (50, workloads.WARM_STEPS):
            models = {d: warmed(w, m, steps) for d, m in modules.items()}
            py = python_step(w, models[first])
            samples = {d: [] for d in models}
            for rep in range(reps):
                for d in ((first, second) if rep % 2 == 0 else (second, first)):
                    py()
                    samples[d].append(timed_step(models[d]))
            print(name, steps, statistics.median(samples[first]),
                  statistics.median(samples[second]), flush=True)


def side_by_side(names, new, old, reps):
    # Each order of loading in a process of its own: a module is loaded once per process.
    runs = {}
    for first, second in ((old, new), (new, old)):
        out = subprocess.run([sys.executable, __file__, "--pair", first, second, "--only",
                              ",".join(names), "--reps", str(reps)],
                             check=True, capture_output=True, text=True).stdout
        for line in out.splitlines():
            name, steps, t_first, t_second = line.split()
            t = {first: float(t_first), second: float(t_second)}
            runs.setdefault((name, int(steps)), []).append((first == old, t[old], t[new]))
    for (name, steps), results in runs.items():
        for old_first, t_old, t_new in results:
            print(f"{name} {steps:3d} steps, {'old' if old_first else 'new'} loaded first:"
                  f" old {t_old:7.2f} us, new {t_new:7.2f} us, old/new {t_old / t_new:5.3f}")
        mean = math.sqrt(math.prod(t_old / t_new for _, t_old, t_new in results))
        print(f"{name} {steps:3d} steps: old/new {mean:5.3f} (geometric mean of the two orders)",
              flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--only", default="W3,W4")
    ap.add_argument("--reps", type=int, default=300)
    ap.add_argument("--what-warms", action="store_true")
    ap.add_argument("--new")
    ap.add_argument("--old")
    ap.add_argument("--pair", nargs=2, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.pair:
        return pair(args.only.split(","), *args.pair, args.reps)
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), "unknown CPU")
    print(f"# {cpu}, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.1f};"
          " median CPU time of a step after a plain Python step")
    names = args.only.split(",")
    if args.what_warms:
        what_warms(names, args.reps)
    elif args.new and args.old:
        side_by_side(names, args.new, args.old, args.reps)
    else:
        ap.error("--what-warms, or --new and --old")


if __name__ == "__main__":
    main()
