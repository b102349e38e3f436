"""Best-of-N wall-clock timing and page-cache warming shared by every benchmark."""

import gc
import os
import time


def best_time(run, repetitions, budget_seconds=None, setup=None):
    """The fastest of up to `repetitions` runs of run(), in seconds. `setup()` runs untimed before
    each repetition. Once the runs so far have used up budget_seconds, no further one starts
    (always at least one): slow peers get fewer repetitions, not a longer benchmark. The garbage
    collector is held off inside a run so that a collection lands on no system's clock."""
    best = float("inf")
    spent = 0.0
    for _ in range(max(1, repetitions)):
        if setup is not None:
            setup()
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            run()
            elapsed = time.perf_counter() - start
        finally:
            gc.enable()
        best = min(best, elapsed)
        spent += elapsed
        if budget_seconds is not None and spent >= budget_seconds:
            break
    return best


def read_batches(reader, handle, batches):
    """Each batch is dropped before the next is read, as a training loop consumes them, so every
    system can reuse the memory of the previous batch."""
    for indices in batches:
        reader.read_batch(handle, indices)


def warm_page_cache(paths):
    """Reads every file under `paths` once, so that every system starts from a fully cached file."""
    chunk = 1 << 22
    for path in paths:
        if os.path.isdir(path):
            warm_page_cache([os.path.join(path, name) for name in sorted(os.listdir(path))])
            continue
        with open(path, "rb", buffering=0) as handle:
            while handle.read(chunk):
                pass


def disk_bytes(paths):
    total = 0
    for path in paths:
        if os.path.isdir(path):
            total += disk_bytes([os.path.join(path, name) for name in os.listdir(path)])
        elif os.path.exists(path):
            total += os.path.getsize(path)
    return total


def fsync_path(path):
    """Makes a finished file durable, as the systems that commit (LMDB, SQLite, molarium) do."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
