"""An independent model of how cells become labels and labels become codes."""

import math
from decimal import Decimal

MARKERS = {"nan", "NaN", "<NA>"}


def shortest(value):
    """Shortest round-trip digits in fixed notation, without a trailing '.0'."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    text = format(Decimal(repr(value)), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def as_number(cell):
    """The cell's float, or None when it is not numeric (no text is ever parsed)."""
    if isinstance(cell, (str, bytes)) or cell is None:
        return None
    try:
        return float(cell)
    except (TypeError, ValueError, OverflowError):
        return None


def column_labels(cells):
    """Labels of a column, or None when every cell is numeric."""
    numbers = []
    for i, cell in enumerate(cells):
        value = as_number(cell)
        if value is None:
            return [shortest(v) for v in numbers] + [str(c) for c in cells[i:]]
        numbers.append(value)
    return None


def codes_for(labels):
    """Label -> code in byte order, markers excluded."""
    distinct = sorted({l for l in labels if l not in MARKERS}, key=lambda s: s.encode("utf-8",
                                                                                       "surrogatepass"))
    return {label: float(code) for code, label in enumerate(distinct)}
