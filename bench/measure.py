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


class FreshBatches:
    """Every repetition of a batch measurement reads batches never read before in it: repetition r
    takes the r-th set, drawn at random (without repetition within a batch) from all molecules. A
    set reused across repetitions would be served from the processor's caches from the second
    repetition on (40 batches of 256 small molecules are about 9 MiB), not from memory as a training
    loop's batches are."""

    def __init__(self, rng, molecules, size, count, repetitions):
        self.size = min(size, molecules)
        self.sets = [[rng.choice(molecules, size=self.size, replace=False).tolist() for _ in range(count)]
                     for _ in range(repetitions)]
        self.next = 0

    def take(self):
        """The next set; sets are reused only after all have been taken (more repetitions than sets)."""
        chosen = self.sets[self.next % len(self.sets)]
        self.next += 1
        return chosen


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


def last_level_cache_bytes():
    """Size of cpu0's last-level cache from sysfs, or None where it cannot be read."""
    base = "/sys/devices/system/cpu/cpu0/cache"
    best = (0, None)
    try:
        for name in os.listdir(base):
            if not name.startswith("index"):
                continue
            with open(os.path.join(base, name, "level")) as f:
                level = int(f.read())
            with open(os.path.join(base, name, "size")) as f:
                text = f.read().strip()
            units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
            size = int(text[:-1]) * units[text[-1]] if text[-1] in units else int(text)
            best = max(best, (level, size))
    except (OSError, ValueError):
        return None
    return best[1]
