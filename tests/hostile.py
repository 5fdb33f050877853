"""Objects that convert awkwardly, shared by the binding tests (and their subprocess snippets)."""


class Boom(Exception):
    """Raised by hostile objects; it must come back to the caller unchanged."""


class Index:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class GetItemOnly:
    """Has the sequence protocol but no __len__: its failing length query is ignored."""

    def __init__(self, items):
        self.items = list(items)

    def __getitem__(self, i):
        return self.items[i]


class Liar(GetItemOnly):
    """Reports a length it does not have (by default 2**62), or raises the exception it is given."""

    def __init__(self, items, length=2**62):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, int):
            return self.length
        raise self.length


class RaisesOnFloat:
    """A number whose every conversion raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc
