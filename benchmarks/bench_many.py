"""fit_curves on many short series, on each path, against a loop of RLM and a NumPy floor.

3000 series x 50 points, then 2000 x 400 (--sizes), each table sharing one x: quadratic
drifts with a tenth of gross outliers; the targets are those of the short series. Ours:
fit_curves with the default estimator (degree chosen from 0 to 6 by the trimmed BIC,
high-breakdown fit), sequentially on the core's default OpenMP team and on
1 thread, on 2 threads of this process, on 2 loky processes and on a 2-worker LocalCluster
(127.0.0.1, 1 thread per worker); each parallel fit runs on 1 thread. Theirs: statsmodels' RLM
(its default Huber norm) at the true degree 2, a joblib loop on 2 loky processes over batches
of the size ours uses, each process on 1 BLAS thread (loky's default on 2 cores); and the
floor: one vectorised NumPy least-squares fit of all series at once at the true degree,
which no robust method reaches. Each time is the median of `--repeat` interleaved rounds.
'Cores used' and 'CPU time' count this process and its workers (Linux): equal CPU times mean
a parallel path adds no work, whatever a busy machine did to the wall times. Peak memory is
the parent's: the growth of its resident high-water mark over the call.

With --kill-worker: the wall time a dead worker costs on the 2-worker LocalCluster: each
round runs once undisturbed and once with one worker process killed (SIGKILL) when half the
batches are done, its finished batches lost with it.
"""

import argparse
import collections
import glob
import os
import signal
import statistics
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import statsmodels.api as sm
from _common import reset_peak_rss, status_kib, thread_report
from distributed import Client, LocalCluster
from joblib import Parallel, delayed, parallel_config
from threadpoolctl import threadpool_limits

from vasq import fit_curves
from vasq._many_local import batch_size

WORKERS = 2
TRUE_DEGREE = 2


def drifts(n_series, n_points, seed=0):
    """x in [0, 1] and one quadratic per column of Y, noise sd 0.05, a tenth of outliers."""
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 1.0, n_points)
    coef = rng.normal(0.0, 1.0, (TRUE_DEGREE + 1, n_series))
    Y = np.vander(x, TRUE_DEGREE + 1, increasing=True) @ coef
    Y += rng.normal(0.0, 0.05, Y.shape)
    outliers = rng.random(Y.shape) < 0.1
    Y[outliers] += rng.normal(0.0, 3.0, outliers.sum())
    return x, Y


def family_cpu_seconds():
    """CPU time of this process and all its descendants (worker processes included), Linux."""
    parent, ticks = {}, {}
    for stat in glob.glob("/proc/[0-9]*/stat"):
        try:
            with open(stat) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:  # the process has gone
            continue
        pid = int(stat.split("/")[2])
        parent[pid], ticks[pid] = int(fields[1]), int(fields[11]) + int(fields[12])
    children = collections.defaultdict(list)
    for pid, ppid in parent.items():
        children[ppid].append(pid)
    total, stack = 0, [os.getpid()]
    while stack:
        pid = stack.pop()
        total += ticks.get(pid, 0)
        stack.extend(children[pid])
    return total / os.sysconf("SC_CLK_TCK")


def timed(fn):
    """Wall time of one call, the cores our processes obtained over it, the growth of the
    parent's peak resident size in MiB, and the call's result."""
    reset_peak_rss()
    before, cpu = status_kib("VmRSS:"), family_cpu_seconds()
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    cores = (family_cpu_seconds() - cpu) / elapsed
    return elapsed, cores, (status_kib("VmHWM:") - before) / 1024, result


def rlm_batch(V, Y):
    return [sm.RLM(Y[:, j], V).fit().params for j in range(Y.shape[1])]


def rlm_loop(x, Y):
    """The user's way with RLM: the true degree handed to it, series spread over processes."""
    V = np.vander(x, TRUE_DEGREE + 1, increasing=True)
    size = batch_size(None, Y.shape[1], WORKERS)
    with parallel_config(backend="loky"):
        return Parallel(n_jobs=WORKERS)(
            delayed(rlm_batch)(V, Y[:, i:i + size]) for i in range(0, Y.shape[1], size))


