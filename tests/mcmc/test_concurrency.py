"""fit from several Python threads, with any OpenMP thread count, in pool workers forked after
a parallel fit or started afresh, under a tight address space and under a process limit gives
the same bits as a plain call."""

import gc
import os
import subprocess
import sys
import threading
import time
import weakref
from pathlib import Path

import numpy as np
import pytest

import vasq_core as vc

# Shared by this module and the child processes it starts.
FIT = """
import numpy as np, vasq_core

def fitted(n, gamma=1e-3, **config):
    x = np.linspace(-1.0, 1.0, n)
    y = np.sin(3.0 * x) + 0.1 * np.cos(40.0 * x)
    R = np.diag([0.0, 1.0, 2.0, 3.0])
    return vasq_core.TournamentMCMC(**config).fit(
        np.vander(x, 4, increasing=True), y, R, R @ R, gamma, gamma / 10)

def hexed(r):
    g = r.gibbs
    return [v.hex() for v in [*r.beta_mcmc, r.energy, g.H, g.Hmax, g.He, g.r_heat, g.var_E]]

def outcome(seed):
    return hexed(fitted(120, n_chains=12, n_warmup=40, n_deep=60, seed=seed))

def deep_phases():
    # Deep phases of one to seven chains, with ties among the unpenalised energies.
    cases = [(42, 5, 1e-3), (1, 1, 1e-3), (2, 3, 0.0), (3, 7, 1e-2)]
    return [hexed(fitted(300, gamma, n_chains=24, n_deep=300, n_elite=n_elite, seed=seed))
            for seed, n_elite, gamma in cases]
"""
namespace: dict = {}
exec(FIT, namespace)
fitted, outcome, deep_phases = (namespace[k] for k in ("fitted", "outcome", "deep_phases"))
SEEDS = [0, 1, 2, 3]


def run_child(body, tmp_path, threads, timeout=120):
    """Runs FIT + body as a script with OMP_NUM_THREADS=threads; returns its stdout lines.
    The timeout turns a hang into a failure."""
    script = tmp_path / "child.py"
    script.write_text(FIT + body)
    # The child must load the very module this session imported.
    path = os.pathsep.join([os.path.dirname(vc.__file__), *sys.path])
    env = dict(os.environ, OMP_NUM_THREADS=str(threads), PYTHONPATH=path)
    done = subprocess.run([sys.executable, str(script)], env=env, capture_output=True,
                          text=True, timeout=timeout, check=True)
    return done.stdout.splitlines()


@pytest.fixture(scope="module")
def expected():
    return {seed: outcome(seed) for seed in SEEDS}


def test_fit_from_four_python_threads(expected):
    results = {}

    def work(seed):
        results[seed] = outcome(seed)

    threads = [threading.Thread(target=work, args=(seed,)) for seed in SEEDS]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == expected


@pytest.fixture(scope="module")
def expected_deep():
    return str(deep_phases())


@pytest.mark.parametrize("threads", [1, 2, 4, 8])
def test_any_openmp_thread_count(threads, expected, expected_deep, tmp_path):
    body = "print(outcome(1))\nprint(outcome(2))\nprint(deep_phases())\n"
    lines = run_child(body, tmp_path, threads)
    assert lines == [str(expected[1]), str(expected[2]), expected_deep]


POOL = """
import multiprocessing

if __name__ == "__main__":
    outcome(0)  # a parallel region runs before the workers start, forked or not
    with multiprocessing.get_context("{method}").Pool(2) as pool:
        for line in pool.map(outcome, [1, 2, 3]):
            print(line)
        print(outcome(2))  # the parent keeps its threads
"""


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_fit_in_a_process_pool(method, expected, tmp_path):
    lines = run_child(POOL.format(method=method), tmp_path, threads=4)
    assert lines == [str(expected[seed]) for seed in (1, 2, 3, 2)]


