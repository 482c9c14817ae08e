"""What the numbers were measured on: machine, libraries and BLAS thread pools."""

from __future__ import annotations

import ctypes
import os
import platform
import sys
from importlib import metadata

from threadpoolctl import threadpool_info, threadpool_limits

# Variables that change how OpenBLAS picks its kernels or sizes its blocks.
TUNING_VARIABLES = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _memory_total_gib() -> float | None:
    try:
        with open("/proc/meminfo", encoding="utf-8") as meminfo:
            for line in meminfo:
                if line.startswith("MemTotal:"):
                    return int(line.split()[1]) / 2**20
    except OSError:
        pass
    return None


def _version(distribution: str) -> str | None:
    try:
        return metadata.version(distribution)
    except metadata.PackageNotFoundError:
        return None


def describe_machine() -> dict:
    return {
        "platform": platform.platform(),
        "cpu": _cpu_model(),
        "logical_cpus": os.cpu_count(),
        "usable_cpus": len(os.sched_getaffinity(0)),
        "memory_gib": _memory_total_gib(),
        "python": sys.version.split()[0],
        "load_average_at_start": list(os.getloadavg()),
        "versions": {
            name: _version(name) for name in ("numpy", "scipy", "ase", "threadpoolctl", "morvak")
        },
        "tuning_variables": {name: os.environ.get(name) for name in TUNING_VARIABLES},
    }


def _haldo_blas() -> str | None:
    """The OpenBLAS file haldo's calls go to, when haldo is loaded."""
    haldo = sys.modules.get("haldo")
    if haldo is None:
        return None
    library = ctypes.CDLL(haldo.__file__).morvak_blas_library
    library.restype = ctypes.c_char_p
    return os.path.realpath(library().decode())


def blas_owner(filepath: str) -> str:
    """Who loaded a BLAS library, judged by where it lies, and whether haldo calls it."""
    path = filepath.replace("\\", "/")
    if "/numpy.libs/" in path or "/numpy/" in path:
        owner = "numpy"
    elif "/scipy.libs/" in path or "/scipy/" in path:
        owner = "scipy"
    elif "/scipy_openblas64/" in path:
        owner = "haldo's wheel"
    elif "site-packages" not in path:
        owner = "system"
    else:
        owner = "other"
    if _haldo_blas() == os.path.realpath(filepath):
        owner = "haldo" if owner == "haldo's wheel" else f"{owner}, haldo"
    return owner


def thread_pools(threads: int) -> dict:
    """Every loaded BLAS and OpenMP runtime with its thread count.

    Where a pool ignored the environment (a library loaded before it was set,
    or one that reads other variables), it is limited to `threads` for the rest
    of the process and both readings are kept.
    """
    before = threadpool_info()
    mismatched = [p for p in before if p.get("num_threads") != threads]
    if mismatched:
        threadpool_limits(limits=threads)
    after = threadpool_info()
    pools = [
        {
            "owner": blas_owner(p["filepath"]) if p["user_api"] == "blas" else p["user_api"],
            "user_api": p["user_api"],
            "internal_api": p["internal_api"],
            "version": p.get("version"),
            "threading_layer": p.get("threading_layer"),
            "architecture": p.get("architecture"),
            "num_threads": p["num_threads"],
            "filepath": p["filepath"],
        }
        for p in after
    ]
    return {
        "requested_threads": threads,
        "pools": pools,
        "limited_after_import": [
            {"filepath": p["filepath"], "num_threads_before": p["num_threads"]} for p in mismatched
        ],
    }


def format_pools(info: dict) -> str:
    lines = [f"threads requested: {info['requested_threads']}"]
    for p in info["pools"]:
        detail = p["internal_api"]
        if p.get("version"):
            detail += f" {p['version']}"
        if p.get("architecture"):
            detail += f" ({p['architecture']}, {p.get('threading_layer')})"
        lines.append(f"  {p['owner']:<15} {detail:<45} threads={p['num_threads']}  {p['filepath']}")
    for p in info["limited_after_import"]:
        lines.append(
            f"  note: {p['filepath']} started with {p['num_threads_before']} threads; limited"
        )
    return "\n".join(lines)
