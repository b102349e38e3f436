"""The results table: one row per operation and system, one column per dataset, every time shown
with its ratio to the molarium reference of its operation."""

import os
import platform

import numpy as np


class Results:
    def __init__(self, dataset_names):
        self.dataset_names = dataset_names
        self.rows = {}  # (operation, system) -> {dataset: seconds}
        self.order = []  # (operation, system) in first-recorded order
        self.units = {}  # operation -> (unit label, scale to seconds)
        self.references = {}  # (operation, dataset) -> system
        self.notes = {}  # (operation, system) -> text shown after the system name

    def set_unit(self, operation, label, scale):
        self.units[operation] = (label, scale)

    def record(self, operation, system, dataset, seconds, reference=False, note=None):
        key = (operation, system)
        if key not in self.rows:
            self.rows[key] = {}
            self.order.append(key)
        self.rows[key][dataset] = seconds
        if reference:
            self.references[(operation, dataset)] = system
        if note:
            self.notes[key] = note

    def get(self, operation, system, dataset):
        return self.rows.get((operation, system), {}).get(dataset)

    def ratio(self, operation, system, dataset):
        """This row's time over the reference row's: above 1, the molarium reference is that many
        times faster."""
        reference = self.references.get((operation, dataset))
        mine = self.get(operation, system, dataset)
        base = self.get(operation, reference, dataset) if reference else None
        if mine is None or not base:
            return None
        return mine / base

    def table(self):
        header = ["operation", "system"] + self.dataset_names
        lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
        previous_operation = None
        for operation, system in self.order:
            label, scale = self.units.get(operation, ("s", 1.0))
            cells = []
            for dataset in self.dataset_names:
                seconds = self.get(operation, system, dataset)
                if seconds is None:
                    cells.append("-")
                    continue
                ratio = self.ratio(operation, system, dataset)
                is_reference = self.references.get((operation, dataset)) == system
                shown = f"{format_number(seconds / scale)} {label}"
                if is_reference:
                    shown += " (ref)"
                elif ratio is not None:
                    shown += f" · {format_ratio(ratio)}"
                cells.append(shown)
            name = system + (f" [{self.notes[(operation, system)]}]" if (operation, system) in self.notes else "")
            shown_operation = operation if operation != previous_operation else ""
            previous_operation = operation
            lines.append("| " + " | ".join([shown_operation, name] + cells) + " |")
        return "\n".join(lines)


def format_number(value):
    if value >= 100:
        return f"{value:,.0f}"
    if value >= 10:
        return f"{value:.1f}"
    if value >= 1:
        return f"{value:.2f}"
    return f"{value:.3f}"


def format_ratio(ratio):
    if ratio >= 10:
        return f"{ratio:,.0f}x"
    return f"{ratio:.2f}x"


def machine_description():
    model = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    import molarium

    peers = []
    for module_name in ("lmdb", "h5py", "ase"):
        module = __import__(module_name)
        peers.append(f"{module_name} {getattr(module, '__version__', '?')}")
    return (
        f"{model}, {os.cpu_count()} cores, Linux {platform.release()}, Python {platform.python_version()}, "
        f"NumPy {np.__version__}, {', '.join(peers)}; molarium from {os.path.dirname(molarium.__file__)}"
    )
