"""Not built yet."""


class Model:
    pass


class Bands:
    pass
