"""Codes on a real data set, checked against sorted distinct labels computed here."""

import numpy as np
import pandas as pd
import pytest

palmerpenguins = pytest.importorskip("palmerpenguins")

from quorlin import Encoder  # noqa: E402


@pytest.mark.parametrize("as_object", [False, True])
def test_penguins_codes_match_sorted_labels(as_object):
    penguins = palmerpenguins.load_penguins()
    if as_object:
        penguins = penguins.astype(object)
    enc = Encoder()
    codes = enc.encode(penguins)
    for column in ("species", "island", "sex"):
        values = [v for v in penguins[column] if not (isinstance(v, float) and np.isnan(v))
                  and v is not None and v is not pd.NA]
        order = sorted({str(v) for v in values}, key=lambda s: s.encode())
        want = [order.index(str(v)) if v in values else np.nan for v in penguins[column]]
        np.testing.assert_array_equal(codes[column].to_numpy(), np.array(want, dtype=float))
    for column in ("bill_length_mm", "body_mass_g", "year"):
        np.testing.assert_array_equal(codes[column].to_numpy(),
                                      penguins[column].to_numpy(dtype=float))
    decoded = enc.decode(codes)
    assert decoded["species"].tolist() == [str(v) for v in penguins["species"]]
    assert decoded["sex"].isna().sum() == penguins["sex"].isna().sum()