# Address space for the module's work but not for eight 8 MiB thread stacks. OpenBLAS maps
# its buffers at its first product, and ends the process when it cannot: that product comes
# before the limit.
TIGHT = """
import resource

np.eye(4) @ np.eye(4)

def mapped_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

resource.setrlimit(resource.RLIMIT_AS, (mapped_bytes() + {spare} * 2**20, resource.RLIM_INFINITY))
print(outcome(3))
"""


@pytest.mark.parametrize("spare_mib", [4, 12, 40])
def test_fit_with_too_little_address_space_for_all_threads(spare_mib, expected, tmp_path,
                                                           address_sanitizer):
    if address_sanitizer:
        pytest.skip("the sanitizer maps its own memory as it goes")
    assert run_child(TIGHT.format(spare=spare_mib), tmp_path, threads=8) == [str(expected[3])]


# Under a limit on the user's processes (RLIMIT_NPROC, as on shared clusters), with busy
# threads and two Python threads fitting at once. The limit binds only users other than root,
# so the child takes an unused user id once it has loaded everything. Python's own threads
# count too, and an exited thread's slot returns some time after it was joined.
NPROC = """
import os, resource, threading, time
outcome(0)
os.setgid({uid})
os.setuid({uid})
resource.setrlimit(resource.RLIMIT_NPROC, ({limit}, {limit}))
stop = threading.Event()

def busy():
    while not stop.is_set():
        sum(range(1000))

def started(target, *args):
    while True:
        thread = threading.Thread(target=target, args=args, daemon=True)
        try:
            thread.start()
            return thread
        except RuntimeError:  # no slot for Python's own thread yet
            time.sleep(0.001)

results = {{}}

def work(seed):
    results.setdefault(seed, set()).add(str(outcome(seed)))

busy_threads = [started(busy) for _ in range(2)]
for round in range(24):
    pair = [started(work, seed) for seed in (round % 4, (round + 1) % 4)]
    for thread in pair:
        thread.join()
stop.set()
for seed in sorted(results):
    print(seed, *results[seed])
"""


def unused_user_id():
    taken = set()
    for status in Path("/proc").glob("[0-9]*/status"):
        try:
            taken.update(line.split()[1] for line in status.read_text().splitlines()
                         if line.startswith("Uid:"))
        except OSError:  # the process ended
            pass
    return next(uid for uid in range(40000 + os.getpid() % 20000, 2**31)
                if str(uid) not in taken)


@pytest.mark.parametrize("limit", [6, 10, 14])
def test_fit_under_a_process_limit(limit, expected, tmp_path):
    if os.geteuid() != 0:
        pytest.skip("needs root to run the child as a user the process limit binds")
    lines = run_child(NPROC.format(uid=unused_user_id(), limit=limit), tmp_path, threads=8)
    assert lines == [f"{seed} {expected[seed]}" for seed in SEEDS]


def test_views_outlive_their_result(expected):
    result = fitted(120, n_chains=12, n_warmup=40, n_deep=60, seed=1)
    alive = weakref.ref(result)
    beta, gibbs = result.beta_mcmc[1:], result.gibbs
    with pytest.raises(ValueError, match="read-only"):
        beta[0] = 1.0
    del result
    gc.collect()
    assert alive() is not None
    # Reuse freed memory, so that a dangling view would show other values.
    garbage = [np.full(4, 7.0) for _ in range(1000)]
    values = [*beta, gibbs.H, gibbs.Hmax, gibbs.He, gibbs.r_heat, gibbs.var_E]
    beta_hex, gibbs_hex = expected[1][1:4], expected[1][5:]
    assert [v.hex() for v in values] == beta_hex + gibbs_hex
    del beta, gibbs, garbage
    gc.collect()
    assert alive() is None


def thread_count():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_idle_helpers_end_and_give_their_slots_back(expected):
    # Under a process limit a helper kept for good would hold a slot the user's own
    # threads need; one kept between loops is what makes short loops scale.
    time.sleep(0.5)  # helpers of earlier tests
    before = thread_count()
    assert outcome(2) == expected[2]
    time.sleep(0.5)
    assert thread_count() == before
