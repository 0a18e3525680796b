"""Configuration of a metric evaluation: which columns of the record table hold what."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, ConfigDict, Field, field_validator

from zentra_lumara_gov.entities.llm_judge import LLMJudge


class GenAIConfiguration(BaseModel):
    """Column names of the record table and the default judge model.

    The list fields accept one column name as a text too; ``None`` or an empty
    list means the table has no such column.
    """

    model_config = ConfigDict(extra="forbid", arbitrary_types_allowed=True, validate_assignment=True)

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
