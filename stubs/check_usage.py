"""Typical uses of quorlin, type-checked against its stubs by scripts/test-stubs.sh.

mypy and pyright must accept every line. The misuses at the end must each be rejected: their
`type: ignore[...]` comments are checked (mypy's --warn-unused-ignores, pyright's
reportUnnecessaryTypeIgnoreComment), so a stub that stopped reporting one of them fails.
"""

import copy
from typing import Any, assert_type

import numpy as np
import numpy.typing as npt
import pandas as pd

import quorlin
from quorlin import Encoder

assert_type(Encoder(), Encoder)
assert_type(Encoder(None), Encoder)
assert_type(Encoder("label"), Encoder)
assert_type(Encoder(encoding="label"), Encoder)
assert_type(quorlin.__all__, list[str])

enc = Encoder()

frame = pd.DataFrame({"colour": ["red", "blue", None], "size": [1.0, 2.0, 3.0]})
codes = enc.encode(frame)
assert_type(codes, pd.DataFrame)
assert_type(enc.decode(codes), pd.DataFrame)
assert_type(enc.encode(obj=frame), pd.DataFrame)

array = np.array([["red", 1.0], ["blue", 2.0]], dtype=object)
array_codes = enc.encode(array)
assert_type(array_codes, npt.NDArray[np.float64])
assert_type(enc.decode(array_codes), npt.NDArray[Any])
assert_type(enc.decode(obj=array_codes), npt.NDArray[Any])

memmap = np.memmap("/dev/null", dtype=np.float64, mode="r", shape=(0, 2))
assert_type(enc.encode(memmap), npt.NDArray[np.float64])

state = enc.__getstate__()
assert_type(state, bytes)
assert_type(enc.__setstate__(state), None)
enc.__setstate__(state=state)
assert_type(copy.deepcopy(enc), Encoder)

# Misuses the stubs must reject.
enc.encode([["red", 1.0]])  # type: ignore[call-overload]
enc.decode(pd.Series(["red"]))  # type: ignore[call-overload]
enc.encode(array, array)  # type: ignore[call-overload]
enc.encode(data=array)  # type: ignore[call-overload]
Encoder(1)  # type: ignore[arg-type]
Encoder("label", "label")  # type: ignore[call-arg]
enc.__setstate__(bytearray(state))  # type: ignore[arg-type]
enc.__setstate__("state")  # type: ignore[arg-type]
enc.__getstate__(0)  # type: ignore[call-arg]
enc.fit(frame)  # type: ignore[attr-defined]
quorlin.encode(frame)  # type: ignore[attr-defined]


class Tuned(Encoder):  # type: ignore[misc]
    pass
