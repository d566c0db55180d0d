"""Leak hunt over every public call of the installed movra, success and failure paths, the
copy and pickle protocols included, in the manner of CPython's own `-R` runs: each case is
repeated in batches, a few warm-up batches first (caches fill, strings get interned), then
several measured batches; a case fails only when every measured batch grew, by about one
per call or more, the total reference count (debug interpreters only:
sys.gettotalrefcount), the allocated memory blocks or the number of objects the collector
tracks.

    python3.14-dbg tools/leak_hunt.py [--batch N] [-k substring]

Run it from anywhere but the repository root, so that the installed module is imported.
Types that other releases add (ExactMultiserver, ExactNetworkMultiserver) are exercised
when present, through their public names, like the others.
"""
import argparse
import copy
import gc
import math
import pickle
import sys
import warnings

import movra

Station = movra.StandardMultiserver
Network = movra.StandardNetworkMultiserver
OPTIONAL_TYPES = ("ExactMultiserver", "ExactNetworkMultiserver")
WARMUPS, RUNS = 6, 5


class Sub(Station):
    """A subclass with its own attributes, which copies and pickles carry."""


def station():
    m = Station()
    m.number_of_servers = 2
    m.number_of_arrivals_pmf = {0: 0.5, 1: 0.3, 2: 0.2}
    m.service_duration_pmf = {1: 0.5, 3: 0.5}
    for _ in range(5):
        m.step()
    m.mark()
    return m


def network():
    n = Network(3)
    for k in range(3):
        n.set_number_of_servers_at_node(k, 2)
        n.set_service_duration_at_node_pmf(k, {1: 0.6, 2: 0.4})
    n.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.4, 1: 0.6})
    n.set_routing_probability(0, 1, 0.7)
    n.set_routing_probability(1, 2, 0.9)
    n.set_routing_probability(2, 0, 0.2)
    for _ in range(3):
        n.step()
    n.mark()
    return n


class Reenter:
    """An index whose conversion calls back into the instance being set."""

    def __init__(self, m):
        self.m = m

    def __index__(self):
        try:
            self.m.step()
        except RuntimeError:
            pass
        return 5


M, N, S = station(), network(), Sub()
S.label = ["kept"]
STATE, NSTATE = M.internal_state, N.internal_state
PICKLES = {p: pickle.dumps(M, p) for p in range(pickle.HIGHEST_PROTOCOL + 1)}
NPICKLE = pickle.dumps(N)
NAN = math.nan

