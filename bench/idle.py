"""Idle cost: a training loop reads one fresh batch of 256, then computes for 5 ms, 200 times over.
The loop's processor time (user + system, from getrusage) and its median batch time, with every
pool thread and with one (RAYON_NUM_THREADS=1), each in a child process of its own."""

import json
import os
import resource
import statistics
import subprocess
import sys
import time

import numpy as np

from molarium_store import MolariumReader

BATCH = 256
ROUNDS = 200
PAUSE_SECONDS = 0.005


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def run_child(args):
    """Prints {"cpu": seconds of processor time over the loop, "batch": median batch seconds}."""
    reader = MolariumReader("none", mmap=True)
    db = reader.open(args["path"])
    count = reader.length(db)
    reader.scan(db, count)  # maps every page first, as a loader that has run for a while has
    rng = np.random.default_rng(args["seed"])
    batches = [rng.choice(count, size=min(BATCH, count), replace=False).tolist() for _ in range(ROUNDS)]
    times = []
    started = cpu_seconds()
    for indices in batches:
        start = time.perf_counter()
        reader.read_batch(db, indices)
        times.append(time.perf_counter() - start)
        time.sleep(PAUSE_SECONDS)
    print(json.dumps({"cpu": cpu_seconds() - started, "batch": statistics.median(times)}))


def measure(path, seed, runs=3):
    """{"all": {...}, "one": {...}}: per setting the median over `runs` child processes, run
    alternately so that both see the same load on a shared machine."""
    here = os.path.dirname(os.path.abspath(__file__))
    request = json.dumps({"path": path, "seed": seed})
    samples = {"all": [], "one": []}
    for _ in range(runs):
        for setting in samples:
            env = dict(os.environ)
            env.pop("RAYON_NUM_THREADS", None)
            env.pop("RAYON_RS_NUM_CPUS", None)
            if setting == "one":
                env["RAYON_NUM_THREADS"] = "1"
            done = subprocess.run([sys.executable, os.path.join(here, "idle.py"), request], env=env,
                                  capture_output=True, text=True, check=False)
            if done.returncode != 0:
                raise RuntimeError(f"idle-cost child ({setting}) failed:\n{done.stderr}")
            samples[setting].append(json.loads(done.stdout.strip().splitlines()[-1]))
    return {setting: {key: statistics.median(s[key] for s in runs_) for key in ("cpu", "batch")}
            for setting, runs_ in samples.items()}


if __name__ == "__main__":
    run_child(json.loads(sys.argv[1]))
