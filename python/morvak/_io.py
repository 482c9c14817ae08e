"""Not built yet."""


def read(*args, **kwargs):
    raise NotImplementedError("read is not built yet")


def write(*args, **kwargs):
    raise NotImplementedError("write is not built yet")

