"""fit_curves on 2,000 series of 400 points, degree chosen by a trimmed BIC, on each path.

The user's own way is a loop of bare estimator fits on the default OpenMP team, as
sequential fit_curves runs them; the overhead per series compares both on the same sample of
series, in interleaved pairs. The parallel paths run each fit on one thread, so their
scaling is measured against the sequential path held to one thread as well, and their gain
for a user against the sequential path as it runs by default. Each path's time is the median
of `--repeat` interleaved rounds. 'Cores used' and 'CPU time' count this process and its
workers (Linux): equal CPU times mean the parallel paths add no work, whatever a busy
machine did to the wall times. Peak memory is the parent's: the growth of its resident
high-water mark over the call, the workers' memory not included.

With --kill-worker: the wall time a dead worker costs, on a quarter of the series on the
2-worker LocalCluster: each round runs once undisturbed and once with one worker process
killed (SIGKILL) when half the batches are done, its finished batches lost with it.
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
import pandas as pd
from _common import reset_peak_rss, status_kib, thread_report
from distributed import Client, LocalCluster
from threadpoolctl import threadpool_limits

from vasq import RobustPolynomialRegressor, fit_curves
from vasq._many import series_seed

N_SERIES, N_POINTS, WORKERS = 2000, 400, 2
SAMPLE = 100  # series timed as bare fits


def long_table():
    """Cubics of random coefficients with noise and a fifth of gross outliers, rows interleaved."""
    rng = np.random.default_rng(0)
    ids = np.repeat(np.arange(N_SERIES), N_POINTS)
    x = np.tile(np.linspace(-1.0, 1.0, N_POINTS), N_SERIES)
    coef = rng.normal(0.0, 1.0, (N_SERIES, 4)).repeat(N_POINTS, axis=0)
    y = sum(coef[:, k] * x**k for k in range(4)) + rng.normal(0.0, 0.05, x.size)
    outliers = rng.random(x.size) < 0.2
    y[outliers] += rng.normal(0.0, 3.0, outliers.sum())
    return pd.DataFrame({"star": ids, "phase": x, "flux": y}).sample(frac=1.0, random_state=0)


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
    """Wall time of one call, the cores our processes obtained over it, and the growth of
    the parent's peak resident size, in MiB."""
    reset_peak_rss()
    before, cpu = status_kib("VmRSS:"), family_cpu_seconds()
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    cores = (family_cpu_seconds() - cpu) / elapsed
    return elapsed, cores, (status_kib("VmHWM:") - before) / 1024, result


def bare_loop(sample):
    """The user's way: a loop of bare fits, one per series."""
    for star, points in sample.groupby("star", sort=False):
        model = RobustPolynomialRegressor(random_state=series_seed(0, star))
        model.fit(points[["phase"]].to_numpy(), points["flux"].to_numpy())


def on_one_thread(**options):
    with threadpool_limits(limits=1):
        return fit_curves(**options)


def clocks(fn):
    """Wall and CPU time of one call; this process's CPU time is less disturbed by other load."""
    wall, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - wall, time.process_time() - cpu


def fits_done(dask_scheduler):
    """Finished fit tasks per worker holding them, and the number of all fit tasks."""
    held, total = collections.Counter(), 0
    for task in dask_scheduler.tasks.values():
        if str(task.key).startswith("_fit_batch"):
            total += 1
            held.update(worker.address for worker in task.who_has or ())
    return dict(held), total


def fit_killing_a_worker(cluster, client, table, columns):
    """Wall time of fit_curves when one worker is killed half-way, and its table."""
    with ThreadPoolExecutor(1) as pool:
        start = time.perf_counter()
        run = pool.submit(fit_curves, table, **columns, client=client)
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


