"""Reads that wait for input, counts far beyond the file, and XYZ files in
the common and extended layouts, for read_xyz and load_xyz alike. Reads that
could hang run in a child interpreter with a timeout."""

import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import pelmar

CELL = "a 5 0 0\nb 0 5 0\nc 0 0 5\n"
READERS = ["read_xyz", "load_xyz"]


def child(code, *args):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(pelmar.__file__))
    command = [sys.executable, "-c", textwrap.dedent(code), *map(str, args)]
    return command, env


WAITING_READ = """
    import os, pty, signal, sys, threading, time, pelmar
    # Python's own Ctrl-C handler, also when the tests run in a background job,
    # whose children start with SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    reader, kind, path = getattr(pelmar, sys.argv[1]), sys.argv[2], sys.argv[3]
    if kind == "fifo":
        os.mkfifo(path)
        writer = os.open(path, os.O_RDWR)  # keeps the FIFO open, sends nothing
    else:
        master, slave = pty.openpty()  # a terminal nobody types into
        path = os.ttyname(slave)
    ticks = []
    def tick():
        while len(ticks) < 1000:
            ticks.append(time.monotonic())
            time.sleep(0.01)
    threading.Thread(target=tick, daemon=True).start()
    print("waiting", flush=True)
    try:
        reader(path)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", time.monotonic(), len(ticks), flush=True)
"""


@pytest.mark.parametrize("kind", ["fifo", "terminal"])
@pytest.mark.parametrize("reader", READERS)
def test_ctrl_c_stops_a_read_that_waits(tmp_path, reader, kind):
    command, env = child(WAITING_READ, reader, kind, tmp_path / "pipe.xyz")
    with subprocess.Popen(command, env=env, stdout=subprocess.PIPE, text=True) as proc:
        try:
            assert proc.stdout.readline().strip() == "waiting"
            time.sleep(0.5)
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            out, _ = proc.communicate(timeout=30)
        finally:
            proc.kill()
    name, caught, ticks = out.split()
    assert name == "KeyboardInterrupt"
    assert float(caught) - sent < 1.0
    if reader == "load_xyz":  # the other thread ran while the read waited
        assert int(ticks) >= 10


HUGE_COUNT = """
    import resource, sys, pelmar
    # Far less than the 25 GB that reserving 2147483647 atoms would take.
    limit = 2 << 30
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    for reader in (pelmar.read_xyz, pelmar.load_xyz):
        try:
            reader(sys.argv[1])
        except Exception as error:
            print(type(error).__name__, error)
"""


@pytest.mark.parametrize(
    ("sparse", "message"),
    [
        (False, ":8: file ends after 3 of 2147483647 atoms"),
        # The holes read as NUL bytes: one line longer than any line may be.
        (True, ":8: expected a line of at most 1048576 bytes, found a longer line"),
    ],
    ids=["file_ends", "sparse_8_gib"],
)
def test_huge_count_reserves_no_memory_up_front(tmp_path, sparse, message):
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's shadow memory needs more address space than the limit")
    path = tmp_path / "huge.xyz"
    with open(path, "wb") as out:
        out.write(("2147483647\n" + CELL + "14 0 0 0\n" * 3).encode())
        if sparse:
            out.truncate(8 << 30)
    command, env = child(HUGE_COUNT, path)
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60, check=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [f"ValueError {path}{message}"] * 2


def ase_files(folder):
    ase_io = pytest.importorskip("ase.io")
    from ase.build import bulk
    from ase.io.xyz import write_xyz

    atoms = bulk("Si", "diamond", a=5.43, cubic=True).repeat((1, 1, 3))  # 24 atoms
    files = {"extended": folder / "extended.xyz"}
    ase_io.write(files["extended"], atoms, format="extxyz")
    for name, comment in [("blank_comment", ""), ("comment", "Si diamond, 24 atoms")]:
        files[name] = folder / f"{name}.xyz"
        with open(files[name], "w") as out:
            write_xyz(out, [atoms], comment=comment)
    return files


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("layout", ["extended", "blank_comment", "comment"])
def test_common_and_extended_xyz_files_are_named_at_line_2(tmp_path, reader, layout):
    path = ase_files(tmp_path)[layout]
    looks_like = "an extended-XYZ header" if layout == "extended" else "the comment line of"
    with pytest.raises(ValueError) as caught:
        getattr(pelmar, reader)(str(path))
    text = str(caught.value)
    assert text.startswith(f"{path}:2: expected a labelled cell vector, found "), text
    assert looks_like in text and text.endswith(
        "rather than a labelled cell vector; common and extended XYZ files are read by morvak.read"
    ), text
    assert not re.search(r"file ends after|cell vector 3", text)
