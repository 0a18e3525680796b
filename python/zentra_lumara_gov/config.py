"""Configuration of a metric evaluation: which columns of the record table hold what."""

from __future__ import annotations

from typing import Any

from pydantic import ConfigDict, Field, field_validator

from zentra_lumara_gov.entities.base_classes import StrictModel
from zentra_lumara_gov.entities.llm_judge import LLMJudge


class GenAIConfiguration(StrictModel):
    """Column names of the record table and the default judge model.

    The list fields accept one column name as a text too; ``None`` or an empty
    list means the table has no such column.

    Fields and their defaults:

    ========================  ======================  ===========================================
    field                     default                 the column holds
    ========================  ======================  ===========================================
    record_id_field           "record_id"             the record's id (filled when absent or empty)
    record_timestamp_field    "record_timestamp"      the record's time (filled when absent or empty)
    input_fields              ["question"]            the question or prompt
    context_fields            ["contexts"]            the retrieved contexts
    output_fields             ["answer"]              the generated answer
    reference_fields          ["ground_truth"]        the expected answer
    tool_calls_field          None                    the tool calls of an agent's answer
    tools                     None                    (not a column) the catalogue of callable tools
    llm_judge                 None                    (not a column) the judge model of judge metrics
    ========================  ======================  ===========================================

    >>> GenAIConfiguration().output_fields
    ['answer']
    >>> GenAIConfiguration(input_fields="prompt").input_fields
    ['prompt']
    """

    model_config = ConfigDict(arbitrary_types_allowed=True, validate_assignment=True)

    record_id_field: str = Field(default="record_id", min_length=1)
    record_timestamp_field: str = Field(default="record_timestamp", min_length=1)
    input_fields: list[str] | None = Field(default_factory=lambda: ["question"])
    context_fields: list[str] | None = Field(default_factory=lambda: ["contexts"])
    output_fields: list[str] | None = Field(default_factory=lambda: ["answer"])
    reference_fields: list[str] | None = Field(default_factory=lambda: ["ground_truth"])
    tool_calls_field: str | None = None
    # The tool catalogue: tool functions, their schemas as mappings, or any other value.
    tools: Any = None
    llm_judge: LLMJudge | None = None

    @field_validator("input_fields", "context_fields", "output_fields", "reference_fields", mode="before")
    @classmethod
    def _one_name_is_a_list(cls, value: Any) -> Any:
        if isinstance(value, str):
            return [value]
        return value


class AgenticAIConfiguration(GenAIConfiguration):
    """Configuration for records of agent interactions, whose tool calls are evaluated too.

    The tool calls of each record are in ``tool_calls_field``; ``tools`` is the
    catalogue of the tools the agent could call.
    """

    tool_calls_field: str | None = "tool_calls"
