"""Not built yet."""


def sweep(*args, **kwargs):
    raise NotImplementedError("sweep is not built yet")

