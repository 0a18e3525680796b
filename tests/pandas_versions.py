"""What pandas itself does differently between the releases the suite runs on.

pandas 3 keeps texts in its own string type: a missing value in a column of
texts reads back as NaN (pandas 2: None, as given), and ``astype(str)`` leaves
a missing value missing (pandas 2: the text "nan" or "None"). The system runs
the same steps under either; these names state what each pandas gives.
"""

from __future__ import annotations

import math

import pandas as pd

PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3


class _NaN:
    """Equal to any float NaN, so a list holding one compares equal."""

    def __eq__(self, other: object) -> bool:
        return isinstance(other, float) and math.isnan(other)

    def __hash__(self) -> int:
        return 0

    def __repr__(self) -> str:
        return "NaN"


NAN = _NaN()

# A missing value (None) given in a column of texts, read back.
MISSING_TEXT = NAN if PANDAS_3 else None


def as_text(missing_text: str) -> object:
    """What ``astype(str)`` makes of a missing value whose text is ``missing_text`` under pandas 2."""
    return NAN if PANDAS_3 else missing_text
