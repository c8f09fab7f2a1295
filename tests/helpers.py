"""Small helpers shared by the Python tests."""


def is_panic(exc):
    """True for the module's internal failure, which derives from BaseException only."""
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)
