"""morvak.read and morvak.write: round trips with ASE in both directions, frame
selection, format detection, hostile extended XYZ headers and I/O errors."""

import errno
import os
import stat

import ase
import ase.io
import morvak
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from morvak import _native

import pelmar

PBC_PATTERNS = [(True, True, True), (True, True, False), (False, False, False)]


def random_images(count, natom, pbc, seed):
    rng = np.random.default_rng(seed)
    images = []
    for _ in range(count):
        cell = np.diag(rng.uniform(3, 9, 3)) + rng.uniform(-1, 1, (3, 3))
        symbols = rng.choice(["H", "C", "Si", "Og", "U"], natom).tolist()
        positions = rng.normal(0, 5, (natom, 3)) * 10.0 ** rng.integers(-3, 4, (natom, 1))
        images.append(ase.Atoms(symbols, positions=positions, cell=cell, pbc=pbc))
    return images


def assert_same(crystal, atoms, cell=True):
    assert crystal.symbols == tuple(atoms.get_chemical_symbols())
    assert np.array_equal(np.asarray(crystal.positions), atoms.positions)
    if cell:
        assert np.array_equal(np.asarray(crystal.cell), atoms.cell.array)
        assert crystal.pbc == tuple(bool(p) for p in atoms.pbc)


@pytest.mark.parametrize("pbc", PBC_PATTERNS)
@pytest.mark.parametrize("frames", [1, 3])
@pytest.mark.parametrize("format", ["extxyz", "xyz"])
def test_reads_what_ase_writes(tmp_path, format, frames, pbc):
    path = tmp_path / "ase.xyz"
    ase.io.write(path, random_images(frames, 7, pbc, seed=frames), format=format)
    # ASE's reading of its own file is what it printed, digit for digit.
    expected = ase.io.read(path, index=":", format=format)
    crystals = morvak.read(path, index=":")
    assert len(crystals) == frames
    for crystal, atoms in zip(crystals, expected):
        if format == "xyz":
            assert crystal.pbc == (False, False, False)
            assert not np.asarray(crystal.cell).any()
        assert_same(crystal, atoms, cell=format == "extxyz")
    assert morvak.read(str(path)) == crystals[-1]


finite = st.floats(allow_nan=False, allow_infinity=False)


@settings(max_examples=30, deadline=None)
@given(
    values=st.lists(finite, min_size=12, max_size=12),
    pbc=st.tuples(st.booleans(), st.booleans(), st.booleans()),
)
def test_ase_reads_what_morvak_writes_bit_for_bit(tmp_path_factory, values, pbc):
    path = tmp_path_factory.mktemp("w") / "out.extxyz"
    cell = np.array(values[:9]).reshape(3, 3)
    crystal = pelmar.Crystal(cell, ["Si", "H", "Og"], np.array(values[3:]).reshape(3, 3), pbc=pbc)
    morvak.write(path, [crystal, crystal])
    images = ase.io.read(path, index=":", format="extxyz")
    assert len(images) == 2
    atoms = images[-1]
    assert np.array_equal(
        atoms.positions.view(np.int64), np.asarray(crystal.positions).view(np.int64)
    )
    if cell.any():
        assert np.array_equal(atoms.cell.array.view(np.int64), cell.view(np.int64))
    assert tuple(bool(p) for p in atoms.pbc) == pbc
    assert morvak.read(path) == crystal


@pytest.mark.parametrize("format", ["extxyz", "xyz", "morvak"])
def test_write_read_round_trip_and_detection(tmp_path, format):
    crystal = pelmar.Crystal(
        [[5.43, 0, 0], [0, 5.43, 0], [1e-300, 0, 5.43]],
        ["Si", "C"],
        [[0.1, -0.0, 1e17], [2.5e-310, 1.0 / 3, -7]],
    )
    path = tmp_path / "out.any"
    morvak.write(path, crystal, format=format)
    back = morvak.read(path)
    assert _native.detect_format(os.fsencode(path)) == format
    assert back.symbols == crystal.symbols
    assert np.array_equal(np.asarray(back.positions), np.asarray(crystal.positions))
    if format != "xyz":
        assert back == crystal
    else:
        assert back.pbc == (False, False, False)
    assert morvak.read(path, index=":") == [back]


