import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import movra


def test_module_contents():
    public = {name for name in dir(movra) if not name.startswith("_")}
    assert set(movra.__all__) <= public <= set(movra.__all__) | {"planning", "staffing", "trajectory"}
    assert {"StandardMultiserver", "StandardNetworkMultiserver", "ExactMultiserver",
            "ExactNetworkMultiserver", "error"} <= public
    assert movra.StandardMultiserver.__module__ == "movra"
    assert movra.StandardNetworkMultiserver.__name__ == "StandardNetworkMultiserver"


def test_error_class():
    assert issubclass(movra.error, Exception)
    assert movra.error.__name__ == "error"
    assert movra.error.__module__ == "movra"


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: movra.StandardMultiserver(1), "Expected 0 parameters"),
        (lambda: movra.StandardNetworkMultiserver(), "Expected 1 parameters"),
        (lambda: movra.StandardNetworkMultiserver(1, 2), "Expected 1 parameters"),
    ],
)
def test_constructor_argument_counts(make, message):
    with pytest.raises(movra.error) as info:
        make()
    assert str(info.value) == message
    assert info.value.args == (message,)


@pytest.mark.parametrize("make", [movra.StandardMultiserver, lambda: movra.StandardNetworkMultiserver(2)])
def test_counters_are_read_only(make):
    m = make()
    assert m.peak_memory_use >= m.current_memory_use > 0
    for name in ("current_memory_use", "peak_memory_use"):
        with pytest.raises(AttributeError):
            setattr(m, name, 5)


def test_subclasses_run_the_same_construction():
    class Station(movra.StandardMultiserver):
        def describe(self):
            return (self.number_of_servers, self.internal_state)

    class Network(movra.StandardNetworkMultiserver):
        pass

    s = Station()
    assert s.describe() == (0, {(0, 0): 1.0})
    s.number_of_servers = 1
    s.number_of_arrivals_pmf = {0: 0.5, 1: 0.5}
    s.step()
    assert s.internal_state == {(0, 1): 0.5, (1, 1): 0.5}
    n = Network(3)
    assert n.get_number_of_nodes() == 3
    with pytest.raises(movra.error, match="Expected 0 parameters"):
        Station(1)


def test_methods_refuse_keyword_arguments():
    m = movra.StandardMultiserver()
    with pytest.raises(TypeError):
        m.reset_with_number_of_entities_in_system(n=1)


REPO = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
@pytest.mark.skipif(bool(os.environ.get("MOVRA_SANITIZED")),
                    reason="the sanitizer runtime exports its own hooks; checked on the release build")
def test_only_the_entry_point_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", movra._movra.__file__],
                         capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit__movra"]


def test_repository_root_imports_the_installed_module():
    # The C++ sources must not shadow the module as a namespace package.
    code = "import movra; print(movra.StandardMultiserver.__name__)"
    out = subprocess.run([sys.executable, "-c", code], cwd=REPO, capture_output=True, text=True)
    assert out.stdout.strip() == "StandardMultiserver", out.stderr


@pytest.mark.parametrize(
    "cls", [movra.StandardMultiserver, movra.StandardNetworkMultiserver, movra.ExactNetworkMultiserver]
)
def test_every_public_name_is_documented_with_a_signature(cls):
    import inspect
    assert movra.__doc__ and cls.__doc__
    # The constructor's, which help() shows
    assert str(inspect.signature(cls)) == {
        movra.StandardMultiserver: "()",
        movra.StandardNetworkMultiserver: "(number_of_nodes, /)",
        movra.ExactNetworkMultiserver: "(number_of_nodes, /, *, max_states=1000000)",
    }[cls]
    for name in (n for n in dir(cls) if not n.startswith("_")):
        attr = getattr(cls, name)
        assert attr.__doc__, name
        if callable(attr):
            params = list(inspect.signature(attr).parameters.values())
            assert params[0].name == "self", name
            assert all(p.kind is p.POSITIONAL_ONLY for p in params), name


def test_version():
    from importlib.metadata import version
    assert movra.__version__ == version("movra")


@pytest.mark.parametrize("count, noun", [(1, "server"), (2, "servers"), (0, "servers")])
def test_repr(count, noun):
    m = movra.StandardMultiserver()
    m.number_of_servers = count
    m.internal_state = {(1, 1): 0.5, (3, 1): 0.5}
    assert repr(m) == f"<movra.StandardMultiserver: {count} {noun}, time 0, mean 2 in system>"
    nodes = count or 5
    assert repr(movra.StandardNetworkMultiserver(nodes)) == (
        f"<movra.StandardNetworkMultiserver: {nodes} {noun.replace('server', 'node')}, time 0>")
