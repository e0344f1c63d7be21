"""Why cached tiles slow down while plans are drawn: the tile worker's scheduler
statistics (/proc/<pid>/schedstat) under wrk, alternately without and with two
clients fetching site plans back to back, as the suite's plans section runs them.

    python bench/plan_contention.py [--connections 8] [--rounds 2] [--duration 5]

Prints, per run, cached-tile p99 and the share of the run the worker spent on a CPU
and runnable but waiting for one. Waiting that grows with plans is CPU contention;
a loop held up by plan work would show as time on the CPU instead."""
from __future__ import annotations

import argparse
import subprocess
import sys
import time

import run_all


def schedstat(pid: int) -> tuple[int, int]:
    """Nanoseconds on a CPU and waiting on a run queue, since the process started."""
    on_cpu, waiting, _ = open(f"/proc/{pid}/schedstat").read().split()
    return int(on_cpu), int(waiting)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--connections", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--duration", type=int, default=5)
    parser.add_argument("--database", default="ravn_bench")
    args = parser.parse_args()
    args.parcels = 100_000
    url, data = run_all.prepare(args)
    host = run_all.start_host(url)
    try:
        paths = run_all.tile_paths("/gis", data["cached"])
        run_all.warm(host, paths)
        print(f"# {args.connections} connections, {args.duration} s per run; worker pid {host.process.pid}")
        print("| run | tile p99 ms | tile req/s | worker on a CPU | worker waiting for a CPU |")
        print("|---|---:|---:|---:|---:|")
        for _ in range(args.rounds):
            for with_plans in (False, True):
                clients = []
                if with_plans:
                    clients = [subprocess.Popen([sys.executable, "-c", run_all.PLAN_LOOP, host.base, run_all.PLAN_TOKEN,
                                                 "1,2,3,4,5"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                               for _ in range(2)]
                    time.sleep(3)  # the first plans under way
                try:
                    cpu0, wait0 = schedstat(host.process.pid)
                    started = time.monotonic()
                    result = run_all.wrk(host, paths, args.connections, args.duration)
                    elapsed_ns = (time.monotonic() - started) * 1e9
                    cpu1, wait1 = schedstat(host.process.pid)
                finally:
                    for client in clients:
                        client.terminate()
                        client.wait()
                print(f"| {'with plans' if with_plans else 'without'} | {result['p99_us'] / 1000:.2f} | "
                      f"{result['rps']:,.0f} | {100 * (cpu1 - cpu0) / elapsed_ns:.1f} % | "
                      f"{100 * (wait1 - wait0) / elapsed_ns:.1f} % |")
    finally:
        host.stop()


if __name__ == "__main__":
    main()
