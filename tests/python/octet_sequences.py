"""Shared test helper: a sequence that is neither list nor tuple, so conversions read it as octets."""


class Seq:
    """A sequence neither list nor tuple: read as octets by the conversions."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]