def test_frame_selection(tmp_path):
    path = tmp_path / "frames.extxyz"
    crystals = [
        pelmar.Crystal(np.eye(3) * (k + 1), ["H"] * k, np.full((k, 3), k)) for k in range(4)
    ]
    morvak.write(path, crystals)
    assert morvak.read(path) == crystals[-1]
    assert morvak.read(path, index=0) == crystals[0]
    assert morvak.read(path, index=np.int64(-3)) == crystals[1]
    assert morvak.read(path, index=":") == crystals
    assert morvak.read(path, index=slice(1, None, 2)) == crystals[1::2]
    for index in (4, -5):
        with pytest.raises(IndexError, match="out of range for 4 frames"):
            morvak.read(path, index=index)
    with pytest.raises(TypeError):
        morvak.read(path, index=True)
    with pytest.raises(ValueError, match="index"):
        morvak.read(path, index="1:")
    with pytest.raises(ValueError, match="format"):
        morvak.read(path, format="cif")


def test_morvak_layout_refuses_what_it_cannot_hold(tmp_path):
    crystal = pelmar.Crystal(np.eye(3), ["H"], [[0, 0, 0]], pbc=(True, False, True))
    with pytest.raises(ValueError, match="periodic structures only"):
        morvak.write(tmp_path / "a.xyz", crystal, format="morvak")
    with pytest.raises(ValueError, match="one structure"):
        morvak.write(tmp_path / "a.xyz", [crystal, crystal], format="morvak")
    with pytest.raises(TypeError, match=r"crystal_or_list\[1\]"):
        morvak.write(tmp_path / "a.xyz", [crystal, "H"])
    assert not os.listdir(tmp_path)


HEADER = 'Lattice="2 0 0 0 2 0 0 0 2" Properties=species:S:1:pos:R:3'
ATOM = "Si 0 0 0"

