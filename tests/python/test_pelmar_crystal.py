import copy
import ctypes
import gc
import math
import os
import pathlib
import pickle
import re
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import pelmar

# Integer-valued data, so that every item format below holds it exactly.
CELL = np.array([[4.0, 0.0, 0.0], [1.0, 3.0, 0.0], [0.0, -1.0, 6.0]])
SYMBOLS = ["Si", "O", "O"]
POSITIONS = np.array([[0.0, 0.0, 0.0], [1.0, 2.0, 3.0], [-2.0, 5.0, -1.0]])

SILICON = "2\ncell: 5.43 0 0\n| 0 5.43 0\n| 0 0 5.43\n14 0 0 0\n14 1.3575 1.3575 1.3575\n"


def crystal(cell=CELL, symbols=SYMBOLS, positions=POSITIONS):
    return pelmar.Crystal(cell, symbols, positions)


def ctypes_rows(rows):
    row_type = ctypes.c_double * 3
    return (row_type * len(rows))(*(row_type(*row) for row in rows.tolist()))


class ArrayOnly:
    """An array type without the buffer protocol that converts through __array__."""

    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None, copy=None):
        return self.array


ARRAY_FORMS = {
    "lists": lambda a: a.tolist(),
    "tuples": lambda a: tuple(tuple(row) for row in a.tolist()),
    "float64": lambda a: a,
    "float32": lambda a: a.astype(np.float32),
    "float16": lambda a: a.astype(np.float16),
    "big-endian float64": lambda a: a.astype(">f8"),
    "int8": lambda a: a.astype(np.int8),
    "big-endian int16": lambda a: a.astype(">i2"),
    "int64": lambda a: a.astype(np.int64),
    "objects": lambda a: a.astype(object),
    "Fortran order": np.asfortranarray,
    "every other column": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "reversed rows": lambda a: a[::-1].copy()[::-1],
    "ctypes": ctypes_rows,
    "memoryview": memoryview,
    "list of rows": list,
    "__array__ only": ArrayOnly,
}


@pytest.mark.parametrize("form", ARRAY_FORMS)
def test_constructor_takes_array_likes(form):
    convert = ARRAY_FORMS[form]
    c = crystal(convert(CELL), SYMBOLS, convert(POSITIONS))
    assert np.array_equal(np.asarray(c.cell), CELL)
    assert np.array_equal(np.asarray(c.positions), POSITIONS)
    assert c.symbols == tuple(SYMBOLS)
    assert c.natom == len(c) == 3
    assert isinstance(c.natom, int)


@pytest.mark.parametrize(
    "dtype", ["i1", "u1", "<i2", ">u2", "<i4", ">i4", "u4", "<i8", ">i8", "u8", "?"]
)
def test_integer_items_keep_sign_and_byte_order(dtype):
    info = np.iinfo(dtype) if dtype != "?" else None
    low, high = (info.min, info.max) if info else (False, True)
    positions = np.array([[low, high, 1]], dtype=dtype)
    c = crystal(symbols=["H"], positions=positions)
    assert c.positions.tolist() == [[float(low), float(high), 1.0]]


def test_zero_atoms():
    for positions in ([], np.zeros((0, 3)), np.zeros(0)):
        c = crystal(symbols=(), positions=positions)
        assert (len(c), c.symbols, c.positions.shape) == (0, (), (0, 3))
        assert np.asarray(c.positions).shape == (0, 3)


