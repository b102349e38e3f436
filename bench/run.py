"""Runs every workload on every system side by side and prints one table of times and ratios.

BENCH_QUICK=1 runs a smaller version in well under a minute; BENCH_DIR picks the scratch directory
(default /tmp/molarium-bench), BENCH_KEEP=1 keeps the files written there."""

import os
import shutil
import sys
import time

import numpy as np

import datasets
import idle
import scaling
from ase_store import AseStore
from hdf5_store import Hdf5Store
from lmdb_store import LmdbStore
from measure import FreshBatches, best_time, disk_bytes, last_level_cache_bytes, read_batches, warm_page_cache
from molarium_store import MolariumReader, feature_available, properties_available, write_arrays_batch, write_molecules
from npy_store import NpyStore
from plain_copy import PlainCopy
from report import Results, machine_description
from targets import evaluate
from verify import check_batch

QUICK = os.environ.get("BENCH_QUICK", "") not in ("", "0")

if QUICK:
    SIZES = {"molecular": 10_000, "periodic": 2_000, "custom": 10_000}
    SINGLE_READS = 2_000
    BATCH_PLAN = {32: 50, 256: 10, 4096: 2}  # batch size -> batches per repetition
    ASE_MOLECULES = 500
    READ_REPETITIONS, WRITE_REPETITIONS = 3, 2
else:
    SIZES = {"molecular": 100_000, "periodic": 20_000, "custom": 100_000}
    SINGLE_READS = 10_000
    BATCH_PLAN = {32: 200, 256: 40, 4096: 5}
    ASE_MOLECULES = 5_000
    READ_REPETITIONS, WRITE_REPETITIONS = 5, 3

# ASE's SQLite database is two to three orders of magnitude slower than the rest: it is written
# with ASE_MOLECULES molecules and read with fewer items, and every time is per item.
ASE_SHARE = 10
OPEN_PREFIX = 1_000
SEED = 20240611
CODECS = ("none", "lz4", "zstd")
BUDGET_SECONDS = 4.0  # no new repetition starts after a measurement has used this much
MAKERS = {"molecular": datasets.molecular, "periodic": datasets.periodic, "custom": datasets.with_custom}

OP_WRITE = "write whole dataset + commit"
OP_OPEN = "open + len"
OP_SINGLE = f"{SINGLE_READS:,} random reads (get + positions, forces, energy)"
OP_SCAN = "full sequential scan"
OP_ONE_THREAD = "batch of 4,096 random molecules, one thread (RAYON_NUM_THREADS=1)"
OP_IDLE_CPU = f"idle cost: {idle.ROUNDS} x (fresh batch of {idle.BATCH}, 5 ms pause), processor time"
OP_IDLE_BATCH = f"idle cost: {idle.ROUNDS} x (fresh batch of {idle.BATCH}, 5 ms pause), median batch"


def op_batch(size):
    return f"batch of {size:,} random molecules, concatenated"


