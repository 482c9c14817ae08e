import builtins
import ctypes
import errno
import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import pelmar

SILICON = """\
2
cell: 5.43 0 0
| 0 5.43 0
| 0 0 5.43
14 0 0 0
14 1.3575 1.3575 1.3575
"""

BAD_CELL = "1\ncell: 1 0 0\n| 0 abc 0\n| 0 0 1\n14 0 0 0\n"


def write(path, text=SILICON):
    path.write_text(text)
    return str(path)


def path_of_length(directory, n_bytes, suffix=".xyz"):
    """A path in `directory` whose UTF-8 encoding is exactly n_bytes long."""
    prefix = os.path.join(str(directory), "")
    fill = n_bytes - len(prefix.encode()) - len(suffix)
    assert fill > 0
    return prefix + "p" * fill + suffix


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(pelmar.__file__))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        check=False,
        text=True,
        env=env,
        timeout=60,
    )


# --- the module ------------------------------------------------------------


def test_module_attributes():
    assert "https://docs.python.org/3/c-api/arg.html" in pelmar.__doc__
    assert pelmar.__test__ == {}
    assert pelmar.__builtins__ is builtins
    assert pelmar.read_xyz.__doc__ is None
    assert list(inspect.signature(pelmar.read_xyz).parameters) == ["xyz_file_in"]
    assert sys.modules["pelmar"] is pelmar


def test_second_create_and_exec_reuse_the_module():
    before = dict(vars(pelmar))
    again = importlib.util.module_from_spec(pelmar.__spec__)
    assert again is pelmar
    pelmar.__spec__.loader.exec_module(pelmar)
    assert vars(pelmar).keys() == before.keys()
    assert all(vars(pelmar)[name] is value for name, value in before.items())


def test_exec_for_another_module_object_is_refused():
    result = run_python(
        """
        import importlib.util, sys
        spec = importlib.util.find_spec("pelmar")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        spec.loader.exec_module(first)
        print(sys.modules["pelmar"] is first, first.__file__ == spec.origin)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "True True",
        "Module 'pelmar' has already been imported. Re-initialisation is not supported.",
    ]


SUB_INTERPRETERS = """
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters

    def in_sub(code):
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, code)
        except Exception as e:
            print(e)
        else:
            print("imported")
        interpreters.destroy(sub)
