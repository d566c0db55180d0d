"""Cost of one step, this working tree against an earlier build, side by side.

Builds the working tree and an earlier revision (default 2e680d5) with CMake into
build/bench/ (the revision from `git archive` into build/bench/rev-SHA/), then times
both on the same warmed state in one process: the two builds are loaded as two copies
of the module and stepped in turn, step by step, so both see the same machine load.
Prints per workload and build: ms/step (median CPU time of the stepping thread, so that
the time a shared machine gives to other processes is left out), combinations per step
and ns per combination (stations), peak memory (the instance's peak_memory_use, and how
far the process's peak resident set grew while stepping, measured in a process of its
own), and the speed-up of the working tree.

A combination is one innermost put of positive weight (see workloads.py), counted in
Python from the state and the PMFs.  Warmed states (WARM_STEPS steps from empty) are
made once with the working tree's build and cached under build/bench/states/.

Run:  python3 benchmarks/bench_steps.py [--rev REV] [--only W1,W3,c256] [--no-old]
"""

import argparse
import hashlib
import json
import os
import pathlib
import resource
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
BENCH = REPO / "build" / "bench"
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402

DEFAULT_REV = "2e680d5"
MAX_REPS = 2001


# ---- building ------------------------------------------------------------------------

def _run(cmd, **kw):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, **kw)


def cmake_build(source, build):
    """Release build of the module; returns the folder that holds it."""
    if not (build / "build.ninja").exists():
        _run(["cmake", "-S", str(source), "-B", str(build), "-G", "Ninja",
              "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={sys.executable}"])
    # The module target was renamed when movra became a package around the extension.
    target = "_movra" if (source / "src" / "movra" / "__init__.py").exists() else "movra"
    _run(["cmake", "--build", str(build), "-j", "2", "--target", target])
    found = sorted(build.glob("**/*movra*.so"))
    if not found:
        sys.exit(f"no module built in {build}")
    return build


def build_revision(rev):
    sha = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short=10", rev],
                         check=True, capture_output=True, text=True).stdout.strip()
    root = BENCH / f"rev-{sha}"
    source = root / "src"
    if not (source / "CMakeLists.txt").exists():
        source.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile() as archive:
            subprocess.run(["git", "-C", str(REPO), "archive", sha], check=True, stdout=archive)
            archive.seek(0)
            with tarfile.open(fileobj=archive) as tar:
                tar.extractall(source, filter="data")
    return sha, cmake_build(source, root / "build")


# ---- the workers: each runs in its own process ----------------------------------------