class Bench:
    def __init__(self, work_dir):
        self.work_dir = work_dir
        self.has_batch_write = feature_available("add_arrays_batch")
        self.has_flat = feature_available("get_molecules_flat")
        self.results = Results(list(SIZES))
        self.results.set_unit(OP_WRITE, "µs/mol", 1e-6)
        self.results.set_unit(OP_OPEN, "ms", 1e-3)
        self.results.set_unit(OP_SINGLE, "µs/read", 1e-6)
        for size in BATCH_PLAN:
            self.results.set_unit(op_batch(size), "ms/batch", 1e-3)
        self.results.set_unit(OP_SCAN, "µs/mol", 1e-6)
        self.has_properties = properties_available()
        self.missing = []
        if not self.has_properties:
            self.missing.append("molarium on the custom dataset (molecules have no set_property in this build)")
        if not self.has_batch_write:
            self.missing.append("add_arrays_batch writes (raises NotImplementedError in this build)")
        if not self.has_flat:
            self.missing.append("get_molecules_flat batches and scans (raises NotImplementedError in this build)")

    def path(self, dataset, system):
        safe = system.replace(" ", "-").replace("+", "").replace(".", "")
        return os.path.join(self.work_dir, f"{dataset}-{safe}")

    # --- writes ----------------------------------------------------------------------------------

    def molarium_can_store(self, ds):
        return self.has_properties or not ds.custom

    def writers(self, ds):
        """(system, path, write(ds, path) -> stored order or None, dataset written)."""
        ase_part = ds.prefix(min(ASE_MOLECULES, len(ds)))
        out = []
        if self.molarium_can_store(ds) and self.has_batch_write:
            for codec in CODECS:
                name = f"molarium add_arrays_batch {codec}"
                out.append((name, self.path(ds.name, name) + ".mol",
                            lambda d, p, c=codec: write_arrays_batch(d, p, c), ds))
        for codec in CODECS if self.molarium_can_store(ds) else ():
            name = f"molarium add_molecules {codec}"
            out.append((name, self.path(ds.name, name) + ".mol", lambda d, p, c=codec: write_molecules(d, p, c), ds))
        for store, suffix, data in ((LmdbStore(), ".lmdb", ds), (Hdf5Store(), ".h5", ds),
                                    (AseStore(), ".db", ase_part), (NpyStore(), "", ds)):
            out.append((store.name, self.path(ds.name, store.name) + suffix, store.write, data))
        return out

    def run_writes(self, ds):
        reference = "molarium add_arrays_batch none" if self.has_batch_write else "molarium add_molecules none"
        if self.has_batch_write:
            ds.groups_by_atom_count()  # the stacked input is prepared before the clock starts
        paths = {}
        for system, path, write, data in self.writers(ds):
            repetitions = 1 if system == AseStore.name else WRITE_REPETITIONS
            seconds = best_time(lambda: write(data, path), repetitions, BUDGET_SECONDS, setup=lambda: remove(path))
            note = f"{len(data):,} molecules, " if len(data) != len(ds) else ""
            note += f"{disk_bytes([path]) / 2**20:,.0f} MiB"
            self.results.record(OP_WRITE, system, ds.name, seconds / len(data), system == reference, note)
            paths[system] = path
        return paths

    # --- reads -----------------------------------------------------------------------------------

    def readers(self, ds, paths):
        """(reader, path, dataset it holds) for every read-side system."""
        out = []
        for codec in CODECS if self.molarium_can_store(ds) else ():
            path = paths[f"molarium add_molecules {codec}"]
            for mmap in (True, False):
                out.append((MolariumReader(codec, mmap, "flat" if self.has_flat else "views"), path, ds))
        if self.has_flat and self.molarium_can_store(ds):
            out.append((MolariumReader("none", True, "views"), paths["molarium add_molecules none"], ds))
        out.append((LmdbStore(), paths[LmdbStore.name], ds))
        out.append((Hdf5Store(), paths[Hdf5Store.name], ds))
        out.append((AseStore(), paths[AseStore.name], ds.prefix(min(ASE_MOLECULES, len(ds)))))
        out.append((NpyStore(), paths[NpyStore.name], ds))
        out.append((PlainCopy(ds), None, ds))
        return out

    def verify(self, ds, readers, paths):
        rng = np.random.default_rng(SEED + 1)
        for reader, path, data in readers:
            handle = reader.open(path)
            assert reader.length(handle) == len(data), f"{reader.name}: wrong length"
            if not getattr(reader, "verifiable", True):
                continue
            indices = rng.choice(len(data), size=min(50, len(data)), replace=False).tolist()
            check_batch(reader.name, data.expected_batch(indices), reader.normalize(reader.read_batch(handle, indices)))
        if self.has_batch_write and self.molarium_can_store(ds):
            # Stacked ingestion stores molecules grouped by atom count; check them through the order.
            for codec in CODECS:
                system = f"molarium add_arrays_batch {codec}"
                order = write_arrays_batch_order(ds)
                reader = MolariumReader(codec, True, "flat" if self.has_flat else "views")
                handle = reader.open(paths[system])
                stored = rng.choice(len(ds), size=50, replace=False)
                got = reader.normalize(reader.read_batch(handle, stored.tolist()))
                check_batch(system, ds.expected_batch(order[stored]), got)

    def run_reads(self, ds, paths):
        readers = self.readers(ds, paths)
        cache = last_level_cache_bytes()
        size = disk_bytes([paths["molarium add_molecules none"]]) if self.molarium_can_store(ds) else None
        if cache and size:
            verdict = "larger than" if size > cache else "NOT larger than (batches may be served from the cache)"
            print(f"  molarium none file {size / 2**20:,.0f} MiB, {verdict} the last-level cache "
                  f"({cache / 2**20:,.0f} MiB)", flush=True)
        self.verify(ds, readers, paths)
        warm_page_cache([path for _, path, _ in readers if path])
        rng = np.random.default_rng(SEED)
        singles = rng.integers(0, len(ds), size=SINGLE_READS).tolist()
        batches = {size: FreshBatches(rng, len(ds), size, count, READ_REPETITIONS) for size, count in BATCH_PLAN.items()}
        reference = MolariumReader("none", True, "flat" if self.has_flat else "views").name

        for reader, path, data in readers:
            is_ref = reader.name == reference
            slow = getattr(reader, "slow", False)
            mine = [i % len(data) for i in singles[: SINGLE_READS // ASE_SHARE if slow else None]]

            seconds = best_time(lambda: reader.length(reader.open(path)), 10, BUDGET_SECONDS)
            self.results.record(OP_OPEN, reader.name, ds.name, seconds, is_ref)

            handle = reader.open(path)
            seconds = best_time(lambda: reader.read_singles(handle, mine), READ_REPETITIONS, BUDGET_SECONDS)
            self.results.record(OP_SINGLE, reader.name, ds.name, seconds / len(mine), is_ref)

            for size, fresh in batches.items():
                fresh.next = 0  # every system reads the same sets, in the same order
                current = []

                def take_set():
                    chosen = fresh.take()
                    chosen = chosen[: max(1, len(chosen) // ASE_SHARE)] if slow else chosen
                    current[:] = [[i % len(data) for i in b] for b in chosen] if slow else chosen

                seconds = best_time(lambda: read_batches(reader, handle, current), READ_REPETITIONS, BUDGET_SECONDS,
                                    setup=take_set)
                self.results.record(op_batch(size), reader.name, ds.name, seconds / len(current), is_ref)

            seconds = best_time(lambda: reader.scan(handle, len(data)), 3, BUDGET_SECONDS)
            self.results.record(OP_SCAN, reader.name, ds.name, seconds / len(data), is_ref)
            del handle

        if ds.name == "molecular":
            self.run_open_prefix(ds, reference)

    def run_open_prefix(self, ds, reference):
        """Opening a mapped file should cost the same for 1,000 molecules as for all of them."""
        path = os.path.join(self.work_dir, "open-prefix.mol")
        write_molecules(ds.prefix(OPEN_PREFIX), path, "none")
        reader = MolariumReader("none", True)
        warm_page_cache([path])
        seconds = best_time(lambda: len(reader.open(path)), 10, BUDGET_SECONDS)
        self.results.record(OP_OPEN, open_prefix_name(reference), ds.name, seconds)

    # --- scaling ---------------------------------------------------------------------------------

    def run_scaling(self, ds, paths):
        """Each workload's time per thread count; ratios are against its single-thread time."""
        threads = sorted({1, 2, 4, os.cpu_count() or 1})
        read_paths = {codec: paths[f"molarium add_molecules {codec}"] for codec in CODECS}
        writer = "add_arrays_batch" if self.has_batch_write else "add_molecules"
        timings = scaling.measure(threads, "molecular", len(ds), SEED, READ_REPETITIONS,
                                  "flat" if self.has_flat else "views", writer, read_paths, self.work_dir)
        written = min(scaling.WRITE_MOLECULES, len(ds))
        for label in timings[threads[0]]:
            kind, codec = label.split()
            if kind == "read":
                operation = f"scaling: batch of {scaling.BATCH:,}, {codec} mmap"
                self.results.set_unit(operation, "ms/batch", 1e-3)
            else:
                operation = f"scaling: write {written:,} molecules, {writer} {codec}"
                self.results.set_unit(operation, "µs/mol", 1e-6)
            for count in threads:
                self.results.record(operation, f"molarium, {count} thread{'s' if count > 1 else ''}", ds.name,
                                    timings[count][label], count == threads[0])
        self.scaling = {"threads": threads, "timings": timings}
        self.results.set_unit(OP_ONE_THREAD, "µs/mol", 1e-6)
        self.results.record(OP_ONE_THREAD, MolariumReader("none", True).name, ds.name,
                            timings[1]["read none"] / scaling.BATCH, True)

    # --- idle cost -------------------------------------------------------------------------------

    def run_idle(self, ds, paths):
        """A loop of one fresh batch of 256 and a 5 ms pause: processor time and batch time with all
        pool threads, against the same loop on one thread (the reference)."""
        measured = idle.measure(paths["molarium add_molecules none"], SEED + 2)
        for operation, key, unit, scale in ((OP_IDLE_CPU, "cpu", "ms", 1e-3), (OP_IDLE_BATCH, "batch", "µs", 1e-6)):
            self.results.set_unit(operation, unit, scale)
            self.results.record(operation, "molarium, 1 thread", ds.name, measured["one"][key], True)
            self.results.record(operation, f"molarium, all {os.cpu_count()} threads", ds.name, measured["all"][key])
        self.idle = measured

def open_prefix_name(reference):
    return f"{reference}, {OPEN_PREFIX:,}-molecule file"


def write_arrays_batch_order(ds):
    return np.concatenate([members for members, _ in ds.groups_by_atom_count()])


def remove(path):
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.unlink(path)


def main():
    work_dir = os.environ.get("BENCH_DIR", "/tmp/molarium-bench")
    remove(work_dir)
    os.makedirs(work_dir)
    started = time.perf_counter()
    bench = Bench(work_dir)
    print(f"machine: {machine_description()}", flush=True)
    for name, count in SIZES.items():
        ds = MAKERS[name](count)
        print(f"{name}: {len(ds):,} molecules, {ds.total_atoms:,} atoms, "
              f"{ds.payload_bytes() / 2**20:,.0f} MiB of arrays", flush=True)
        paths = bench.run_writes(ds)
        bench.run_reads(ds, paths)
        if name == "molecular":
            bench.run_scaling(ds, paths)
            bench.run_idle(ds, paths)
        for path in paths.values():
            remove(path)
        print(f"  done at {time.perf_counter() - started:,.0f} s", flush=True)
    print()
    print(bench.results.table())
    print()
    reference = MolariumReader("none", True, "flat" if bench.has_flat else "views").name
    ops = {"batch": op_batch, "single": OP_SINGLE, "write": OP_WRITE, "open": OP_OPEN,
           "open_prefix": open_prefix_name(reference), "one_thread": OP_ONE_THREAD, "idle_cpu": OP_IDLE_CPU,
           "idle_batch": OP_IDLE_BATCH}
    print(evaluate(bench.results, ops, getattr(bench, "scaling", None), list(SIZES)))
    if bench.missing:
        print("\nnot measured: " + "; ".join(bench.missing))
    if os.environ.get("BENCH_KEEP", "") in ("", "0"):
        remove(work_dir)
    print(f"\ntotal {time.perf_counter() - started:,.0f} s")


if __name__ == "__main__":
    sys.exit(main())
