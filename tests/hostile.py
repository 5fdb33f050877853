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


class Iterates(Liar):
    """A Liar that is iterable too: plainly, raising at once or after one item, or by returning a
    non-iterator."""

    def __init__(self, items, length, iterate="plain"):
        super().__init__(items, length)
        self.iterate = iterate

    def __iter__(self):
        if self.iterate == "raise":
            raise Boom("iter")
        if self.iterate == "not an iterator":
            return 5
        return iter(self.items) if self.iterate == "plain" else self._raise_midway()

    def _raise_midway(self):
        yield from self.items[:1]
        raise Boom("midway")


class RaisesOnFloat:
    """A number whose every conversion raises the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


class Returns:
    """A number whose conversions return what they are given, a float or not."""

    def __init__(self, as_float, as_index):
        self.as_float, self.as_index = as_float, as_index

    def __float__(self):
        return self.as_float

    def __index__(self):
        return self.as_index


class Resizes:
    """Empties (by < 0) or grows (by > 0) the list it sits in, `home`, when first converted."""

    def __init__(self, by):
        self.by, self.home = by, None

    def __float__(self):
        if self.home is not None:
            if self.by < 0:
                self.home.clear()
            else:
                self.home.extend([1.0] * self.by)
            self.home = None
        return 2.0
