"""Local stand-in of the AI SDK.

Only what the governance SDK uses: ``Credentials``, the client ``APIClient``
holding them, and ``FoundationModelsManager`` answering model specifications
from the list of models this environment offers
(``foundation_models_manager.AVAILABLE_MODELS``, replaceable by callers).
Nothing here touches the network.
"""

from __future__ import annotations

from zentra_lumara_ai.client import APIClient
from zentra_lumara_ai.credentials import Credentials

__all__ = ["APIClient", "Credentials"]
