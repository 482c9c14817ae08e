"""What write_xyz replaces and what it writes in place: read-only files,
symlinks, FIFOs, devices, permissions and hard links. The cases run in a
subprocess that, under root, lacks the capabilities that bypass file
permissions, so that the permission bits hold as for a user."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import pelmar

CASES = r"""
    import errno, os, signal, stat, sys, threading
    import pelmar

    one = pelmar.Crystal([[5, 0, 0], [0, 5, 0], [0, 0, 5]], ["Si"], [[0, 0, 0]])
    empty = pelmar.Crystal([[1, 0, 0], [0, 1, 0], [0, 0, 1]], [], [])
    os.chdir(sys.argv[1])
    os.umask(0o027)

    def text(path):
        with open(path) as f:
            return f.read()

    def leftovers(folder="."):
        return [name for name in os.listdir(folder) if name.endswith(".tmp")]

    # A file the caller can't open for writing stays as it is.
    with open("locked.xyz", "w") as f:
        f.write("old\n")
    os.chmod("locked.xyz", 0o444)
    try:
        pelmar.write_xyz("locked.xyz", one)
    except PermissionError as e:
        assert e.filename == "locked.xyz", e
    else:
        raise AssertionError("no PermissionError for a read-only file")
    assert text("locked.xyz") == "old\n" and os.stat("locked.xyz").st_mode & 0o777 == 0o444
    os.mkdir("closed", 0o555)
    try:
        pelmar.write_xyz("closed/new.xyz", one)
    except PermissionError:
        pass
    else:
        raise AssertionError("no PermissionError in a read-only folder")

    # Symlinks stay; the final target is replaced in its own folder.
    os.mkdir("real")
    with open("real/t.xyz", "w") as f:
        f.write("old\n")
    os.symlink("real/t.xyz", "link")
    os.symlink(os.path.abspath("link"), "link2")
    pelmar.write_xyz("link2", one)
    assert os.path.islink("link") and os.path.islink("link2")
    assert pelmar.load_xyz("real/t.xyz") == one and not leftovers("real")
    os.symlink("real/new.xyz", "dangling")
    pelmar.write_xyz("dangling", one)
    assert os.path.islink("dangling") and pelmar.load_xyz("real/new.xyz") == one
    os.symlink("loop", "loop")
    try:
        pelmar.write_xyz("loop", one)
    except OSError as e:
        assert e.errno == errno.ELOOP, e

    # Mode, owner and group are kept; a new file gets 0666 less the umask.
    pelmar.write_xyz("fresh.xyz", one)
    assert os.stat("fresh.xyz").st_mode & 0o7777 == 0o640
    with open("kept.xyz", "w") as f:
        f.write("old\n")
    os.chmod("kept.xyz", 0o2646)
    os.chown("kept.xyz", 1234, 5678)
    pelmar.write_xyz("kept.xyz", one)
    info = os.stat("kept.xyz")
    assert (info.st_mode & 0o7777, info.st_uid, info.st_gid) == (0o2646, 1234, 5678), info
    assert pelmar.load_xyz("kept.xyz") == one

    # Replacing a file splits its hard links: the other name keeps the old text.
    os.link("fresh.xyz", "hard.xyz")
    pelmar.write_xyz("fresh.xyz", empty)
    assert pelmar.load_xyz("fresh.xyz") == empty and pelmar.load_xyz("hard.xyz") == one

    # FIFOs and devices are written in place, never replaced.
    os.mkfifo("fifo")
    got = []
    reader = threading.Thread(target=lambda: got.append(text("fifo")))
    reader.start()
    pelmar.write_xyz("fifo", one)
    reader.join()
    assert stat.S_ISFIFO(os.stat("fifo").st_mode) and got[0].startswith("           1\n")
    pelmar.write_xyz("/dev/null", one)
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert not leftovers() and not leftovers("/dev")

    # A FIFO that nobody reads blocks the open; a signal ends the wait.
    os.mkfifo("unread")
    def interrupt(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, interrupt)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        pelmar.write_xyz("unread", one)
    except KeyboardInterrupt:
        pass
    else:
        raise AssertionError("no KeyboardInterrupt")
    assert stat.S_ISFIFO(os.stat("unread").st_mode)

    sys.stdout.flush()
    pelmar.write_xyz("/dev/stdout", one)
"""


def test_write_targets(tmp_path):
    command = [sys.executable, "-c", textwrap.dedent(CASES), str(tmp_path)]
    if os.geteuid() == 0:
        # Root writes any file through its capabilities; drop the two that
        # bypass file permissions. CAP_CHOWN stays, to give files away.
        if shutil.which("setpriv") is None:
            pytest.skip("running as root without setpriv to drop CAP_DAC_OVERRIDE")
        command = [
            "setpriv",
            "--bounding-set=-dac_override,-dac_read_search",
            "--inh-caps=-dac_override,-dac_read_search",
            *command,
        ]
    else:
        pytest.skip("giving files to another owner needs root")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(pelmar.__file__))
    done = subprocess.run(
        command, capture_output=True, text=True, env=env, timeout=60, check=False
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    # The last case wrote the record to the standard output, a pipe here.
    assert done.stdout.startswith("           1\n cell: "), done.stdout
    assert done.stdout.count("\n") == 3
