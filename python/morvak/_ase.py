"""Not built yet."""


def from_ase(*args, **kwargs):
    raise NotImplementedError("from_ase is not built yet")


def to_ase(*args, **kwargs):
    raise NotImplementedError("to_ase is not built yet")

