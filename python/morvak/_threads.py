"""Not built yet."""


def blas_threads(*args, **kwargs):
    raise NotImplementedError("blas_threads is not built yet")

