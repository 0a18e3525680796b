"""An engine for models of Google AI Studio."""

from __future__ import annotations

from tallyx.inference import CrossProviderInferenceEngine


class GoogleStudioInferenceEngine(CrossProviderInferenceEngine):
    """A cross-provider engine whose provider defaults to "google-ai-studio".

    Takes the keywords of ``CrossProviderInferenceEngine`` (``model``,
    ``credentials``, ``provider_specific_args``, ``seed``,
    ``data_classification_policy``, ``use_cache``, request parameters); the
    address is the credential "url" as for every engine.
    """

    label = "google_ai_studio"

    def __init__(self, model: str | None = None, provider: str | None = None, **kwargs):
        super().__init__(model=model, provider=provider or "google-ai-studio", **kwargs)