def numpy_floor(x, Y):
    """Least squares of every series at once: one factorisation of the shared design."""
    return np.linalg.lstsq(np.vander(x, TRUE_DEGREE + 1, increasing=True), Y, rcond=None)[0]


def on_one_thread(x, Y):
    with threadpool_limits(limits=1):
        return fit_curves(x, Y, n_jobs=1, progress=False)


def same_tables(tables):
    """Whether every table equals the first, columns to the bit and models by their text.

    Columns are compared by the repr of their values, which round-trips floats exactly and,
    unlike ==, finds a NaN inside a tuple of standard errors equal to itself."""
    first = next(iter(tables))
    text = [None if m is None else m.to_json() for m in first["model"]]
    columns = first.drop(columns="model").map(repr)
    return all(t.drop(columns="model").map(repr).equals(columns)
               and [None if m is None else m.to_json() for m in t["model"]] == text
               for t in tables)


def fits_done(dask_scheduler):
    """Finished fit tasks per worker holding them, and the number of all fit tasks."""
    held, total = collections.Counter(), 0
    for task in dask_scheduler.tasks.values():
        if str(task.key).startswith("fit_batch"):
            total += 1
            held.update(worker.address for worker in task.who_has or ())
    return dict(held), total


def fit_killing_a_worker(cluster, client, x, Y):
    """Wall time of fit_curves when one worker is killed half-way, and its table."""
    with ThreadPoolExecutor(1) as pool:
        start = time.perf_counter()
        run = pool.submit(fit_curves, x, Y, client=client, progress=False)
        while not run.done():
            held, total = client.run_on_scheduler(fits_done)
            if total and 2 * sum(held.values()) >= total:
                victim = max(held, key=held.get)
                os.kill(next(n.pid for n in cluster.workers.values()
                             if n.worker_address == victim), signal.SIGKILL)
                break
            time.sleep(0.02)
        result = run.result()
        return time.perf_counter() - start, result


def killed_worker(x, Y, repeat):
    print(f"{Y.shape[1]} series x {Y.shape[0]} points, degree auto, {WORKERS}-worker "
          f"LocalCluster x 1 thread; median of {repeat} round(s); the machine may be shared, "
          "so figures are noisy")
    calm, killed, identical = [], [], True
    for _ in range(repeat):
        # A cluster per round: the nanny's restart of the killed worker is not waited for.
        with (LocalCluster(n_workers=WORKERS, threads_per_worker=1, host="127.0.0.1",
                           dashboard_address="127.0.0.1:0") as cluster,
              Client(cluster, set_as_default=False) as client):
            fit_curves(x, Y[:, :2 * WORKERS], client=client, progress=False)  # warm-up
            start = time.perf_counter()
            expected = fit_curves(x, Y, client=client, progress=False)
            calm.append(time.perf_counter() - start)
            elapsed, result = fit_killing_a_worker(cluster, client, x, Y)
            killed.append(elapsed)
            identical &= same_tables([expected, result])
    calm_t, killed_t = statistics.median(calm), statistics.median(killed)
    print(f"undisturbed {calm_t:.1f} s; one worker killed half-way {killed_t:.1f} s; lost "
          f"{killed_t - calm_t:.1f} s ({killed_t / calm_t - 1.0:+.0%}); tables identical: "
          f"{identical}", flush=True)


