"""Structure files: pelmar's reader and writer against ASE's extended XYZ and numpy.loadtxt.

Throughput is the size of the file read (or written) over the median time;
each side's own file counts, as ASE reads and writes its own format. Peak
memory is measured once per operation in a fresh interpreter (peak_memory.py).
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
from pathlib import Path

import file_ops
import numpy as np
import xyz_data
from common import Row, Timing, rows_for, time_interleaved

HERE = Path(__file__).resolve().parent
# What the arrays read hold per atom: three float64 coordinates and a
# two-character element symbol. Peak memory is reported as a multiple of it.
ARRAY_BYTES_PER_ATOM = 3 * 8 + 2


def peak_memory(name: str, files: xyz_data.Files, out: Path) -> dict:
    command = [
        sys.executable,
        str(HERE / "peak_memory.py"),
        name,
        str(files.layout),
        str(files.extxyz),
        str(out),
    ]
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"peak memory of {name} failed:\n{done.stderr.strip()}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def check_reads(files: xyz_data.Files) -> None:
    """The contenders must have read the same structure, or the timings compare nothing."""
    import ase.io

    table = np.loadtxt(files.layout, skiprows=file_ops.HEADER_LINES, ndmin=2)
    atoms = ase.io.read(files.extxyz, format="extxyz")
    if table.shape != (files.natom, 4) or len(atoms) != files.natom:
        raise RuntimeError(f"{files.layout}: numpy or ASE read a different atom count")
    # ASE writes eight decimals, so it agrees only to that precision.
    if not np.allclose(atoms.positions, table[:, 1:], rtol=0, atol=1e-7):
        raise RuntimeError(f"{files.extxyz}: ASE positions differ from the layout file")
    if file_ops.available("pelmar.load_xyz"):
        import pelmar

        crystal = pelmar.load_xyz(str(files.layout))
        positions = np.asarray(crystal.positions)
        if crystal.natom != files.natom or not np.array_equal(positions, table[:, 1:]):
            raise RuntimeError(f"{files.layout}: load_xyz and numpy.loadtxt disagree")
        if set(crystal.symbols) != {"Si"}:
            raise RuntimeError(f"{files.layout}: load_xyz read other symbols than Si")


def check_write(files: xyz_data.Files, written: Path) -> None:
    import pelmar

    if pelmar.load_xyz(str(written)) != pelmar.load_xyz(str(files.layout)):
        raise RuntimeError(f"{written}: write_xyz did not round-trip the structure")


def _add_extra(rows: list[Row], natom: int, sizes: dict[str, int], peaks: dict[str, dict]) -> None:
    for row in rows:
        for s in (row.ours, row.peer):
            s.extra["atoms_per_s"] = natom / s.median_s
            s.extra["MB_per_s"] = sizes[s.name] / 1e6 / s.median_s
            s.extra["file_MB"] = sizes[s.name] / 1e6
            if s.name in peaks:
                peak = peaks[s.name]["peak_bytes"]
                s.extra["peak_MB"] = peak / 1e6
                s.extra["peak_x_arrays"] = peak / (natom * ARRAY_BYTES_PER_ATOM)


def run(atom_counts: list[int], data_dir: Path, timing: Timing, memory: bool, log) -> list[Row]:
    reads = [name for name in file_ops.READS if file_ops.available(name)]
    writes = [name for name in file_ops.WRITES if file_ops.available(name)]
    for name in file_ops.READS + file_ops.WRITES:
        if name not in reads + writes:
            log(f"  {name} not available in this build: skipped")
    rows: list[Row] = []
    for natom in atom_counts:
        log(f"  files for {natom} atoms")
        files = xyz_data.ensure_files(data_dir, natom)
        check_reads(files)
        with tempfile.TemporaryDirectory(dir=data_dir) as scratch:
            outputs = {
                "pelmar.write_xyz": Path(scratch) / "out.xyz",
                "ase.io.write": Path(scratch) / "out.extxyz",
            }
            log(f"  read {natom} atoms: {', '.join(reads)}")
            calls = {
                n: file_ops.prepare(n, files.layout, files.extxyz, Path(scratch) / "unused")
                for n in reads
            }
            times = time_interleaved(calls, timing)
            del calls
            sizes = {
                n: file_ops.input_path(n, files.layout, files.extxyz).stat().st_size for n in reads
            }
            peaks = {}
            if memory:
                for n in reads:
                    peaks[n] = peak_memory(n, files, Path(scratch) / "unused")
            peers = [n for n in reads if n not in file_ops.OURS]
            found = []
            for ours in (n for n in reads if n in file_ops.OURS):
                found += rows_for("files", "read", "", natom, times, ours, peers)
            _add_extra(found, natom, sizes, peaks)
            rows += found

            if "pelmar.write_xyz" in writes:
                log(f"  write {natom} atoms: {', '.join(writes)}")
                calls = {
                    n: file_ops.prepare(n, files.layout, files.extxyz, outputs[n]) for n in writes
                }
                times = time_interleaved(calls, timing)
                del calls
                check_write(files, outputs["pelmar.write_xyz"])
                sizes = {n: outputs[n].stat().st_size for n in writes}
                peaks = {}
                if memory:
                    for n in writes:
                        peaks[n] = peak_memory(n, files, outputs[n])
                found = rows_for(
                    "files", "write", "", natom, times, "pelmar.write_xyz", ["ase.io.write"]
                )
                _add_extra(found, natom, sizes, peaks)
                rows += found
    return rows
