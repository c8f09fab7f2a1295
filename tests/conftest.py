import os
import subprocess
import sys
import textwrap

import pytest

import leakcheck


def pytest_addoption(parser):
    parser.addoption("--leak-check", action="store_true",
                     help="repeat the tests marked leakcheck and fail on growth")


def pytest_configure(config):
    config.addinivalue_line("markers", "leakcheck: repeated by --leak-check to find leaks")


@pytest.hookimpl(hookwrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    if pyfuncitem.config.getoption("--leak-check") and pyfuncitem.get_closest_marker("leakcheck"):
        leakcheck.run_repeated(pyfuncitem)
    yield


def run_python(code, env=None, check=True):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=300,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.fixture
def python_child():
    return run_python