NAN, INF = float("nan"), float("inf")
CONSTRUCTOR_ERRORS = [
    # (cell, symbols, positions, exception, message)
    (CELL, SYMBOLS, np.zeros((3, 4)), ValueError,
     "positions: expected shape (natom, 3) with natom = 3 from symbols, got (3, 4)"),
    (CELL, SYMBOLS, [[0, 0, 0]], ValueError,
     "positions: expected shape (natom, 3) with natom = 3 from symbols, got (1, 3)"),
    (CELL, SYMBOLS, [[0, 0, 0], [1, 1], [2, 2, 2]], ValueError, "got rows of different lengths"),
    (CELL, SYMBOLS, [[0, 0, 0], 1, [2, 2, 2]], ValueError, "got a mix of rows and single items"),
    (np.eye(2), SYMBOLS, POSITIONS, ValueError, "cell: expected shape (3, 3), got (2, 2)"),
    (np.ones(9), SYMBOLS, POSITIONS, ValueError, "cell: expected shape (3, 3), got (9,)"),
    (np.ones((3, 3, 1)), SYMBOLS, POSITIONS, ValueError, "cell: expected shape (3, 3), got (3, 3, 1)"),
    (CELL, ["Si", "Xx", "O"], POSITIONS, ValueError, "symbols[1]: unknown element symbol 'Xx'"),
    (CELL, ["si", "O", "O"], POSITIONS, ValueError,
     "symbols[0]: unknown element symbol 'si' (did you mean 'Si'?)"),
    (CELL, ["Si", "O ", "O"], POSITIONS, ValueError, "symbols[1]: unknown element symbol 'O '"),
    (CELL, ["Si", "O", ""], POSITIONS, ValueError, "symbols[2]: unknown element symbol ''"),
    (CELL, "SiOO", POSITIONS, TypeError, "symbols: expected a sequence of str, one per atom, got str"),
    (CELL, ["Si", 8, "O"], POSITIONS, TypeError, "symbols[1]: expected str, got int"),
    (CELL, SYMBOLS, [[0, 0, 0], [0, NAN, 0], [0, 0, 0]], ValueError,
     "positions[1][1]: expected a finite real number, got nan"),
    (np.diag([1, 1, -INF]), SYMBOLS, POSITIONS, ValueError,
     "cell[2][2]: expected a finite real number, got -inf"),
    (CELL, SYMBOLS, np.full((3, 3), np.inf, dtype=np.float32), ValueError,
     "positions[0][0]: expected a finite real number, got inf"),
    (CELL, SYMBOLS, [[0, 0, 10**400], [0, 0, 0], [0, 0, 0]], ValueError,
     "positions[0][2]: expected a finite real number, got an int too large for a float"),
    (CELL, SYMBOLS, [[0, 0, 0], [0, "1", 0], [0, 0, 0]], TypeError,
     "positions[1][1]: expected a real number, got str"),
    (CELL, SYMBOLS, [[0, 0, 0], [0, 1j, 0], [0, 0, 0]], TypeError,
     "positions[1][1]: expected a real number, got complex"),
    (CELL, SYMBOLS, POSITIONS.astype(complex), TypeError,
     "positions: expected real numbers, got items of buffer format 'Zd'"),
    (CELL, SYMBOLS, {0: 1}, TypeError, "positions: expected nested sequences of real numbers"),
    (b"123456789", SYMBOLS, POSITIONS, TypeError, "cell: expected nested sequences"),
]  # fmt: skip


@pytest.mark.parametrize(("cell", "symbols", "positions", "error", "message"), CONSTRUCTOR_ERRORS)
def test_constructor_errors_name_the_argument(cell, symbols, positions, error, message):
    with pytest.raises(error, match=re.escape(message)):
        pelmar.Crystal(cell, symbols, positions)


def test_constructor_arguments():
    assert crystal() == pelmar.Crystal(positions=POSITIONS, cell=CELL, symbols=SYMBOLS)
    for args in [(), (CELL, SYMBOLS), (CELL, SYMBOLS, POSITIONS, None)]:
        with pytest.raises(TypeError):
            pelmar.Crystal(*args)
    with pytest.raises(TypeError):
        type("Derived", (pelmar.Crystal,), {})


# --- an immutable record whose arrays are views of its own storage ------------


@pytest.mark.parametrize("name", ["natom", "cell", "positions", "symbols", "extra"])
def test_attributes_cannot_be_set_or_deleted(name):
    c = crystal()
    with pytest.raises(AttributeError):
        setattr(c, name, 1)
    with pytest.raises(AttributeError):
        delattr(c, name)