def killed_worker(table, columns, repeat):
    table = table[table["star"] < N_SERIES // 4]
    print(f"{N_SERIES // 4} series x {N_POINTS} points, degree auto, {WORKERS}-worker "
          f"LocalCluster x 1 thread; median of {repeat} round(s); the machine may be shared, "
          "so figures are noisy")
    calm, killed, identical = [], [], True
    for _ in range(repeat):
        # A cluster per round: the nanny's restart of the killed worker is not waited for.
        with (LocalCluster(n_workers=WORKERS, threads_per_worker=1, host="127.0.0.1",
                           dashboard_address="127.0.0.1:0") as cluster,
              Client(cluster, set_as_default=False) as client):
            fit_curves(table[table["star"] < 2 * WORKERS], **columns, client=client)  # warm-up
            start = time.perf_counter()
            expected = fit_curves(table, **columns, client=client)
            calm.append(time.perf_counter() - start)
            elapsed, result = fit_killing_a_worker(cluster, client, table, columns)
            killed.append(elapsed)
            identical &= result.equals(expected)
    calm_t, killed_t = statistics.median(calm), statistics.median(killed)
    print(f"undisturbed {calm_t:.1f} s; one worker killed half-way {killed_t:.1f} s; lost "
          f"{killed_t - calm_t:.1f} s ({killed_t / calm_t - 1.0:+.0%}); tables identical: "
          f"{identical}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=1, help="interleaved rounds (default 1)")
    parser.add_argument("--kill-worker", action="store_true",
                        help="measure only the time lost to a killed worker")
    args = parser.parse_args()
    repeat = args.repeat

    table = long_table()
    columns = dict(id="star", x="phase", y="flux", progress=False)
    if args.kill_worker:
        killed_worker(table, columns, repeat)
        return
    print(thread_report())
    print("load average at start: {:.1f} {:.1f} {:.1f} on {} cores".format(
        *os.getloadavg(), os.cpu_count()))
    print(f"{N_SERIES} series x {N_POINTS} points, degree auto; sequential on the default "
          f"OpenMP team and on 1 thread; {WORKERS} local processes or {WORKERS} Dask workers x 1 "
          f"thread, each fit on 1 thread; median of {repeat} "
          "interleaved round(s); the machine may be shared, so figures are noisy")
    start = time.perf_counter()
    cluster = LocalCluster(n_workers=WORKERS, threads_per_worker=1, host="127.0.0.1",
                           dashboard_address="127.0.0.1:0")
    client = Client(cluster, set_as_default=False)
    print(f"LocalCluster start-up {time.perf_counter() - start:.1f} s (not counted below)")
    paths = {
        "sequential": dict(),
        "sequential, 1 thread": dict(),
        f"n_jobs={WORKERS} (joblib, loky)": dict(n_jobs=WORKERS),
        f"{WORKERS}-worker LocalCluster": dict(client=client),
    }
    # Worker start-up is a one-off cost of a session, not of a call.
    start = time.perf_counter()
    warm = table[table["star"] < 2 * WORKERS]
    for options in list(paths.values())[2:]:
        fit_curves(warm, **columns, **options)
    print(f"worker warm-up {time.perf_counter() - start:.1f} s (not counted below)")
    times = {name: [] for name in paths}
    cores = {name: [] for name in paths}
    memory, tables = {}, {}
    try:
        for _ in range(repeat):
            for name, options in paths.items():
                run = on_one_thread if name == "sequential, 1 thread" else fit_curves
                elapsed, used, peak, tables[name] = timed(
                    lambda: run(data=table, **columns, **options))
                times[name].append(elapsed)
                cores[name].append(used)
                memory[name] = max(memory.get(name, 0.0), peak)
    finally:
        client.close()
        cluster.close()
    first = next(iter(tables.values()))
    identical = all(t.equals(first) for t in tables.values())
    # Overhead: the same sample of series both ways, interleaved, median of the ratios.
    sample = table[table["star"] % (N_SERIES // SAMPLE) == 0]
    ratios = {"wall": [], "CPU": []}
    for _ in range(max(repeat, 3)):
        bare = clocks(lambda: bare_loop(sample))
        ours = clocks(lambda: fit_curves(sample, **columns))
        for kind, b, o in zip(ratios, bare, ours, strict=True):
            ratios[kind].append(o / b - 1.0)

    sequential = statistics.median(times["sequential"])
    one_thread = statistics.median(times["sequential, 1 thread"])
    print(f"{'path':<32}{'time':>10}{'per series':>13}{'scaling':>9}{'gain':>7}{'cores used':>12}"
          f"{'CPU time':>11}{'parent peak':>14}")
    for name in paths:
        t, used = statistics.median(times[name]), statistics.median(cores[name])
        print(f"{name:<32}{t:>9.1f}s{t / N_SERIES * 1e3:>10.2f} ms{one_thread / t:>8.2f}x"
              f"{sequential / t:>6.2f}x{used:>12.2f}{t * used:>10.1f}s{memory[name]:>10.1f} MiB")
    print(f"scaling = sequential on 1 thread / path (target >= 1.8x on {WORKERS} cores for both "
          "parallel paths); gain = sequential on the default team / path")
    print(f"overhead per series of sequential fit_curves over a loop of bare fits, {SAMPLE} "
          f"series, median of {max(repeat, 3)} interleaved pairs: wall "
          f"{statistics.median(ratios['wall']):+.1%}, CPU {statistics.median(ratios['CPU']):+.1%} "
          f"(target <= 10 %); one bare fit {bare[0] / SAMPLE * 1e3:.1f} ms on the default team")
    print("load average at end: {:.1f} {:.1f} {:.1f}; 'cores used' is the CPU time of this "
          "process and its workers over the wall time: where other sessions keep the cores busy, "
          "the kernel's per-session fair share caps it, and the speed-ups with it"
          .format(*os.getloadavg()))
    print(f"tables of all paths identical: {identical}; "
          f"{int(first['error'].notna().sum())} series with an error")


if __name__ == "__main__":
    main()
