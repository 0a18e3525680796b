"""An engine for the LMO AI gateway, which picks the model itself."""

from __future__ import annotations

from tallyx.inference import ChatCompletionsEngine


class LmoAIGatewayInferenceEngine(ChatCompletionsEngine):
    """Chat completions through the gateway at the credential "url"; no model
    is named in the request (the gateway routes it). An "api_key" is sent as
    a bearer token; every further keyword is a request parameter."""

    label = "lmo_gateway"

    def __init__(self, credentials: dict | None = None, use_cache: bool = True, **parameters):
        super().__init__(model_name=None, credentials=credentials, use_cache=use_cache, parameters=parameters)