@pytest.mark.parametrize("name", ["cell", "positions"])
def test_views_are_read_only_zero_copy_and_keep_the_record(name):
    c = crystal()
    view = getattr(c, name)
    assert (view.readonly, view.format, view.itemsize) == (True, "d", 8)
    assert view.shape == (3, 3) and view.c_contiguous
    first, second = np.asarray(getattr(c, name)), np.asarray(view)
    assert np.shares_memory(first, second)
    assert not first.flags.writeable
    with pytest.raises(ValueError, match="read-only"):
        first[0, 0] = 1.0
    with pytest.raises(TypeError):
        view[0, 0] = 1.0
    with pytest.raises(TypeError, match="read-write"):
        struct.pack_into("d", view.obj, 0, 1.0)  # asks the exporter for a writable buffer
    assert np.array_equal(first, CELL if name == "cell" else POSITIONS)
    expected = first.copy()
    del c, view
    gc.collect()
    crystal(positions=POSITIONS + 100.0)  # fresh records that could reuse freed memory
    assert np.array_equal(first, expected) and np.array_equal(second, expected)


REPRS = [
    (["Si"] * 8, "<pelmar.Crystal Si8, 8 atoms>"),
    (["O", "H", "C", "H", "H", "C", "H", "H", "H"], "<pelmar.Crystal C2H6O, 9 atoms>"),
    (["O", "Si", "O"], "<pelmar.Crystal O2Si, 3 atoms>"),
    (["O", "H", "H"], "<pelmar.Crystal H2O, 3 atoms>"),
    (["Fe"], "<pelmar.Crystal Fe, 1 atom>"),
    ([], "<pelmar.Crystal 0 atoms>"),
]


@pytest.mark.parametrize(("symbols", "text"), REPRS)
def test_repr_gives_the_hill_formula(symbols, text):
    assert repr(crystal(symbols=symbols, positions=np.zeros((len(symbols), 3)))) == text


def changed(field, value):
    fields = {"cell": CELL.copy(), "symbols": list(SYMBOLS), "positions": POSITIONS.copy()}
    if field == "symbols":
        fields["symbols"][2] = value
    else:
        fields[field][2, 1] = value
    return crystal(**fields)


@pytest.mark.parametrize(
    ("field", "value"), [("cell", 7.0), ("positions", 5.000000000000001), ("symbols", "S")]
)
def test_equality_is_value_for_value(field, value):
    other = changed(field, value)
    assert other != crystal() and (other == crystal()) is False
    assert changed(field, value) == other and hash(changed(field, value)) == hash(other)


def test_negative_zero_equals_zero_and_keeps_its_sign():
    negative = changed("positions", -0.0)
    positive = changed("positions", 0.0)
    assert negative == positive and hash(negative) == hash(positive)
    assert math.copysign(1.0, negative.positions[2, 1]) == -1.0
    assert crystal() != 1 and crystal() != POSITIONS.tolist()


def test_pickle_and_copy_keep_the_record():
    c = changed("positions", -0.0)
    for other in (pickle.loads(pickle.dumps(c)), copy.copy(c), copy.deepcopy(c)):
        assert other == c
        assert np.asarray(other.positions).tobytes() == np.asarray(c.positions).tobytes()


# --- periodicity ------------------------------------------------------------------

SLAB = (True, True, False)
PBC_FORMS = [
    (True, (True,) * 3), (False, (False,) * 3), (np.True_, (True,) * 3), (0, (False,) * 3),
    (SLAB, SLAB), ([1, 1, 0], SLAB), (np.array(SLAB), SLAB), (np.array([1, 1, 0]), SLAB),
    ((np.True_, 1, np.int8(0)), SLAB), (iter(SLAB), None),
]  # fmt: skip
PBC_ERRORS = [
    (None, TypeError, "pbc: expected a bool or a sequence of three bools, got NoneType"),
    ("TTF", TypeError, "pbc: expected a bool or a sequence of three bools, got str"),
    (1.0, TypeError, "pbc: expected a bool or a sequence of three bools, got float"),
    (2, ValueError, "pbc: expected a bool, got 2"),
    ((True, True), ValueError, "pbc: expected a bool or a sequence of three bools, got 2 items"),
    ([True, 1.0, False], TypeError, "pbc[1]: expected a bool, got float"),
    ([True, True, -1], ValueError, "pbc[2]: expected a bool, got -1"),
    (np.ones((1, 3), bool), ValueError, "got 1 item"),
]


