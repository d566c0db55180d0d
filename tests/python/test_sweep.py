"""The what-if sweep of examples/sweep.py gives the same table, bit for bit, on threads,
on worker processes and on a local Dask cluster of two worker processes as serially."""

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import sweep  # noqa: E402

# Enough plans that the process pool sends several tasks in one message.
PLANS = sweep.plans(16)


@pytest.fixture(scope="module")
def base():
    return sweep.base_model()


@pytest.fixture(scope="module")
def serial(base):
    rows = sweep.sweep_serial(base, PLANS, sweep.STEPS_PER_DAY)
    assert len({row[1:] for row in rows}) == len(PLANS)  # the plans do differ
    return rows


def test_threads(base, serial):
    assert sweep.sweep_threads(base, PLANS, sweep.STEPS_PER_DAY, 2) == serial


def test_processes(base, serial):
    assert sweep.sweep_processes(base, PLANS, sweep.STEPS_PER_DAY, 2) == serial


def test_dask_local_cluster_of_two_workers(base, serial):
    pytest.importorskip("dask.distributed")
    if os.environ.get("MOVRA_SANITIZED"):
        pytest.skip("worker processes of the sanitizer build are slow and add nothing")
    with sweep.dask_client(2) as client:
        assert sweep.sweep_dask(base, PLANS, sweep.STEPS_PER_DAY, client) == serial
