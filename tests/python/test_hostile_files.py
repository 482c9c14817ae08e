"""Malformed and adversarial inputs to the XYZ reader: each ends in its
exception (or, where the layout allows it, a clean read), after which the
interpreter goes on working and a good file still reads."""

import faulthandler
import gc
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import pelmar

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
CELL = "a 1 0 0\nb 0 1 0\nc 0 0 1\n"
GOOD = "2\n" + CELL + "14 0 0 0\nSi 0.5 0.5 0.5\n"
BIG_LINE = 10 * 1024 * 1024
LONG_LINE = "expected a line of at most 1048576 bytes, found a longer line"

READERS = [pelmar.read_xyz]
if hasattr(pelmar, "load_xyz"):
    READERS.append(pelmar.load_xyz)


def atom(line):
    return ("1\n" + CELL + line + "\n").encode("utf-8", "surrogateescape")


# (id, file content, exception or None for a clean read, regex on the message).
CONTENT_CASES = [
    ("empty", b"", ValueError, r":1: expected the atom count, found the end of the file"),
    ("blank_lines", b"\n \n\t\n", ValueError, r":4: expected the atom count"),
    ("count_only", b"2\n", ValueError, r":2: expected a label for cell vector 1, found the end"),
    ("count_word", b"two\n", ValueError, r"integer for the atom count, found 'two'"),
    ("count_real", b"2.0\n", ValueError, r"integer for the atom count, found '2.0'"),
    ("count_int32_overflow", b"2147483648\n", ValueError, r"found '2147483648'"),
    ("count_2_pow_40", b"1099511627776\n", ValueError, r"found '1099511627776'"),
    ("count_negative_cut", b"-1\n", ValueError, r":1: expected a non-negative integer .*'-1'"),
    (
        "count_huge_three_atoms",
        b"2147483647\n" + CELL.encode() + b"1 0 0 0\n" * 3,
        ValueError,
        r":8: file ends after 3 of 2147483647 atoms",
    ),
    ("cell_cut_short", b"1\na 1 0 0\nb 0 1\n", ValueError, r"cell vector 2, found the end of"),
    ("cell_word", b"1\na 1 0 0\nb 0 abc 0\n", ValueError, r":3: .*cell vector 2, found 'abc'"),
    ("cell_nan", b"1\na nan 0 0\n", ValueError, r"real number for cell vector 1, found 'nan'"),
    ("cell_overflow", b"1\na 1e999 0 0\n", ValueError, r"cell vector 1, found '1e999'"),
    ("coordinate_inf", atom("1 Inf 0 0"), ValueError, r"coordinate x of atom 1, found 'Inf'"),
    ("coordinate_infinity", atom("1 0 -Infinity 0"), ValueError, r"found '-Infinity'"),
    ("coordinate_nan", atom("1 0 0 NaN"), ValueError, r"coordinate z of atom 1, found 'NaN'"),
    ("coordinate_hex", atom("1 0x10 0 0"), ValueError, r"found '0x10'"),
    ("atomic_number_0", atom("0 0 0 0"), ValueError, r"from 1 to 118 for atom 1, found '0'"),
    ("atomic_number_119", atom("119 0 0 0"), ValueError, r"from 1 to 118 .*found '119'"),
    ("atomic_number_minus_1", atom("-1 0 0 0"), ValueError, r"from 1 to 118 .*found '-1'"),
    ("atomic_number_2_pow_40", atom("1099511627776 0 0 0"), ValueError, r"'1099511627776'"),
    ("atomic_number_real", atom("1.0 0 0 0"), ValueError, r"or element symbol .*found '1.0'"),
    ("symbol_unknown", atom("Xx 0 0 0"), ValueError, r"or element symbol for atom 1, found 'Xx'"),
    ("symbol_lower_case", atom("si 0 0 0"), ValueError, r"found 'si'"),
    ("symbol_invalid_utf8", atom("\udcc3( 0 0 0"), ValueError, r"found '\\xc3\('"),
    ("too_few_atoms", b"3\n" + CELL.encode() + b"1 0 0 0\n", ValueError, r"after 1 of 3 atoms"),
    ("coordinate_missing", atom("1 0 0"), ValueError, r":6: file ends after 0 of 1 atoms"),
    ("ten_mb_line_of_blanks", b"1" + b" " * BIG_LINE + b"\n", ValueError, LONG_LINE),
    ("ten_mb_line_of_digits", b"7" * BIG_LINE, ValueError, LONG_LINE),
    ("binary_junk", bytes(range(256)) * 16, ValueError, r"found '\\x00\\x01"),
    ("nul_in_count", b"1\x00\n" + CELL.encode(), ValueError, r"found '1\\x00'"),
    ("nul_bytes_only", b"\x00" * 4096, ValueError, r"integer for the atom count"),
    ("utf8_bom", b"\xef\xbb\xbf" + GOOD.encode(), ValueError, r"found '\\xef\\xbb\\xbf2'"),
    ("cr_only_line_ends", GOOD.replace("\n", "\r").encode(), ValueError, r"label for cell"),
    ("unclosed_quote", b"0\n'a 1 0 0\n", ValueError, r"expected a closing '"),
    ("zero_repeat", b"0*1\n", ValueError, r"repeat count of at least 1, found '0\*'"),
    ("slash_only", b"/\n", ValueError, r"label for cell vector 1, found the end"),
    ("huge_repeat_reads", b"0\na 4294967295*1\n", None, None),
    ("invalid_utf8_label_reads", atom("1 0 0 0").replace(b"a 1", b"\xff\xfe 1"), None, None),
]


