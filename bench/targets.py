"""The speed molarium aims for, as ratios from the same run, and where this run stands."""

from report import format_ratio


def evaluate(results, ops, scaling, datasets):
    """Markdown table: one row per target, the measured ratio per dataset, met or not."""
    rows = []

    def against(operation, peer, minimum, label):
        values = {}
        for dataset in datasets:
            ratio = results.ratio(operation, peer, dataset)
            if ratio is not None:
                values[dataset] = ratio
        rows.append((label, f">= {minimum:g}", values, minimum))

    batch256, batch4096 = ops["batch"](256), ops["batch"](4096)
    against(batch256, "LMDB+pickle", 20, "batch 256, mapped none: LMDB+pickle time / molarium time")
    against(batch256, "h5py", 5, "batch 256: h5py / molarium")
    against(batch256, "ASE SQLite", 100, "batch 256: ASE SQLite / molarium")
    against(batch256, "plain NumPy copy", 0.3, "batch 256: plain copy / molarium")
    against(batch4096, "plain NumPy copy", 1, "batch 4,096 (all cores): single-threaded plain copy / molarium")
    against(ops["single"], "LMDB+pickle", 1.5, "random single reads: LMDB+pickle / molarium")
    against(ops["write"], "LMDB+pickle", 10, "writes, add_arrays_batch none: LMDB+pickle / molarium")
    against(ops["write"], "ASE SQLite", 50, "writes, add_arrays_batch none: ASE SQLite / molarium")

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
                             {"molecular": efficiency}, 0.6))

    lines = ["| target | required | " + " | ".join(datasets) + " |", "|---|---|" + "---|" * len(datasets)]
    for label, required, values, minimum in rows:
        cells = []
        for dataset in datasets:
            if dataset not in values:
                cells.append("-")
                continue
            mark = "met" if values[dataset] >= minimum else "**short**"
            cells.append(f"{format_ratio(values[dataset])} {mark}")
        lines.append(f"| {label} | {required} | " + " | ".join(cells) + " |")
    return "\n".join(lines)
