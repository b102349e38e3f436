"""Worker-pool scaling: the pool takes its size from RAYON_NUM_THREADS once per process, so each
thread count runs in a child process of its own."""

import json
import os
import subprocess
import sys
import tempfile

import numpy as np

import datasets
from measure import FreshBatches, best_time, read_batches
from molarium_store import MolariumReader, write_arrays_batch, write_molecules

BATCH = 4096
BATCHES = 4
WRITE_MOLECULES = 20_000


def run_child(args):
    """Times flat batches of 4,096 from each given database and a compressed write, then prints
    {label: seconds} as JSON."""
    dataset_kind, count, seed, repetitions, batch_method, writer, paths = (
        args["dataset"], args["count"], args["seed"], args["repetitions"], args["batch_method"],
        args["writer"], args["paths"],
    )
    rng = np.random.default_rng(seed)
    fresh = FreshBatches(rng, count, BATCH, BATCHES, repetitions)
    timings = {}
    for codec, path in paths.items():
        reader = MolariumReader(codec, mmap=True, batch_method=batch_method)
        db = reader.open(path)
        # This process's mapping starts empty: one scan maps every page, as in a loader that has
        # run for a while, so that the timed batches do not pay the first touch of each page.
        reader.scan(db, count)
        fresh.next = 0
        current = []
        timings[f"read {codec}"] = best_time(lambda: read_batches(reader, db, current), repetitions,
                                             setup=lambda: current.__setitem__(slice(None), fresh.take())) / BATCHES

    data = getattr(datasets, dataset_kind)(count)
    subset = data.prefix(min(WRITE_MOLECULES, count))
    subset.groups_by_atom_count()
    write = write_arrays_batch if writer == "add_arrays_batch" else write_molecules
    with tempfile.TemporaryDirectory(dir=args["work_dir"]) as scratch:
        for codec in ("lz4", "zstd"):
            target = os.path.join(scratch, f"scale-{codec}.mol")
            timings[f"write {codec}"] = best_time(lambda: write(subset, target, codec), repetitions) / len(subset)
    print(json.dumps(timings))


def measure(thread_counts, dataset_kind, count, seed, repetitions, batch_method, writer, paths, work_dir):
    """{thread count: {label: seconds}}, one child process per thread count."""
    here = os.path.dirname(os.path.abspath(__file__))
    request = json.dumps({
        "dataset": dataset_kind, "count": count, "seed": seed, "repetitions": repetitions,
        "batch_method": batch_method, "writer": writer, "paths": paths, "work_dir": work_dir,
    })
    results = {}
    for threads in thread_counts:
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        env.pop("RAYON_RS_NUM_CPUS", None)
        done = subprocess.run([sys.executable, os.path.join(here, "scaling.py"), request], env=env,
                              capture_output=True, text=True, check=False)
        if done.returncode != 0:
            raise RuntimeError(f"scaling child with {threads} threads failed:\n{done.stderr}")
        results[threads] = json.loads(done.stdout.strip().splitlines()[-1])
    return results


if __name__ == "__main__":
    run_child(json.loads(sys.argv[1]))
