"""The speed molarium aims for, as ratios from the same run, and where this run stands."""

from report import format_number, format_ratio


def evaluate(results, ops, scaling, datasets, idle=None):
    """Markdown table: one row per target, the measured value per dataset, met or not."""
    rows = []  # (label, required text, {dataset: value}, test(value) -> bool, unit)

    def against(operation, peer, minimum, label):
        values = {}
        for dataset in datasets:
            ratio = results.ratio(operation, peer, dataset)
            if ratio is not None:
                values[dataset] = ratio
        rows.append((label, f">= {minimum:g}", values, lambda v, m=minimum: v >= m, "x"))

    def codec_within(operation, codec, maximum, label):
        """The codec's mapped batch time over the uncompressed one's (ratio of the reference)."""
        values = {}
        for dataset in datasets:
            ratio = results.ratio(operation, f"molarium {codec} mmap", dataset)
            if ratio is not None:
                values[dataset] = ratio
        rows.append((label, f"<= {maximum:g}", values, lambda v, m=maximum: v <= m, "x"))

    batch256, batch4096 = ops["batch"](256), ops["batch"](4096)
    against(batch256, "LMDB+pickle", 20, "batch 256, mapped none: LMDB+pickle time / molarium time")
    against(batch256, "h5py", 5, "batch 256: h5py / molarium")
    against(batch256, "ASE SQLite", 100, "batch 256: ASE SQLite / molarium")
    against(batch256, "plain NumPy copy", 0.8, "batch 256: plain copy / molarium")
    against(batch4096, "plain NumPy copy", 1.5, "batch 4,096 (all cores): single-threaded plain copy / molarium")
    one_thread = {d: results.get(ops["one_thread"], "molarium none mmap", d) for d in datasets}
    one_thread = {d: v * 1e6 for d, v in one_thread.items() if v is not None}
    rows.append(("batch 4,096, one thread: µs per molecule", "<= 0.25", one_thread, lambda v: v <= 0.25, " µs"))
    for size, batch in ((256, batch256), (4096, batch4096)):
        codec_within(batch, "lz4", 1.3, f"batch {size:,}, mapped: lz4 time / uncompressed time")
        codec_within(batch, "zstd", 2, f"batch {size:,}, mapped: zstd time / uncompressed time")
    if ops.get("idle_cpu") and results.get(ops["idle_cpu"], "molarium, 1 thread", "molecular") is not None:
        for label, operation, test, required in (
            ("idle cost: processor time, all threads / one thread", ops["idle_cpu"], lambda v: v <= 1.3, "<= 1.3"),
            ("idle cost: median batch, all threads / one thread", ops["idle_batch"], lambda v: v < 1, "< 1"),
        ):
            system = next(s for (op, s) in results.order if op == operation and s != "molarium, 1 thread")
            rows.append((label, required, {"molecular": results.ratio(operation, system, "molecular")}, test, "x"))
    against(ops["single"], "LMDB+pickle", 1.5, "random single reads: LMDB+pickle / molarium")
    against(ops["write"], "LMDB+pickle", 10, "writes, add_arrays_batch none: LMDB+pickle / molarium")
    against(ops["write"], "ASE SQLite", 50, "writes, add_arrays_batch none: ASE SQLite / molarium")
    against(ops["write"], "h5py", 1, "writes, add_arrays_batch none: h5py / molarium")

    prefix = ops["open_prefix"]
    against(ops["open"], prefix, 0.67, "open + len, mapped: 1,000-molecule file / full file (1 = independent)")

    if scaling:
        threads, timings = scaling["threads"], scaling["timings"]
        if 2 in threads:
            for label in timings[1]:
                kind, codec = label.split()
                if kind != "read" or codec == "none":
                    continue
                efficiency = timings[1][label] / (2 * timings[2][label])
                rows.append((f"{codec} batch of 4,096, 1 -> 2 threads: fraction of linear", ">= 0.6",
                             {"molecular": efficiency}, lambda v: v >= 0.6, "x"))

    lines = ["| target | required | " + " | ".join(datasets) + " |", "|---|---|" + "---|" * len(datasets)]
    for label, required, values, test, unit in rows:
        cells = []
        for dataset in datasets:
            if dataset not in values:
                cells.append("-")
                continue
            shown = format_ratio(values[dataset]) if unit == "x" else f"{format_number(values[dataset])}{unit}"
            cells.append(f"{shown} {'met' if test(values[dataset]) else '**short**'}")
        lines.append(f"| {label} | {required} | " + " | ".join(cells) + " |")
    return "\n".join(lines)
