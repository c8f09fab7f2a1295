"""Small helpers shared by the Python tests."""

import sysconfig

# The interpreter runs without the GIL (CPython 3.13t): other threads run beside every call.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def is_panic(exc):
    """True for the module's internal failure, which derives from BaseException only."""
    return type(exc).__name__ == "PanicException" and not isinstance(exc, Exception)