# name: call. Each runs one public operation (and, for a failing one, its failure path).
CASES = {
    # the station
    "new": lambda: Station(),
    "new, failing": lambda: Station(1),
    "repr": lambda: repr(M),
    "get servers": lambda: M.number_of_servers,
    "set servers": lambda: setattr(M, "number_of_servers", 2),
    "set servers, failing": lambda: setattr(M, "number_of_servers", "x"),
    "set servers, overflowing": lambda: setattr(M, "number_of_servers", 2**70),
    "delete servers": lambda: delattr(M, "number_of_servers"),
    "get time": lambda: M.time,
    "set time": lambda: setattr(M, "time", M.time),
    "set time from a re-entering __index__": lambda: setattr(M, "time", Reenter(M)),
    "get arrivals": lambda: M.number_of_arrivals_pmf,
    "set arrivals": lambda: setattr(M, "number_of_arrivals_pmf", {0: 0.5, 1: 0.3, 2: 0.2}),
    "set arrivals, empty": lambda: setattr(M, "number_of_arrivals_pmf", {}),
    "set arrivals, negative": lambda: setattr(M, "number_of_arrivals_pmf", {-1: 1.0}),
    "set arrivals, NaN": lambda: setattr(M, "number_of_arrivals_pmf", {0: NAN}),
    "set arrivals, joint": lambda: setattr(M, "number_of_arrivals_pmf", {(0, 1): 1.0}),
    "set arrivals, compound": lambda: setattr(M, "number_of_arrivals_pmf", ({0: 1.0},)),
    "set arrivals, not a dict": lambda: setattr(M, "number_of_arrivals_pmf", [1.0]),
    "set arrivals, bad key": lambda: setattr(M, "number_of_arrivals_pmf", {"a": 1.0}),
    "set arrivals, bad weight": lambda: setattr(M, "number_of_arrivals_pmf", {0: "a"}),
    "set arrivals, huge key": lambda: setattr(M, "number_of_arrivals_pmf", {2**64: 1.0}),
    "get service": lambda: M.service_duration_pmf,
    "set service": lambda: setattr(M, "service_duration_pmf", {1: 0.5, 3: 0.5}),
    "set service, zero": lambda: setattr(M, "service_duration_pmf", {0: 1.0}),
    "get state": lambda: M.internal_state,
    "set state": lambda: setattr(M, "internal_state", STATE),
    "set state, simple": lambda: setattr(M, "internal_state", {1: 1.0}),
    "set state, bad key": lambda: setattr(M, "internal_state", {(0, 1): 0.5, (1,): 0.5}),
    "set state, negative": lambda: setattr(M, "internal_state", {(0, -1): 1.0}),
    "memory use": lambda: (M.current_memory_use, M.peak_memory_use),
    "step": lambda: M.step(),
    "step, extra argument": lambda: M.step(1),
    "observe a value": lambda: (M.mark(), M.apply_observation_value(1), M.restore()),
    "observe a value, impossible": lambda: M.apply_observation_value(10**6),
    "observe a value, bad": lambda: M.apply_observation_value("x"),
    "observe a range": lambda: (M.mark(), M.apply_observation_range(0, 3), M.restore()),
    "observe a range, empty": lambda: M.apply_observation_range(3, 0),
    "marginal": lambda: M.get_number_of_entities_in_system_pmf(),
    "reset": lambda: (M.mark(), M.reset_with_number_of_entities_in_system(2), M.restore()),
    "reset, negative": lambda: M.reset_with_number_of_entities_in_system(-1),
    "mark and restore": lambda: (M.mark(), M.restore()),
    "restore defaults then fail a step": lambda: (Station().restore(), Station().step()),
    # copies and pickles
    "copy": lambda: copy.copy(M),
    "deepcopy": lambda: copy.deepcopy(M),
    "copy a subclass": lambda: copy.deepcopy(S),
    "pickle": lambda: [pickle.dumps(M, p) for p in PICKLES],
    "unpickle": lambda: [pickle.loads(b) for b in PICKLES.values()],
    "pickle a subclass": lambda: pickle.loads(pickle.dumps(S)),
    "reduce": lambda: M.__reduce__(),
    "setstate": lambda: M.__setstate__(M.__reduce__()[2]),
    "setstate, bad format": lambda: M.__setstate__((99, None, None)),
    "setstate, bad model": lambda: M.__setstate__((M.__reduce__()[2][0], ("x",), None)),
    "setstate, bad attributes": lambda: S.__setstate__((*S.__reduce__()[2][:2], {1: 2})),
    "setstate, not a tuple": lambda: M.__setstate__([]),
    # the network
    "network new": lambda: Network(3),
    "network new, failing": lambda: (Network(0), Network(-1), Network("x"), Network()),
    "network repr": lambda: repr(N),
    "network nodes": lambda: N.get_number_of_nodes(),
    "network servers": lambda: (N.get_number_of_servers_at_node(0),
                                N.set_number_of_servers_at_node(0, 2)),
    "network servers, failing": lambda: (N.get_number_of_servers_at_node(9),
                                         N.set_number_of_servers_at_node(0, -1),
                                         N.set_number_of_servers_at_node("x", 1)),
    "network arrivals": lambda: N.set_number_of_external_arrivals_at_node_pmf(
        0, N.get_number_of_external_arrivals_at_node_pmf(0)),
    "network arrivals, failing": lambda: (N.set_number_of_external_arrivals_at_node_pmf(0, {}),
                                          N.get_number_of_external_arrivals_at_node_pmf(7)),
    "network service": lambda: N.set_service_duration_at_node_pmf(
        1, N.get_service_duration_at_node_pmf(1)),
    "network service, failing": lambda: (N.set_service_duration_at_node_pmf(1, {0: 1.0}),
                                         N.set_service_duration_at_node_pmf(9, {1: 1.0})),
    "network routing": lambda: N.set_routing_probability(0, 1, N.get_routing_probability(0, 1)),
    "network routing, failing": lambda: (N.set_routing_probability(0, 1, 1.5),
                                         N.set_routing_probability(0, 1, NAN),
                                         N.get_routing_probability(0, 5)),
    "network state": lambda: setattr(N, "internal_state", N.internal_state),
    "network state, failing": lambda: (setattr(N, "internal_state", [{(0, 1): 1.0}, {}]),
                                       setattr(N, "internal_state", []),
                                       setattr(N, "internal_state", [{0: 1.0}] * 3)),
    "network time": lambda: setattr(N, "time", N.time),
    "network time, re-entering": lambda: setattr(N, "time", Reenter(N)),
    "network step": lambda: N.step(),
    "network observe": lambda: (N.mark(), N.apply_observation_value_at_node(0, 1),
                                N.apply_observation_range_at_node(1, 0, 4), N.restore()),
    "network observe, failing": lambda: (N.apply_observation_value_at_node(0, 10**6),
                                         N.apply_observation_range_at_node(5, 0, 1)),
    "network marginal": lambda: N.get_number_of_entities_at_node_pmf(2),
    "network reset": lambda: (N.mark(), N.reset_node_with_number_of_entities(1, 3), N.restore()),
    "network reset, failing": lambda: N.reset_node_with_number_of_entities(1, -3),
    "network memory use": lambda: (N.current_memory_use, N.peak_memory_use),
    "network copy and pickle": lambda: (copy.copy(N), copy.deepcopy(N), pickle.loads(NPICKLE),
                                        pickle.dumps(N)),
    "network setstate, failing": lambda: N.__setstate__((1, (), None)),
}


