"""Tool calls and tool catalogues in the one shape the tool-call metrics read.

A tool call is ``{"id": ..., "type": "function", "function": {"name": ...,
"arguments": ...}}``; a tool catalogue entry is the schema of one tool
function, ``{"type": "function", "function": {"name", "description",
"parameters"}}`` with JSON-schema parameters.
"""

from __future__ import annotations

import enum
import inspect
import json
import math
import types
import typing
from collections.abc import Callable, Mapping
from typing import Any, Literal

from pydantic import BaseModel, ConfigDict, Field, TypeAdapter


class FunctionSchema(BaseModel):
    """Name, description and JSON-schema parameters of one tool function."""

    model_config = ConfigDict(extra="forbid")

    name: str
    description: str = ""
    parameters: dict[str, Any] = Field(default_factory=lambda: {"type": "object", "properties": {}, "required": []})


class ToolSchema(BaseModel):
    """One entry of a tool catalogue."""

    model_config = ConfigDict(extra="forbid")

    type: Literal["function"] = "function"
    function: FunctionSchema


_SIMPLE_TYPES = {str: "string", int: "integer", float: "number", bool: "boolean", list: "array", dict: "object",
                 tuple: "array", set: "array", type(None): "null"}


class ToolCallMetricProvider:
    """Helpers of the tool-call metrics: reading tool calls and describing tool functions."""

    @classmethod
    def extract_tool_calls_from_response(cls, tool_calls_response: Any) -> list:
        """The list of tool calls a record holds.

        Accepts a list of tool calls, a mapping or message object holding them
        under ``tool_calls``, one tool call, a JSON text of any of these, or an
        empty cell (None, NaN, an empty text), which holds no call. A call is
        either already in the ``{"type": "function", "function": {...}}``
        shape (kept as it is, the same object) or a ``{"name", "args" or
        "arguments", "id"}`` mapping, rewritten into that shape. A new list is
        returned; anything else raises a TypeError.
        """
        response = tool_calls_response
        if response is None or (isinstance(response, float) and math.isnan(response)):
            return []
        if isinstance(response, str):
            if not response.strip():
                return []
            response = json.loads(response)
        if isinstance(response, Mapping) and "tool_calls" in response:
            response = response["tool_calls"]
        elif not isinstance(response, (Mapping, list, tuple)) and hasattr(response, "tool_calls"):
            response = response.tool_calls
        if response is None:
            return []
        if isinstance(response, Mapping):
            response = [response]
        if not isinstance(response, (list, tuple)):
            raise TypeError(f"Tool calls must be a list of tool calls, not {type(response).__name__}.")
        return [cls._normalise_tool_call(call, index) for index, call in enumerate(response)]

    @staticmethod
    def _normalise_tool_call(call: Any, index: int) -> Any:
        if not isinstance(call, Mapping):
            raise TypeError(f"Tool call {index} must be a mapping, not {type(call).__name__}.")
        if isinstance(call.get("function"), Mapping):
            return call
        if "name" not in call:
            raise TypeError(f"Tool call {index} names no function: it needs a 'function' or a 'name' entry.")
        arguments = call["args"] if "args" in call else call.get("arguments", {})
        return {"id": call.get("id"), "type": "function", "function": {"name": call["name"], "arguments": arguments}}

    @classmethod
    def get_tools_list_schema(cls, tools: list) -> list[ToolSchema]:
        """The schema of every tool function of ``tools``, in order.

        A function's name is its ``__name__`` (or a ``name`` attribute), its
        description the first paragraph of its docstring, and its parameters
        come from its signature: annotations give the JSON types, parameters
        without a default are required. ``self``, ``*args`` and ``**kwargs``
        are not parameters of the tool.
        """
        return [cls._tool_schema(tool) for tool in tools]

    @classmethod
    def _tool_schema(cls, tool: Callable) -> ToolSchema:
        if not callable(tool):
            raise TypeError(f"A tool must be callable, not {type(tool).__name__}.")
        name = getattr(tool, "name", None) or getattr(tool, "__name__", None) or type(tool).__name__
        doc = inspect.getdoc(tool) or ""
        description = doc.split("\n\n", 1)[0].replace("\n", " ").strip()
        try:
            hints = typing.get_type_hints(tool)
        except Exception:  # unresolvable annotations: fall back to the raw ones
            hints = {}
        properties: dict[str, Any] = {}
        required: list[str] = []
        for parameter in inspect.signature(tool).parameters.values():
            if parameter.kind in (parameter.VAR_POSITIONAL, parameter.VAR_KEYWORD) or parameter.name in ("self", "cls"):
                continue
            annotation = hints.get(parameter.name, parameter.annotation)
            properties[parameter.name] = cls._json_type(annotation)
            if parameter.default is parameter.empty:
                required.append(parameter.name)
        parameters = {"type": "object", "properties": properties, "required": required}
        return ToolSchema(function=FunctionSchema(name=name, description=description, parameters=parameters))

    @classmethod
    def _json_type(cls, annotation: Any) -> dict[str, Any]:
        if annotation is inspect.Parameter.empty or annotation is Any:
            return {}
        if annotation in _SIMPLE_TYPES:
            return {"type": _SIMPLE_TYPES[annotation]}
        origin = typing.get_origin(annotation)
        arguments = typing.get_args(annotation)
        if origin in (typing.Union, types.UnionType):
            options = [cls._json_type(argument) for argument in arguments if argument is not type(None)]
            if len(options) == 1:
                return options[0]
            return {"anyOf": options}
        if origin is Literal:
            return {"enum": list(arguments)}
        if origin in (list, tuple, set, frozenset):
            schema: dict[str, Any] = {"type": "array"}
            if arguments and arguments[-1] is not Ellipsis:
                schema["items"] = cls._json_type(arguments[0])
            return schema
        if origin in (dict, Mapping):
            return {"type": "object"}
        if isinstance(annotation, type) and issubclass(annotation, enum.Enum):
            return {"enum": [member.value for member in annotation]}
        try:
            return TypeAdapter(annotation).json_schema()
        except Exception:  # a type without a JSON form is described as "anything"
            return {}
