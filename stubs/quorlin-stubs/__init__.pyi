"""Dense float codes for the text columns of NumPy arrays and pandas DataFrames, and back."""

from typing import Any, final, overload

import numpy as np
import numpy.typing as npt
from pandas import DataFrame

__all__ = ["Encoder"]

@final
class Encoder:
    """Turns the text columns of a two-dimensional table into dense float codes and back.

    A column is text as soon as one of its cells does not convert to a float. Each distinct
    label of a text column gets a code 0, 1, 2, ... in byte order of its UTF-8 text; the
    missing-value markers "nan", "NaN" and "<NA>" get NaN. `encode` keeps the tables of the
    last fit; `decode` turns codes back into labels with them.
    """

    def __new__(cls, encoding: str | None = None) -> Encoder:
        """`encoding` must be None or "label" (the only strategy); any other text is a ValueError."""

    @overload
    def encode(self, obj: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
        """A two-dimensional float64 array of the input's shape."""

    @overload
    def encode(self, obj: DataFrame) -> DataFrame:
        """A float64 DataFrame with the input's column names and a fresh 0..n-1 index."""

    @overload
    def decode(self, obj: npt.NDArray[Any]) -> npt.NDArray[Any]:
        """An object array (str labels in the fitted text columns, "NaN" where no label fits,
        float elsewhere), or the float64 codes when the Encoder holds no tables."""

    @overload
    def decode(self, obj: DataFrame) -> DataFrame:
        """Fitted text columns become object columns of str labels, None where no label fits."""

    def __getstate__(self) -> bytes:
        """The fitted tables as bytes, for `__setstate__`."""

    def __setstate__(self, state: bytes) -> None:
        """Replaces the tables by those that `state` holds (bytes from `__getstate__`)."""