# (id, file text, line named, what the message says was expected or found)
HOSTILE = [
    (
        "unbalanced_quote",
        '1\nLattice="2 0 0 0 2 0 0 0 2 pbc=T\nSi 0 0 0\n',
        2,
        'closing " for the value of Lattice',
    ),
    (
        "lattice_8_numbers",
        '1\nLattice="2 0 0 0 2 0 0 0"\nSi 0 0 0\n',
        2,
        "9 real numbers in Lattice, found 8",
    ),
    (
        "lattice_word",
        '1\nLattice="2 0 0 0 2 x 0 0 2"\nSi 0 0 0\n',
        2,
        "component 3 of cell vector 2 in Lattice, found 'x'",
    ),
    ("lattice_nan", '1\nLattice="2 0 0 0 nan 0 0 0 2"\nSi 0 0 0\n', 2, "found 'nan'"),
    (
        "lattice_bracket",
        "1\nLattice=[[2, 0, 0], [0, 2, 0], [0, 0, 2]\nSi 0 0 0\n",
        2,
        "closing ']' for the value of Lattice",
    ),
    (
        "lattice_twice",
        f'1\n{HEADER} Lattice="1 0 0 0 1 0 0 0 1"\n{ATOM}\n',
        2,
        "one Lattice key, found a second",
    ),
    ("lattice_flag", "1\nLattice pbc=T\nSi 0 0 0\n", 2, "a value for Lattice"),
    ("empty_value", "1\nLattice=\nSi 0 0 0\n", 2, "a value after 'Lattice='"),
    ("key_missing", '1\n="1"\nSi 0 0 0\n', 2, "a key before '='"),
    ("stray_quote", '1\nLattice="2 0 0 0 2 0 0 0 2" co"mment\nSi 0 0 0\n', 2, "stray quote"),
    (
        "properties_missing_columns",
        "1\nProperties=species:S:1:pos:R:3:forces:R:3\nSi 0 0 0\n",
        3,
        "expected 7 columns, found 4",
    ),
    (
        "properties_no_pos",
        "1\nProperties=species:S:1:forces:R:3\nSi 0 0 0\n",
        2,
        "Properties to name the columns pos:R:3",
    ),
    (
        "properties_pos_as_text",
        "1\nProperties=species:S:1:pos:S:3\nSi 0 0 0\n",
        2,
        "pos:R:3 in Properties, found pos:S:3",
    ),
    (
        "properties_not_triples",
        "1\nProperties=species:S:1:pos:R\nSi 0 0 0\n",
        2,
        "name:type:count triples",
    ),
    (
        "properties_bad_type",
        "1\nProperties=species:S:1:pos:R:3:q:X:1\nSi 0 0 0 1\n",
        2,
        "type S, R, I or L for property 'q'",
    ),
    (
        "properties_huge_count",
        "1\nProperties=species:S:1:pos:R:3:q:R:99999999999\nSi 0 0 0\n",
        2,
        "column count from 1 to 100000",
    ),
    (
        "properties_twice_species",
        "1\nProperties=species:S:1:pos:R:3:species:S:1\nSi 0 0 0 H\n",
        2,
        "one property species",
    ),
    ("too_many_columns", f"1\n{HEADER}\nSi 0 0 0 7\n", 3, "found more: '7'"),
    ("pbc_two", f'1\n{HEADER} pbc="T F"\n{ATOM}\n', 2, "3 of T and F in pbc, found 2 items"),
    ("pbc_word", f'1\n{HEADER} pbc="T X T"\n{ATOM}\n', 2, "T or F in pbc, found 'X'"),
    (
        "count_beyond_file",
        f"3\n{HEADER}\n{ATOM}\n{ATOM}\n",
        5,
        "3 atom lines in frame 1, found the end of the file after 2",
    ),
    ("count_huge", f"2147483647\n{HEADER}\n{ATOM}\n", 4, "found the end of the file after 1"),
    ("count_over_int32", f"2147483648\n{HEADER}\n{ATOM}\n", 1, "found '2147483648'"),
    ("count_negative", f"-1\n{HEADER}\n", 1, "atom count of frame 1"),
    ("count_word", f"one\n{HEADER}\n{ATOM}\n", 1, "found 'one'"),
    ("no_comment_line", "1\n", 2, "comment line of frame 1, found the end of the file"),
    ("empty_file", "", 1, "atom count of frame 1, found the end of the file"),
    (
        "second_frame_cut",
        f"1\n{HEADER}\n{ATOM}\n2\n{HEADER}\n{ATOM}\n",
        7,
        "2 atom lines in frame 2",
    ),
    (
        "blank_line_between_frames",
        f"1\n{HEADER}\n{ATOM}\n\n1\n{HEADER}\n{ATOM}\n",
        4,
        "atom count of frame 2, found an empty line",
    ),
    (
        "unknown_element",
        f"1\n{HEADER}\nXx 0 0 0\n",
        3,
        "element symbol or atomic number, found 'Xx'",
    ),
    ("lowercase_element", f"1\n{HEADER}\nsi 0 0 0\n", 3, "found 'si'"),
    ("coordinate_inf", f"1\n{HEADER}\nSi 0 inf 0\n", 3, "finite real number for a coordinate"),
    ("coordinate_overflow", f"1\n{HEADER}\nSi 0 0 1e999\n", 3, "found '1e999'"),
    ("coordinate_hex", f"1\n{HEADER}\nSi 0x1 0 0\n", 3, "found '0x1'"),
    ("atom_line_short", f"2\n{HEADER}\nSi 0 0\nSi 0 0 0\n", 3, "expected 4 columns, found 3"),
    ("atom_line_blank", f"2\n{HEADER}\n\nSi 0 0 0\n", 3, "expected 4 columns, found 0"),
    ("nul_bytes", f"1\n{HEADER}\nSi\0 0 0 0\n", 3, "element symbol"),
]


@pytest.mark.parametrize(
    "text,line,expected", [c[1:] for c in HOSTILE], ids=[c[0] for c in HOSTILE]
)
def test_hostile_extxyz_names_file_and_line(tmp_path, text, line, expected):
    path = tmp_path / "hostile.extxyz"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(ValueError) as failure:
        morvak.read(path, format="extxyz", index=":" if "frame 2" in expected else None)
    message = str(failure.value)
    assert message.startswith(f"{path}:{line}: expected "), message
    assert expected in message, message


def test_accepted_extxyz_forms(tmp_path):
    path = tmp_path / "forms.extxyz"
    path.write_text(
        "2\n"
        'pbc = "F T F" energy=-1.5 flag "quoted key"="a \\" b" '
        "Lattice=[[1, 0, 0], [0, 2, 0], [0, 0, 3]] "
        "Properties=pos:R:3:tag:I:1:species:S:1:forces:R:3\r\n"
        "\t1.5 +2 3D0 7 Og 0 0 0\r\n"
        "0 0 1e-320 8 6 1 1 1  \n"
        "\n\n"
    )
    crystal = morvak.read(path)
    assert crystal.symbols == ("Og", "C")
    assert crystal.pbc == (False, True, False)
    assert np.array_equal(np.asarray(crystal.cell), np.diag([1.0, 2.0, 3.0]))
    assert np.asarray(crystal.positions).tolist() == [[1.5, 2.0, 3.0], [0.0, 0.0, 1e-320]]