"""


@pytest.mark.parametrize(
    "steps",
    [
        ["main", "sub", "sub", "main"],
        ["sub", "main", "sub"],
        ["sub", "sub", "main"],
    ],
    ids="-".join,
)
def test_main_interpreter_always_imports_and_sub_interpreters_are_refused(tmp_path, steps):
    path = write(tmp_path / "si.xyz")
    read = f"import pelmar; print(pelmar.load_xyz({path!r}))"
    code = textwrap.dedent(SUB_INTERPRETERS) + "".join(
        f"\n{read}" if step == "main" else "\nin_sub('import pelmar')" for step in steps
    )
    result = run_python(code)
    if "No module named '_xxsubinterpreters'" in result.stderr:
        pytest.skip("no subinterpreter support in this interpreter")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == len(steps)
    for step, line in zip(steps, lines, strict=True):
        if step == "main":
            assert line == "<pelmar.Crystal Si2, 2 atoms>"
        else:
            assert line == (
                "<class 'ImportError'>: Interpreter change detected - this module can only be "
                "loaded into one interpreter per process. pelmar loads only into the main "
                "interpreter, not into a sub-interpreter."
            )


def test_attributes_unchanged_after_calls(tmp_path):
    before = dict(vars(pelmar))
    good = write(tmp_path / "si.xyz")
    assert pelmar.read_xyz(good) is None
    assert pelmar.read_xyz(good) is None
    failing = [
        (str(tmp_path / "missing.xyz"), FileNotFoundError),
        (write(tmp_path / "bad.xyz", BAD_CELL), ValueError),
        (b"x", TypeError),
        (None, AttributeError),
    ]
    for argument, error in failing:
        with pytest.raises(error):
            pelmar.read_xyz(argument)
    assert vars(pelmar).keys() == before.keys()
    assert all(vars(pelmar)[name] is value for name, value in before.items())
    assert pelmar.__test__ == {}


# --- the C entry through ctypes -----------------------------------------------


@pytest.fixture(scope="module")
def c_entry():
    lib = ctypes.CDLL(pelmar.__file__)
    lib.c_read_xyz.argtypes = [ctypes.c_char_p]
    lib.c_read_xyz.restype = ctypes.c_int
    lib.c_read_xyz_error.argtypes = []
    lib.c_read_xyz_error.restype = ctypes.c_char_p
    return lib


def test_c_entry_status_and_message(c_entry, tmp_path):
    good = write(tmp_path / "si.xyz").encode()
    bad = write(tmp_path / "bad.xyz", BAD_CELL).encode()
    assert c_entry.c_read_xyz(bad) == -1
    assert b"bad.xyz:3:" in c_entry.c_read_xyz_error()
    assert c_entry.c_read_xyz(good) == 0
    assert c_entry.c_read_xyz_error() == b""
    assert c_entry.c_read_xyz(str(tmp_path / "missing.xyz").encode()) == errno.ENOENT
    assert b"missing.xyz" in c_entry.c_read_xyz_error()
    assert c_entry.c_read_xyz(str(tmp_path).encode()) == errno.EISDIR
    assert c_entry.c_read_xyz(None) == errno.ENOENT


# --- argument checks ------------------------------------------------------------


class StrSubclass(str):
    pass


@pytest.mark.parametrize("argument, got", [(b"si.xyz", "bytes"), (7, "int")])
def test_wrong_type_raises_type_error_before_reading(argument, got):
    with pytest.raises(TypeError) as info:
        pelmar.read_xyz(argument)
    expected = f"Argument 'xyz_file_in' has incorrect type (expected str, got {got})"
    assert str(info.value) == expected


def test_str_subclasses_are_str(tmp_path):
    np = pytest.importorskip("numpy")
    good, bad = write(tmp_path / "si.xyz"), write(tmp_path / "bad.xyz", BAD_CELL)
    for kind in (StrSubclass, np.str_):
        assert pelmar.read_xyz(kind(good)) is None
        with pytest.raises(ValueError, match="bad.xyz:3:"):
            pelmar.read_xyz(kind(bad))


def test_none_raises_attribute_error():
    with pytest.raises(AttributeError) as info:
        pelmar.read_xyz(None)
    assert str(info.value) == "'NoneType' object has no attribute 'encode'"


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), (("a", "b"), {}), ((), {"xyz_file_in": "a"})],
    ids=["none", "two", "keyword"],
)
def test_call_shape_is_checked_by_the_interpreter(args, kwargs):
    with pytest.raises(TypeError, match="read_xyz"):
        pelmar.read_xyz(*args, **kwargs)


def test_unencodable_path_raises_encoding_error():
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        pelmar.read_xyz("si\udc80.xyz")


def test_embedded_nul_raises_value_error(tmp_path):
    good = write(tmp_path / "si.xyz")
    with pytest.raises(ValueError, match="embedded null character"):
        pelmar.read_xyz(good + "\0ignored")


# --- failures from real files ------------------------------------------------


def denied_file(tmp_path):
    if os.geteuid() == 0:
        pytest.skip("root reads files whatever their mode")
    path = write(tmp_path / "denied.xyz")
    os.chmod(path, 0)
    return path


def kernel_write_only_file(tmp_path):
    # Write-only sysctl files refuse reads even to root.
    path = "/proc/sys/vm/drop_caches"
    try:
        with open(path):
            pytest.skip("no write-only kernel file here")
    except PermissionError:
        return path
    except OSError:
        pytest.skip("no write-only kernel file here")


@pytest.mark.parametrize(
    "make_path, error, code",
    [
        (lambda d: str(d / "missing.xyz"), FileNotFoundError, errno.ENOENT),
        (lambda d: str(d), IsADirectoryError, errno.EISDIR),
        (lambda d: write(d / "plain") + "/si.xyz", NotADirectoryError, errno.ENOTDIR),
        (denied_file, PermissionError, errno.EACCES),
        (kernel_write_only_file, PermissionError, errno.EACCES),
        (lambda d: "", FileNotFoundError, errno.ENOENT),
        (lambda d: "   ", FileNotFoundError, errno.ENOENT),
    ],
    ids=["missing", "directory", "not-a-directory", "mode-000", "write-only", "empty", "blanks"],
)
def test_file_failures_raise_os_error(tmp_path, make_path, error, code):
    path = make_path(tmp_path)
    with pytest.raises(error) as info:
        pelmar.read_xyz(path)
    assert info.value.errno == code
    assert info.value.filename == path


@pytest.mark.parametrize(
    "text, pattern",
    [
        (BAD_CELL, r"bad\.xyz:3: expected .*found 'abc'"),
        ("2147483647\ncell: 1 0 0\n| 0 1 0\n| 0 0 1\n1 0 0 0\n1 0 0 0\n1 0 0 0\n", "file ends"),
        ("1\ncell: 1 0 0\n| 0 1 0\n| 0 0 1\n119 0 0 0\n", r"bad\.xyz:5:.*119"),
    ],
    ids=["bad-number", "huge-count", "atomic-number"],
)
def test_malformed_content_raises_value_error(tmp_path, text, pattern):
    with pytest.raises(ValueError, match=pattern):
        pelmar.read_xyz(write(tmp_path / "bad.xyz", text))


# --- paths ---------------------------------------------------------------------


@pytest.mark.parametrize("n_bytes", [127, 128, 129, 200])
def test_path_is_used_whole(tmp_path, n_bytes):
    path = path_of_length(tmp_path, n_bytes)
    write(tmp_path / os.path.basename(path))
    # A malformed file at the 128-byte prefix would be read if the path were cut.
    if n_bytes > 128:
        write(tmp_path / os.path.basename(path[:128]), BAD_CELL)
    assert pelmar.read_xyz(path) is None


@pytest.mark.parametrize(
    "name",
    ["kristall_é.xyz", "晶体" * 30 + ".xyz", "Σi 2.xyz"],
    ids=["accent", "over-128-bytes", "greek-with-blank"],
)
def test_non_ascii_paths(tmp_path, name):
    path = write(tmp_path / name)
    assert pelmar.read_xyz(path) is None
    with pytest.raises(FileNotFoundError):
        pelmar.read_xyz(path[:-1])


@pytest.mark.parametrize("name", ["si.xyz", "s" * 180 + ".xyz"], ids=["short", "long"])
def test_trailing_blanks_are_not_part_of_the_name(tmp_path, name):
    path = write(tmp_path / name)
    assert pelmar.read_xyz(path + "   ") is None