def content_bytes(content):
    return content.encode("utf-8", "surrogateescape") if isinstance(content, str) else content


@pytest.fixture
def good_file(tmp_path):
    path = tmp_path / "good.xyz"
    path.write_text(GOOD)
    return str(path)


@pytest.fixture(autouse=True)
def watchdog():
    # A read that blocks (a FIFO open, an endless device) must fail the run,
    # not hang it.
    faulthandler.dump_traceback_later(60, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def expect(reader, path, error, pattern):
    if error is None:
        reader(path)
        return None
    with pytest.raises(error) as caught:
        reader(path)
    if pattern is not None:
        assert re.search(pattern, str(caught.value)), str(caught.value)
    return caught.value


def still_works(reader, good_file):
    gc.collect()
    assert sum(range(10)) == 45
    pelmar.read_xyz(good_file)
    reader(good_file)


@pytest.mark.parametrize("reader", READERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    ("content", "error", "pattern"),
    [case[1:] for case in CONTENT_CASES],
    ids=[case[0] for case in CONTENT_CASES],
)
def test_malformed_content(tmp_path, good_file, reader, content, error, pattern):
    path = tmp_path / "hostile.xyz"
    path.write_bytes(content_bytes(content))
    caught = expect(reader, str(path), error, pattern)
    if caught is not None:
        assert str(caught).startswith(f"{path}:")
    still_works(reader, good_file)


def special_paths(tmp_path):
    regular = tmp_path / "file.xyz"
    regular.write_text(GOOD)
    loop = tmp_path / "loop.xyz"
    loop.symlink_to(loop)
    fifo = tmp_path / "fifo.xyz"
    os.mkfifo(fifo)
    return {
        "directory": (str(tmp_path), IsADirectoryError, None),
        "missing_folder": (str(tmp_path / "no" / "such.xyz"), FileNotFoundError, None),
        "file_as_folder": (str(regular / "x.xyz"), NotADirectoryError, None),
        "symlink_loop": (str(loop), OSError, r"Too many levels of symbolic links"),
        "empty_path": ("", FileNotFoundError, None),
        "name_too_long": (str(tmp_path / ("n" * 300)), OSError, r"File name too long"),
        "embedded_nul": (str(regular) + "\0x", ValueError, r"null"),
        "fifo_without_writer": (str(fifo), ValueError, r"expected the atom count, found the end"),
        "dev_null": ("/dev/null", ValueError, r"^/dev/null:1: expected the atom count"),
    }


SPECIAL = [
    "directory",
    "missing_folder",
    "file_as_folder",
    "symlink_loop",
    "empty_path",
    "name_too_long",
    "embedded_nul",
    "fifo_without_writer",
    "dev_null",
]


@pytest.mark.parametrize("reader", READERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("name", SPECIAL)
def test_hostile_paths(tmp_path, good_file, reader, name):
    path, error, pattern = special_paths(tmp_path)[name]
    caught = expect(reader, path, error, pattern)
    if isinstance(caught, OSError):
        assert caught.filename == path and caught.errno is not None
    still_works(reader, good_file)


@pytest.mark.parametrize("reader", READERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize(("count", "atoms"), [("-5", ""), ("-1", "1 0 0 0\n"), ("0", "junk\n")])
def test_negative_count_is_an_error_and_zero_is_empty(tmp_path, good_file, reader, count, atoms):
    path = tmp_path / "count.xyz"
    path.write_text(count + "\n" + CELL + atoms)
    if count == "0":
        result = reader(str(path))
        assert result is None or (result.natom == 0 and result.positions.shape == (0, 3))
    else:
        message = f"{path}:1: expected a non-negative integer for the atom count, found '{count}'"
        with pytest.raises(ValueError, match=re.escape(message)):
            reader(str(path))
    still_works(reader, good_file)


def test_path_that_is_not_utf8_is_refused(good_file):
    with pytest.raises(UnicodeEncodeError):
        pelmar.read_xyz("\udcff.xyz")
    still_works(pelmar.read_xyz, good_file)


def test_unreadable_file(tmp_path):
    path = tmp_path / "locked.xyz"
    path.write_text(GOOD)
    path.chmod(0)
    code = f"""
        import pelmar
        try:
            pelmar.read_xyz({str(path)!r})
        except PermissionError as error:
            assert error.filename == {str(path)!r}, error
            print("PermissionError")
    """
    command = [sys.executable, "-c", textwrap.dedent(code)]
    if os.geteuid() == 0:
        # Root reads any file through its capabilities; drop the two that
        # bypass file permissions, so the permission bits hold as for a user.
        if shutil.which("setpriv") is None:
            pytest.skip("running as root without setpriv to drop CAP_DAC_OVERRIDE")
        command = [
            "setpriv",
            "--bounding-set=-dac_override,-dac_read_search",
            "--inh-caps=-dac_override,-dac_read_search",
            *command,
        ]
    env = dict(os.environ, PYTHONPATH=os.path.dirname(pelmar.__file__))
    result = subprocess.run(
        command, check=False, capture_output=True, text=True, env=env, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "PermissionError"


# The endless devices are read in a fresh interpreter, so that its peak
# resident size measures the read alone.
ENDLESS_DEVICE = """
    import resource, sys, time
    import pelmar
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    try:
        pelmar.read_xyz(sys.argv[1])
    except ValueError as error:
        message = str(error)
    else:
        message = "no error"
    elapsed = time.perf_counter() - start
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(f"{elapsed} {grown}")
    print(message)
"""


@pytest.mark.parametrize("device", ["/dev/zero", "/dev/urandom"])
def test_endless_device_fails_fast_in_bounded_memory(device):
    if not os.path.exists(device):
        pytest.skip(f"{device} does not exist")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(pelmar.__file__))
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(ENDLESS_DEVICE), device],
        check=False,
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    timing, message = result.stdout.splitlines()[:2]
    elapsed, grown_kib = timing.split()
    assert message.startswith(device + ":"), message
    assert float(elapsed) < 1.0
    # The reader's buffer holds at most one line of 1 MiB.
    assert int(grown_kib) < 16 * 1024


def regression_files():
    folder = DATA / "regressions"
    return sorted(folder.glob("*.xyz")) if folder.is_dir() else []


@pytest.mark.parametrize("path", regression_files(), ids=lambda p: p.name)
def test_fuzzer_regression(path, good_file):
    # Inputs that once crashed a harness: they must read or fail cleanly.
    try:
        pelmar.read_xyz(str(path))
    except ValueError as error:
        assert str(path) in str(error)
    still_works(pelmar.read_xyz, good_file)
