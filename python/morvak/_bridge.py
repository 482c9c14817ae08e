"""Not built yet."""


def eigenpairs(*args, **kwargs):
    raise NotImplementedError("eigenpairs is not built yet")


def from_numpy(*args, **kwargs):
    raise NotImplementedError("from_numpy is not built yet")


def to_numpy(*args, **kwargs):
    raise NotImplementedError("to_numpy is not built yet")