def refused(call, *errors):
    """A call whose failure path is the case."""
    try:
        call()
    except errors:
        pass


def planning_cases():
    """The planner's private entry points, each success and each refusal."""
    from movra import _movra
    # A station of their own: the station cases above leave M with durations of 0.
    m, idle, silent = station(), station(), station()
    idle.number_of_servers = 0
    silent.number_of_arrivals_pmf = {0: 1.0}
    cases = {
        "wait": lambda: (_movra._waiting_time(m, None), _movra._waiting_time(m, 0, 1e-8)),
        "wait, refused": lambda: [refused(call, TypeError, ValueError) for call in (
            lambda: _movra._waiting_time(N, None), lambda: _movra._waiting_time(m, "x"),
            lambda: _movra._waiting_time(m, -1), lambda: _movra._waiting_time(m, 2**70),
            lambda: _movra._waiting_time(m, True), lambda: _movra._waiting_time(m, 10**6),
            lambda: _movra._waiting_time(m, None, "x"),
            lambda: _movra._waiting_time(m, None, 2.0), lambda: _movra._waiting_time(m),
            lambda: _movra._waiting_time(idle, None),
            lambda: _movra._waiting_time(silent, None))],
        "service figures": lambda: _movra._service_figures(m),
        "service figures, refused": lambda: refused(lambda: _movra._service_figures(N),
                                                    TypeError),
        "step change": lambda: (_movra._step_change(copy.copy(m)),
                                _movra._step_change(copy.copy(N))),
        "step change, refused": lambda: (
            refused(lambda: _movra._step_change(1), TypeError),
            refused(lambda: _movra._step_change(idle_failing()), movra.error)),
    }
    exact = getattr(movra, "ExactMultiserver", None)
    if exact is not None:
        E = exact()
        E.number_of_servers, E.capacity = 2, 3
        E.number_of_arrivals_pmf, E.service_duration_pmf = {0: 0.3, 2: 0.7}, {1: 0.5, 3: 0.5}
        for _ in range(5):
            E.step()
        full, impatient, gone = copy.copy(E), copy.copy(E), copy.copy(E)
        full.capacity, full.number_of_servers = 0, 1
        impatient.abandonment_probability, gone.abandonment_probability = 0.2, 1.0
        cases.update({
            "exact wait": lambda: (_movra._waiting_time(E, None), _movra._waiting_time(E, 0),
                                   _movra._service_figures(E), _movra._step_change(copy.copy(E))),
            "exact wait, impatient": lambda: (_movra._waiting_time(impatient, None),
                                              _movra._waiting_time(impatient, 0)),
            "exact wait, refused": lambda: [refused(call, ValueError) for call in (
                lambda: _movra._waiting_time(full, None),
                lambda: _movra._waiting_time(E, 10**6),
                lambda: _movra._waiting_time(gone, 0))],
        })
    return cases


