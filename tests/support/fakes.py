"""Stand-ins for the user types that match() converts: numbers, rows and durations."""


class Floaty:
    """A number known only through __float__."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    """An integer known only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Pair:
    """A row that is neither a list nor a tuple, read through __getitem__."""

    def __init__(self, *items):
        self.items = items

    def __getitem__(self, k):
        return self.items[k]


class Clock:
    """A duration whose total_seconds() hands back `value`: any object, NaN and inf included."""

    def __init__(self, value):
        self.value = value

    def total_seconds(self):
        return self.value

    def __repr__(self):
        return f"Clock({self.value!r})"


class Raising:
    """A number whose __float__ raises `exc`."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc
