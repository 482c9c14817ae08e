"""Soak: a million create-use-destroy cycles of each haldo class and ten
thousand reads of good and bad files leave resident memory where it was."""

import gc
import os
import pathlib

import pytest

import haldo
import pelmar

CYCLES = int(os.environ.get("MORVAK_SOAK_CYCLES", "1000000"))
READS = 10**4
WARM_UP = 10**4
# A leak of even one heap block per cycle grows a million cycles by 16 MB or
# more; a few MiB of allocator and page noise (arenas, lazily touched pages
# of other threads' libraries) is not a leak.
MAX_GROWTH = 4 << 20  # bytes

CLASSES = [
    haldo.OperatorReal,
    haldo.OperatorComplex,
    haldo.BasisReal,
    haldo.BasisComplex,
    haldo.HamiltonianReal,
    haldo.HamiltonianComplex,
]


def under_asan():
    # ASan keeps freed blocks in quarantine, so resident size says nothing
    # there; its leak checker covers that run instead.
    maps = pathlib.Path("/proc/self/maps").read_text()
    return "libasan" in maps


pytestmark = pytest.mark.skipif(under_asan(), reason="resident size is meaningless under ASan")


def resident_bytes():
    pages = int(pathlib.Path("/proc/self/statm").read_text().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE")


def growth(step, count):
    for _ in range(WARM_UP):
        step()
    gc.collect()
    before = resident_bytes()
    for _ in range(count):
        step()
    gc.collect()
    return resident_bytes() - before


def cycle_of(cls):
    if cls in (haldo.BasisReal, haldo.BasisComplex):

        def step():
            b = cls()
            b.zeros(4)
            b.set(1, 2.5)
            (b + b).get(1)

    else:

        def step():
            op = cls()
            op.eye(3, 3)
            op.set(0, 1, 0.5)
            (op * op).det()

    return step


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_create_use_destroy_cycles_do_not_grow_memory(cls):
    assert growth(cycle_of(cls), CYCLES) < MAX_GROWTH


def test_eigen_and_failures_do_not_grow_memory():
    def step():
        op = haldo.OperatorComplex()
        op.randu(4, 4)
        op.eigen()
        try:
            op.get(9, 9)
        except IndexError:
            pass

    assert growth(step, CYCLES // 10) < MAX_GROWTH


def test_reads_of_good_and_bad_files_do_not_grow_memory(tmp_path):
    good = tmp_path / "good.xyz"
    good.write_text("2\na 1 0 0\nb 0 1 0\nc 0 0 1\n14 0 0 0\nSi 0.5 0.5 0.5\n")
    bad = tmp_path / "bad.xyz"
    bad.write_text("2\na 1 0 0\nb 0 x 0\n")
    missing = str(tmp_path / "missing.xyz")

    def step():
        pelmar.read_xyz(str(good))
        for path, error in ((str(bad), ValueError), (missing, FileNotFoundError)):
            try:
                pelmar.read_xyz(path)
            except error:
                pass

    assert growth(step, READS) < MAX_GROWTH
