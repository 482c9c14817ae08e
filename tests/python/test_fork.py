"""A forked child can fill, multiply and decompose after the parent's worker threads ran."""

import os
import subprocess
import sys

import pytest

CHILD = """
import os, sys, time
import haldo
a = haldo.OperatorReal()
a.randn(600, 600)  # large enough for the parallel fill and the threaded BLAS
b = a * a
pid = os.fork()
if pid == 0:
    {call}
    os._exit(0)
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        sys.exit(os.waitstatus_to_exitcode(status))
    time.sleep(0.05)
os.kill(pid, 9)
sys.exit("the child hung")
"""


@pytest.mark.parametrize(
    "call", ["a.randn(600, 600)", "c = a * a", "h = a + a.transpose(); h.eigen()"]
)
def test_child_after_fork_does_not_hang(call):
    env = {"OMP_NUM_THREADS": "2", "OPENBLAS_NUM_THREADS": "2"}
    done = subprocess.run(
        [sys.executable, "-c", CHILD.format(call=call)],
        env={**os.environ, **env},
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert done.returncode == 0, done.stderr
