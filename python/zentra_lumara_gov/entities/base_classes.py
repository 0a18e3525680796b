"""Small records shared by the other entities, and the strict base of every SDK model."""

from __future__ import annotations

import difflib
from typing import Any

from pydantic import BaseModel, ConfigDict, model_validator


class StrictModel(BaseModel):
    """Base of the SDK's models: an unknown keyword is refused by name, inputs never echoed.

    A misspelt keyword (``threshhold=``) would otherwise leave the field at its
    default without a word, and the run would check something else than the
    caller meant. Validation errors leave the given values out of their text:
    several models hold API keys, directly or through a nested model.
    """

    model_config = ConfigDict(extra="forbid", hide_input_in_errors=True)

    @model_validator(mode="before")
    @classmethod
    def _refuse_unknown_fields(cls, data: Any) -> Any:
        if isinstance(data, dict):
            accepted = _accepted_names(cls)
            # Every record result passes here: the common case is one set operation.
            if accepted.issuperset(data):
                return data
            unknown = [key for key in data if isinstance(key, str) and key not in accepted]
            if unknown:
                raise ValueError(unknown_field_message(cls.__name__, unknown[0], accepted))
        return data


def _accepted_names(model: type[BaseModel]) -> frozenset[str]:
    # Kept on the class itself (a class's fields are fixed once it is built),
    # read from its own namespace so a subclass never sees its base's names.
    cached = vars(model).get("__zlg_field_names__")
    if cached is None:
        cached = _collect_names(model)
        type.__setattr__(model, "__zlg_field_names__", cached)
    return cached


def _collect_names(model: type[BaseModel]) -> frozenset[str]:
    names = set()
    for name, field in model.model_fields.items():
        names.add(name)
        for alias in (field.alias, field.validation_alias):
            if isinstance(alias, str):
                names.add(alias)
    return frozenset(names)


def unknown_field_message(owner: str, given: str, known: frozenset[str] | set[str] | list[str]) -> str:
    """'<owner> has no field 'x'; did you mean 'y'?' (or the list of its fields when nothing is close)."""
    close = difflib.get_close_matches(given, sorted(known), n=1, cutoff=0.6)
    if close:
        return f"{owner} has no field {given!r}; did you mean {close[0]!r}?"
    return f"{owner} has no field {given!r}; its fields are: {', '.join(sorted(known))}."


class BaseEntity(StrictModel):
    """Base of the SDK's records: no unknown keywords, values kept as given.

    Non-finite numbers (an infinite score, NaN) are written to JSON as the
    strings "Infinity", "-Infinity" and "NaN", and read back as numbers.
    """

    # Fields such as ``model_id`` are the SDK's own names, not pydantic's.
    model_config = ConfigDict(arbitrary_types_allowed=True, protected_namespaces=(), ser_json_inf_nan="strings")


class Error(BaseEntity):
    """One error reported for a record or a metric: a code and an English message."""

    code: str
    message_en: str