@pytest.mark.parametrize(("pbc", "expected"), PBC_FORMS)
def test_pbc_forms(pbc, expected):
    if expected is None:  # an iterator is no sequence
        with pytest.raises(TypeError, match="pbc: expected a bool or a sequence"):
            crystal_with(pbc)
        return
    c = crystal_with(pbc)
    assert c.pbc == expected and all(type(flag) is bool for flag in c.pbc)


@pytest.mark.parametrize(("pbc", "error", "message"), PBC_ERRORS)
def test_pbc_errors_name_the_argument(pbc, error, message):
    with pytest.raises(error, match=re.escape(message)):
        crystal_with(pbc)


def crystal_with(pbc):
    return pelmar.Crystal(CELL, SYMBOLS, POSITIONS, pbc=pbc)


def test_pbc_is_keyword_only_and_part_of_the_value(tmp_path):
    assert crystal().pbc == (True, True, True) == crystal_with(True).pbc
    with pytest.raises(TypeError):
        pelmar.Crystal(CELL, SYMBOLS, POSITIONS, SLAB)
    with pytest.raises(AttributeError):
        crystal().pbc = SLAB
    slab = crystal_with(SLAB)
    assert slab != crystal() and slab == crystal_with([1, 1, 0])
    assert len({hash(crystal_with(p)) for p in [SLAB, (True, False, True), False, True]}) == 4
    assert repr(slab) == "<pelmar.Crystal O2Si, 3 atoms, pbc=(True, True, False)>"
    copies = [pickle.loads(pickle.dumps(slab, protocol)) for protocol in range(6)]
    for other in [*copies, copy.copy(slab), copy.deepcopy(slab)]:
        assert other == slab and other.pbc == SLAB
    # The XYZ layout stores no periodicity: files read as periodic along every axis.
    pelmar.write_xyz(tmp_path / "slab.xyz", slab)
    assert pelmar.load_xyz(tmp_path / "slab.xyz") == crystal()


# --- load_xyz and write_xyz -------------------------------------------------------


def random_crystal(natom, seed):
    rng = np.random.default_rng(seed)
    magnitudes = 10.0 ** rng.uniform(-320, 308, (natom + 3, 3))
    values = rng.choice([-1.0, 1.0], (natom + 3, 3)) * magnitudes
    values[:3] = [
        [-0.0, 0.0, 5e-324],
        [-1.7976931348623157e308, 0.1, 1e17],
        [1 / 3, 9.999999999999998e16, -2.2250738585072014e-308],
    ]
    values[rng.random(values.shape) < 0.1] = -0.0
    symbols = rng.choice(["H", "He", "C", "Si", "Fe", "Og"], natom).tolist()
    return pelmar.Crystal(values[:3], symbols, values[3:])  # fmt: skip


@pytest.mark.parametrize(("natom", "seed"), [(0, 1), (1, 2), (500, 3)])
def test_round_trip_is_exact_to_the_bit(tmp_path, natom, seed):
    original = random_crystal(natom, seed)
    target = tmp_path / "out.xyz"
    assert pelmar.write_xyz(target, original) is None
    loaded = pelmar.load_xyz(target)
    assert loaded == original and loaded.symbols == original.symbols
    for name in ("cell", "positions"):
        assert (
            np.asarray(getattr(loaded, name)).tobytes()
            == np.asarray(getattr(original, name)).tobytes()
        )
    assert sorted(os.listdir(tmp_path)) == ["out.xyz"]  # fmt: skip


@pytest.mark.parametrize("kind", [str, pathlib.Path, os.fsencode])
def test_paths_as_str_bytes_and_path_like(tmp_path, kind):
    target = kind(str(tmp_path / "si.xyz"))
    pelmar.write_xyz(target, crystal())
    assert pelmar.load_xyz(target) == crystal()


def test_load_reads_the_files_read_xyz_reads(tmp_path):
    path = tmp_path / "si.xyz"
    path.write_text(SILICON)
    c = pelmar.load_xyz(path)
    assert (c.symbols, c.cell[1, 1], c.positions.tolist()[1]) == (("Si", "Si"), 5.43, [1.3575] * 3)