def idle_failing():
    m = station()
    m.number_of_servers = -1
    return m


def generic_cases(cls):
    """Every public name of a type nobody wrote cases for: get each attribute and set it
    to itself and to junk; call each method with no argument and with junk; copy, pickle."""
    def make():
        for args in ((), (2,)):
            try:
                return cls(*args)
            except (TypeError, movra.error):
                pass
        raise SystemExit(f"cannot make a {cls.__name__}")

    obj, cases = make(), {}
    prefix = cls.__name__
    cases[f"{prefix} new"] = make
    for name in (n for n in dir(cls) if not n.startswith("_")):
        attribute = getattr(cls, name)
        if callable(attribute):
            def call(name=name):
                for args in ((), (0,), (0, 0), (1, 0, 1), ("x",)):
                    try:
                        getattr(obj, name)(*args)
                    except (TypeError, movra.error, RuntimeError):
                        pass
            cases[f"{prefix}.{name}()"] = call
        else:
            def get_set(name=name):
                value = getattr(obj, name)
                for v in (value, "x"):
                    try:
                        setattr(obj, name, v)
                    except (AttributeError, TypeError, movra.error):
                        pass
            cases[f"{prefix}.{name}"] = get_set
    cases[f"{prefix} copy and pickle"] = lambda: (copy.copy(obj), copy.deepcopy(obj),
                                                  pickle.loads(pickle.dumps(obj)))
    return cases


def quietly(case):
    try:
        case()
    except (movra.error, RuntimeError, TypeError, AttributeError, OverflowError):
        pass


def counts():
    gc.collect()
    total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return total, sys.getallocatedblocks(), len(gc.get_objects())


def hunt(case, batch):
    deltas = []
    for run in range(WARMUPS + RUNS):
        before = counts()
        for _ in range(batch):
            quietly(case)
        after = counts()
        if run >= WARMUPS:
            deltas.append([a - b for a, b in zip(after, before)])
    # Consistent growth with the number of calls only: free lists and caches make a batch
    # grow by a few blocks now and then; a leak grows every batch by at least one per call
    # of the path that leaks (half of one, to allow for a case that takes it every other
    # call).
    return [kind for i, kind in enumerate(("references", "blocks", "objects"))
            if all(2 * d[i] >= batch for d in deltas)], deltas


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--batch", type=int, default=50, help="calls per batch (50)")
    parser.add_argument("-k", default="", help="only the cases whose name has this")
    options = parser.parse_args()

    cases = dict(CASES)
    cases.update(planning_cases())
    covered = {name for case in CASES.values() for name in case.__code__.co_names}
    for cls in (Station, Network):
        missing = [n for n in dir(cls) if not n.startswith("_") and n not in covered]
        if missing:  # new public names: still exercised, if only generically
            cases.update(generic_cases(cls))
    for name in OPTIONAL_TYPES:
        cls = getattr(movra, name, None)
        if cls is None:
            print(f"{name}: not in this release, skipped")
        else:
            cases.update(generic_cases(cls))

    debug = hasattr(sys, "gettotalrefcount")
    print(f"movra {movra.__file__}, Python {sys.version.split()[0]}"
          f"{' (debug: total reference count checked)' if debug else ''}")
    warnings.simplefilter("ignore")  # truncation warnings of the junk values
    leaks, checked = [], 0
    for name, case in cases.items():
        if options.k not in name:
            continue
        checked += 1
        grown, deltas = hunt(case, options.batch)
        if grown:
            leaks.append(name)
            print(f"LEAK {name}: every batch of {options.batch} grew the {', '.join(grown)}: "
                  f"{[tuple(d) for d in deltas]} (references, blocks, objects)")
    print(f"{len(leaks)} leaking, {checked} cases checked, {WARMUPS} warm-up and {RUNS} measured "
          f"batches of {options.batch} calls each")
    return 1 if leaks or not checked else 0


if __name__ == "__main__":
    sys.exit(main())