def test_io_errors(tmp_path):
    with pytest.raises(FileNotFoundError) as failure:
        morvak.read(tmp_path / "missing.extxyz", format="extxyz")
    assert failure.value.errno == errno.ENOENT
    assert failure.value.filename == str(tmp_path / "missing.extxyz")
    with pytest.raises(IsADirectoryError):
        morvak.read(tmp_path, format="xyz")
    with pytest.raises(FileNotFoundError):
        morvak.read(tmp_path / "missing.xyz")
    crystal = pelmar.Crystal(np.eye(3), ["H"], [[0, 0, 0]])
    with pytest.raises(FileNotFoundError):
        morvak.write(tmp_path / "no" / "dir.extxyz", crystal)
    # A refused frame leaves the old file as it was, with no temporary beside it.
    target = tmp_path / "old.extxyz"
    target.write_text("old")
    frame = (np.eye(3), ["H"], np.array([[0.0, np.nan, 0.0]]), (True, True, True))
    with pytest.raises(ValueError, match="not a finite number"):
        _native.write_frames(os.fsencode(target), "extxyz", [frame])
    with pytest.raises(ValueError, match="unknown element symbol 'h'"):
        _native.write_frames(
            os.fsencode(target), "extxyz", [(np.eye(3), ["h"], np.zeros((1, 3)), (1, 1, 1))]
        )
    assert target.read_text() == "old"
    assert os.listdir(tmp_path) == ["old.extxyz"]


def test_large_frame_round_trip(tmp_path):
    rng = np.random.default_rng(5)
    natom = 140001  # three parts, parsed on several threads
    positions = rng.normal(0, 30, (natom, 3))
    crystal = pelmar.Crystal(np.eye(3) * 90, ["Si", "O", "O"] * (natom // 3), positions)
    path = tmp_path / "big.extxyz"
    morvak.write(path, crystal)
    assert morvak.read(path) == crystal
    lines = path.read_text().splitlines()
    lines[natom - 100] = "O 1 2"
    path.write_text("\n".join(lines))
    with pytest.raises(ValueError, match=rf"big.extxyz:{natom - 99}: expected 4 columns"):
        morvak.read(path)


decimal_text = st.builds(
    lambda sign, whole, fraction, exponent: f"{sign}{whole}.{fraction}{exponent}",
    st.sampled_from(["", "-", "+"]),
    st.text("0123456789", min_size=1, max_size=12),
    st.text("0123456789", max_size=12),
    st.sampled_from(["", "", "e-7", "E+300", "e-320"]),
)


@settings(max_examples=40, deadline=None)
@given(texts=st.lists(decimal_text, min_size=3, max_size=30))
def test_reals_read_as_python_floats(tmp_path_factory, texts):
    """Every spelling reads as the double nearest its text, as float() does."""
    texts += ["0"] * (-len(texts) % 3)
    rows = [texts[k : k + 3] for k in range(0, len(texts), 3)]
    path = tmp_path_factory.mktemp("r") / "reals.xyz"
    path.write_text(f"{len(rows)}\n\n" + "".join(f"H {' '.join(row)}\n" for row in rows))
    expected = np.array([[float(text) for text in row] for row in rows])
    if not np.isfinite(expected).all():
        with pytest.raises(ValueError, match="reals.xyz:[0-9]+: expected a finite real number"):
            morvak.read(path)
        return
    positions = np.asarray(morvak.read(path).positions)
    assert np.array_equal(positions.view(np.int64), expected.view(np.int64))


def test_write_keeps_links_modes_and_devices(tmp_path):
    crystal = pelmar.Crystal(np.eye(3), ["H"], [[0, 0, 0]], pbc=(True, False, False))
    real = tmp_path / "real.extxyz"
    real.write_text("old")
    real.chmod(0o640)
    link = tmp_path / "link.extxyz"
    link.symlink_to("real.extxyz")
    morvak.write(link, crystal)
    assert link.is_symlink() and morvak.read(real) == crystal
    assert stat.S_IMODE(real.stat().st_mode) == 0o640
    # A device is written in place, never replaced by a regular file.
    for format in ("extxyz", "xyz"):
        morvak.write("/dev/null", crystal, format=format)
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert sorted(os.listdir(tmp_path)) == ["link.extxyz", "real.extxyz"]