def _load_module(folder):
    """The movra module built in folder, loaded under its own file name, so that two
    builds can live in one process side by side."""
    import importlib.machinery
    import importlib.util
    # The newest: a build folder that spans the package change can hold a stale movra*.so
    # beside the current _movra*.so.
    path = max(pathlib.Path(folder).glob("**/*movra*.so"), key=lambda p: p.stat().st_mtime)
    name = "movra._movra" if path.name.startswith("_movra") else "movra"
    loader = importlib.machinery.ExtensionFileLoader(name, str(path))
    found = importlib.util.spec_from_file_location(name, str(path), loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


def _load_state(w, model, data):
    if w.kind == "station":
        model.internal_state = {(z, e): float.fromhex(p) for z, e, p in data}
    else:
        model.internal_state = [{(z, e): float.fromhex(p) for z, e, p in node} for node in data]


def _dump_state(w, model):
    def one(pmf):
        return [[z, e, float.hex(p)] for (z, e), p in sorted(pmf.items())]
    return one(model.internal_state) if w.kind == "station" else [one(n) for n in model.internal_state]


def _rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def worker(args):
    w = workloads.BY_NAME[args.worker]
    modules = [_load_module(folder) for folder in args.builds.split(os.pathsep)]
    if args.warm:
        model = w.make(modules[0])
        for _ in range(workloads.WARM_STEPS):
            model.step()
        json.dump(_dump_state(w, model), sys.stdout)
        return
    data = json.loads(pathlib.Path(args.state).read_text())
    models = []
    for module in modules:
        model = w.make(module)
        _load_state(w, model, data)
        model.mark()
        models.append(model)
    if args.memory:
        # One build per process: how far the process's peak resident set grows while
        # stepping, beyond what loading the state took.
        model, = models
        rss = _rss_kib()
        for _ in range(3):
            model.step()
            model.restore()
        kept = None
        if w.kind == "station":
            model.step()
            zs = [z for z, _ in model.internal_state]
            kept = [min(zs), max(zs)]
        json.dump({"peak": model.peak_memory_use, "rss_growth_kib": _rss_kib() - rss,
                   "kept": kept}, sys.stdout)
        return
    # Time the builds step by step in turn (alternating which goes first), so that both
    # see the same machine load. The clock is this thread's CPU time, so that time the
    # machine gives to other processes is not counted; reading it costs about as much as
    # a small step, so the cost of one reading is taken off every sample.
    clock = time.thread_time
    overhead = statistics.median(-(clock() - clock()) for _ in range(501))
    samples = [[] for _ in models]
    started = time.perf_counter()
    rep = 0
    while rep < MAX_REPS and (rep < args.min_reps or time.perf_counter() - started < args.budget):
        order = range(len(models)) if rep % 2 == 0 else reversed(range(len(models)))
        for i in order:
            t0 = clock()
            models[i].step()
            samples[i].append(clock() - t0 - overhead)
            models[i].restore()
        rep += 1
    json.dump({"samples": samples}, sys.stdout)


def call_worker(builds, name, extra):
    out = subprocess.run([sys.executable, __file__, "--worker", name, "--builds",
                          os.pathsep.join(str(b) for b in builds), *extra],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


# ---- the driver ------------------------------------------------------------------------

def warmed_state(build, w):
    """Path of the cached warmed state of w, made with build when missing."""
    digest = hashlib.sha256(w.key().encode()).hexdigest()[:16]
    path = BENCH / "states" / f"{w.name}-{digest}.json"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        data = call_worker([build], w.name, ["--warm"])
        path.write_text(json.dumps(data))
    return path


def combinations(w, path, kept):
    if w.kind != "station":
        return None
    state = {(z, e): float.fromhex(p) for z, e, p in json.loads(path.read_text())}
    partial, full = workloads.station_combinations(state, w.servers, w.arrivals, w.service, *kept)
    return partial + full


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rev", default=DEFAULT_REV, help="earlier revision to compare with")
    ap.add_argument("--no-old", action="store_true", help="time the working tree only")
    ap.add_argument("--only", default="", help="comma-separated workload names")
    ap.add_argument("--new", metavar="DIR",
                    help="time the module already built in DIR instead of the working tree")
    ap.add_argument("--budget", type=float, default=3.0,
                    help="seconds of timed steps per workload (both builds together)")
    ap.add_argument("--min-reps", type=int, default=5)
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--builds", help=argparse.SUPPRESS)
    ap.add_argument("--warm", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--memory", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--state", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(args)

    chosen = [w for w in workloads.WORKLOADS
              if not args.only or w.name in args.only.split(",")]
    if args.new:
        builds = [pathlib.Path(args.new).resolve()]
    else:
        print("building the working tree ...", file=sys.stderr, flush=True)
        builds = [cmake_build(REPO, BENCH / "current")]
    old_sha = None
    if not args.no_old:
        print(f"building {args.rev} ...", file=sys.stderr, flush=True)
        old_sha, old = build_revision(args.rev)
        builds.append(old)
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), "unknown CPU")
    print(f"# {cpu}, {os.cpu_count()} cores; new = {args.new or 'working tree'}"
          + (f", old = {old_sha}" if old_sha else "")
          + f"; state after {workloads.WARM_STEPS} steps from empty;"
          " median CPU time per step, the builds alternating step by step")
    head = (f"{'':<5} {'combinations':>13} {'new ms/step':>12} {'ns/comb':>8}"
            f" {'peak KiB':>9} {'rss+ KiB':>8}")
    if old_sha:
        head += f" {'old ms/step':>12} {'ns/comb':>8} {'peak KiB':>9} {'rss+ KiB':>8} {'speed-up':>8}"
    print(head + "  workload", flush=True)
    for w in chosen:
        path = warmed_state(builds[0], w)
        memory = [call_worker([b], w.name, ["--memory", "--state", str(path)]) for b in builds]
        timing = call_worker(builds, w.name, ["--state", str(path), "--budget", str(args.budget),
                                              "--min-reps", str(args.min_reps)])
        combos = combinations(w, path, memory[0]["kept"])
        cells = []
        for samples, mem in zip(timing["samples"], memory):
            ms = statistics.median(samples) * 1e3
            ns = f"{ms * 1e6 / combos:8.2f}" if combos else f"{'-':>8}"
            cells.append((ms, f"{ms:12.5f} {ns} {mem['peak'] / 1024:9.1f} {mem['rss_growth_kib']:8d}"))
        line = f"{w.name:<5} {combos if combos else '-':>13} " + " ".join(c for _, c in cells)
        if old_sha:
            line += f" {cells[1][0] / cells[0][0]:7.2f}x"
        print(line + "  " + w.label, flush=True)


if __name__ == "__main__":
    main()