LOAD_FAILURES = {
    "missing": lambda d: str(d / "missing.xyz"),
    "directory": lambda d: str(d),
    "bad cell": lambda d: write(d, "1\ncell: 1 0 0\n| 0 abc 0\n| 0 0 1\n14 0 0 0\n"),
    "short file": lambda d: write(d, SILICON.rsplit("\n", 2)[0]),
    "unknown element": lambda d: write(d, SILICON.replace("14 0", "119 0")),
}


def write(directory, text):
    path = directory / "in.xyz"
    path.write_text(text)
    return str(path)


@pytest.mark.parametrize("case", LOAD_FAILURES)
def test_load_fails_exactly_as_read_xyz(tmp_path, case):
    path = LOAD_FAILURES[case](tmp_path)
    with pytest.raises(Exception) as expected:
        pelmar.read_xyz(path)
    with pytest.raises(type(expected.value)) as got:
        pelmar.load_xyz(path)
    assert type(got.value) is type(expected.value)
    assert got.value.args == expected.value.args
    if isinstance(expected.value, OSError):
        assert (got.value.errno, got.value.filename) == (expected.value.errno, path)


class FspathReturns:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


PATH_ERRORS = [
    (17, TypeError, "path must be str, bytes or os.PathLike, not int"),
    (
        FspathReturns(3),
        TypeError,
        "expected FspathReturns.__fspath__() to return str or bytes, not int",
    ),
    (FspathReturns("in.xyz "), ValueError, "file names ending in a blank are not supported"),
    ("in.xyz ", ValueError, "file names ending in a blank are not supported: 'in.xyz '"),
    ("in\0.xyz", ValueError, "embedded null"),
]


@pytest.mark.parametrize(("path", "error", "message"), PATH_ERRORS)
def test_path_errors(tmp_path, monkeypatch, path, error, message):
    monkeypatch.chdir(tmp_path)
    write(tmp_path, SILICON)
    for function, args in [(pelmar.load_xyz, ()), (pelmar.write_xyz, (crystal(),))]:
        with pytest.raises(error, match=re.escape(message)):
            function(path, *args)
    assert os.listdir(tmp_path) == ["in.xyz"]
    assert (tmp_path / "in.xyz").read_text() == SILICON


def test_load_refuses_a_negative_atom_count(tmp_path):
    path = write(tmp_path, "-2\ncell: 1 0 0\n| 0 1 0\n| 0 0 1\n")
    for reader in (pelmar.read_xyz, pelmar.load_xyz):
        with pytest.raises(ValueError, match=re.escape(f"{path}:1: expected a non-negative")):
            reader(path)


def test_failed_write_keeps_the_old_file_and_leaves_nothing_behind(tmp_path):
    (tmp_path / "target").mkdir()
    with pytest.raises(IsADirectoryError) as failure:
        pelmar.write_xyz(tmp_path / "target", crystal())
    assert failure.value.filename == str(tmp_path / "target")
    with pytest.raises(FileNotFoundError):
        pelmar.write_xyz(tmp_path / "no" / "such.xyz", crystal())
    assert os.listdir(tmp_path) == ["target"]
    for args in [(tmp_path / "x.xyz", {}), (tmp_path / "x.xyz",), (crystal(), tmp_path / "x.xyz")]:
        with pytest.raises(TypeError):
            pelmar.write_xyz(*args)
    assert os.listdir(tmp_path) == ["target"]


def test_load_lets_other_threads_run_while_it_waits(tmp_path):
    # load_xyz waits on a FIFO for the rest of the file, which this process's
    # main thread writes: it can only do so if load_xyz released the lock.
    fifo = str(tmp_path / "pipe.xyz")
    os.mkfifo(fifo)
    head, tail = SILICON[:20], SILICON[20:]
    code = f"""
        import os, threading, time, pelmar
        pipe = os.open({fifo!r}, os.O_RDWR)  # a writer from the start, so the reader waits
        os.write(pipe, {head!r}.encode())
        result = []
        reader = threading.Thread(target=lambda: result.append(pelmar.load_xyz({fifo!r})))
        reader.start()
        time.sleep(0.2)
        os.write(pipe, {tail!r}.encode())
        reader.join()
        print(result[0])
    """
    env = dict(os.environ, PYTHONPATH=os.path.dirname(pelmar.__file__))
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=30, env=env, check=False,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "<pelmar.Crystal Si2, 2 atoms>"
