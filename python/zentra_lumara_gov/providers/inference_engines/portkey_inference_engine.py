"""An engine for models reached through the PortKey gateway."""

from __future__ import annotations

from tallyx.inference import ChatCompletionsEngine


class PortKeyInferenceEngine(ChatCompletionsEngine):
    """Chat completions through the gateway at the credential "url".

    Credentials: "url", "api_key" (sent as the gateway key header
    ``x-portkey-api-key`` and as a bearer token), optionally
    "virtual_key" (sent as ``x-portkey-virtual-key``) and "provider"
    (``x-portkey-provider``). ``seed`` and every further keyword are request
    parameters.
    """

    label = "portkey"

    def __init__(
        self,
        credentials: dict | None = None,
        model: str | None = None,
        use_cache: bool = True,
        seed: int | None = None,
        data_classification_policy: list[str] | None = None,
        **parameters,
    ):
        self.model = model
        if seed is not None:
            parameters["seed"] = seed
        super().__init__(
            model_name=model,
            credentials=credentials,
            use_cache=use_cache,
            data_classification_policy=data_classification_policy,
            parameters=parameters,
        )

    def headers(self) -> dict[str, str]:
        """The chat-completions headers plus the gateway's own, for the credentials that carry them."""
        headers = super().headers()
        for key, header in (("api_key", "x-portkey-api-key"), ("virtual_key", "x-portkey-virtual-key"), ("provider", "x-portkey-provider")):
            if self.credentials.get(key):
                headers[header] = str(self.credentials[key])
        return headers
