"""Specifications of the foundation models the environment offers."""

from __future__ import annotations

import copy
from typing import Any

from zentra_lumara_ai.client import APIClient

# The models of this environment, read at every call (callers may replace or
# extend the list). Each model entry names at least its "model_id".
AVAILABLE_MODELS: list[dict[str, Any]] = [
    {"model_id": "zentra/lumen-8b-instruct", "label": "lumen-8b-instruct",
     "provider": "Zentra", "functions": [{"id": "text_generation"}]},
    {"model_id": "zentra/lumen-guard-3b", "label": "lumen-guard-3b",
     "provider": "Zentra", "functions": [{"id": "text_generation"}]},
    {"model_id": "community/brisk-7b-chat", "label": "brisk-7b-chat",
     "provider": "Community", "functions": [{"id": "text_generation"}]},
]


class FoundationModelsManager:
    """Looks model specifications up for one client."""

    def __init__(self, client: APIClient) -> None:
        if not isinstance(client, APIClient):
            raise TypeError(f"client must be an APIClient, got {type(client).__name__}.")
        self._client = client

    def get_model_specs(
        self, model_id: str | None = None, limit: int | None = None, get_all: bool = False
    ) -> dict[str, Any] | None:
        """One model's entry, or a page of them.

        With ``model_id``: that model's entry, or None when the
        environment does not offer it. Otherwise ``{"total_count": n,
        "resources": [...]}`` with every model (``get_all``) or the first
        ``limit`` (default 100). Copies are returned: callers cannot change the
        environment's list.
        """
        models = AVAILABLE_MODELS
        if model_id is not None:
            for spec in models:
                if spec.get("model_id") == model_id:
                    return copy.deepcopy(spec)
            return None
        if limit is not None and (not isinstance(limit, int) or isinstance(limit, bool) or limit < 1):
            raise ValueError(f"limit must be a positive integer, got {limit!r}.")
        chosen = models if get_all else models[: limit or 100]
        return {"total_count": len(models), "resources": copy.deepcopy(list(chosen))}