def measure(x, Y, repeat, client):
    """Every path on the series Y (columns) at x, `repeat` interleaved rounds, and the table."""
    n_series = Y.shape[1]
    print(f"\n{n_series} series x {Y.shape[0]} points, quadratic drift, 10 % gross outliers; "
          f"ours degree auto (0..6), RLM and NumPy at the true degree {TRUE_DEGREE}; median of "
          f"{repeat} interleaved round(s); the machine may be shared, so figures are noisy")
    ours = {
        "ours, sequential, default team": lambda x, Y: fit_curves(x, Y, progress=False),
        "ours, sequential, 1 thread": on_one_thread,
        f"ours, {WORKERS} threads": lambda x, Y: fit_curves(x, Y, n_jobs=WORKERS,
                                                             progress=False),
        f"ours, {WORKERS} processes (loky)": lambda x, Y: fit_curves(
            x, Y, n_jobs=WORKERS, backend="processes", progress=False),
        f"ours, {WORKERS}-worker LocalCluster": lambda x, Y: fit_curves(x, Y, client=client,
                                                                         progress=False),
    }
    rlm = f"RLM loop, {WORKERS} processes (loky)"
    paths = {**ours, rlm: rlm_loop, "NumPy lstsq, all at once, 1 call": numpy_floor}
    # Worker start-up and imports are one-off costs of a session, not of a call.
    start = time.perf_counter()
    for run in paths.values():
        run(x, Y[:, :8 * WORKERS])
    print(f"warm-up {time.perf_counter() - start:.1f} s (not counted below)")
    times = {name: [] for name in paths}
    cores = {name: [] for name in paths}
    memory, tables = {}, {}
    for _ in range(repeat):
        for name, run in paths.items():
            elapsed, used, peak, result = timed(lambda: run(x, Y))
            times[name].append(elapsed)
            cores[name].append(used)
            memory[name] = max(memory.get(name, 0.0), peak)
            if name in ours:
                tables[name] = result
    median = {name: statistics.median(t) for name, t in times.items()}
    one_thread = median["ours, sequential, 1 thread"]
    print(f"{'path':<38}{'time':>9}{'per series':>13}{'scaling':>9}{'cores used':>12}"
          f"{'CPU time':>10}{'parent peak':>13}")
    for name in paths:
        t, used = median[name], statistics.median(cores[name])
        scaling = f"{one_thread / t:>8.2f}x" if name in ours else f"{'':>9}"
        print(f"{name:<38}{t:>8.2f}s{t / n_series * 1e3:>10.3f} ms{scaling}{used:>12.2f}"
              f"{t * used:>9.1f}s{memory[name]:>9.1f} MiB")
    threads = median[f"ours, {WORKERS} threads"]
    floor = median["NumPy lstsq, all at once, 1 call"]
    short = Y.shape[0] <= 50
    print(f"scaling = ours sequential on 1 thread / path: 1 -> {WORKERS} threads "
          f"{one_thread / threads:.2f}x{' (target >= 1.8x)' if short else ''}")
    print(f"ours on {WORKERS} threads against the RLM loop on {WORKERS} processes: "
          f"{median[rlm] / threads:.2f}x faster per series{' (target >= 4x)' if short else ''};"
          f" against {WORKERS} processes "
          f"{median[f'ours, {WORKERS} processes (loky)'] / threads:.2f}x")
    print(f"NumPy floor {floor / n_series * 1e6:.2f} us per series: ours on {WORKERS} threads "
          f"take {threads / floor:.0f}x as long")
    print("load average at end: {:.1f} {:.1f} {:.1f}; 'cores used' is the CPU time of this "
          "process and its workers over the wall time: where other sessions keep the cores busy, "
          "the kernel's per-session fair share caps it, and the speed-ups with it"
          .format(*os.getloadavg()))
    first = next(iter(tables.values()))
    print(f"tables of all our paths identical: {same_tables(tables.values())}; "
          f"{int(first['error'].notna().sum())} series with an error")




def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="+", default=["3000x50", "2000x400"],
                        help="series x points of each table (default 3000x50 2000x400)")
    parser.add_argument("--repeat", type=int, default=3, help="interleaved rounds (default 3)")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 200 series of 50 points, one round")
    parser.add_argument("--kill-worker", action="store_true",
                        help="measure only the time lost to a killed worker (the first size)")
    args = parser.parse_args()
    sizes = [(200, 50)] if args.quick else [tuple(int(v) for v in size.split("x"))
                                            for size in args.sizes]
    repeat = 1 if args.quick else args.repeat
    if args.kill_worker:
        killed_worker(*drifts(*sizes[0]), repeat)
        return
    print(thread_report())
    print("load average at start: {:.1f} {:.1f} {:.1f} on {} cores".format(
        *os.getloadavg(), os.cpu_count()))
    start = time.perf_counter()
    cluster = LocalCluster(n_workers=WORKERS, threads_per_worker=1, host="127.0.0.1",
                           dashboard_address="127.0.0.1:0")
    client = Client(cluster, set_as_default=False)
    print(f"LocalCluster start-up {time.perf_counter() - start:.1f} s (not counted below)")
    try:
        for n_series, n_points in sizes:
            measure(*drifts(n_series, n_points), repeat, client)
    finally:
        client.close()
        cluster.close()


if __name__ == "__main__":
    main()
