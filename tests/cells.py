"""Stand-in cells shared by the adapter tests."""


class BadStr:
    """A cell whose str() raises."""

    def __str__(self):
        raise ValueError("cannot show")


class Floaty:
    """A cell that float() turns into the value it holds; str() names the value."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __str__(self):
        return f"Floaty({self.value})"
