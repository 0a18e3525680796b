"""The platform's client modules the SDK imports, and a clear error when one is missing.

Several modules of the SDK (compiled ones among them) import the platform's
own packages when they load. Without this check a missing package surfaces as
"Encountered an error while initializing the extension" with the cause three
frames down; with it, the import fails with a ``ModuleNotFoundError`` naming
the missing module and the command that installs the local stand-ins.

The subpackages holding those modules install the check (a finder placed first
on ``sys.meta_path`` that only looks, never loads) when they are imported.
"""

from __future__ import annotations

import importlib.util
import sys

# What each platform module is, as the error message names it.
PLATFORM_MODULES = {
    "zentra_vigil_clearview": "the monitoring-service client",
    "tallyx": "the evaluation library",
    "verdix": "the criteria-judge library",
    "zentra_lumara_ai": "the AI SDK",
    "zentra_metrics_plugin": "the model-risk plugin",
}

# SDK module -> the platform modules it imports when it loads.
_ENGINES = "zentra_lumara_gov.providers.inference_engines."
REQUIRED_PLATFORM_MODULES = {
    "zentra_lumara_gov.clients.api_client": ("zentra_vigil_clearview",),
    "zentra_lumara_gov.evaluators.impl.metric_run_impl": ("zentra_vigil_clearview",),
    "zentra_lumara_gov.evaluators.impl.model_risk_run_impl": (
        "zentra_vigil_clearview", "zentra_lumara_ai", "zentra_metrics_plugin",
    ),
    "zentra_lumara_gov.providers.screener_provider": ("zentra_vigil_clearview",),
    "zentra_lumara_gov.providers.tallyx_provider": ("tallyx",),
    "zentra_lumara_gov.providers.verdix_provider": ("tallyx", "verdix"),
    _ENGINES + "custom_inference_engine": ("tallyx",),
    _ENGINES + "google_studio_inference_engine": ("tallyx",),
    _ENGINES + "lmo_ai_gateway_inference_engine": ("tallyx",),
    _ENGINES + "portkey_inference_engine": ("tallyx",),
}

STANDINS_INSTALL_COMMAND = "python -m pip install ./standins"


def missing_platform_module(module: str, needed_by: str) -> ModuleNotFoundError:
    """The error raised when ``needed_by`` cannot load because ``module`` is not installed."""
    return ModuleNotFoundError(
        f"No module named {module!r}: {needed_by} needs {PLATFORM_MODULES[module]} of the platform "
        f"({module}). Install the platform's packages, or for local work the stand-ins of this "
        f"repository: {STANDINS_INSTALL_COMMAND} (run in the zentra_lumara_gov source tree).",
        name=module,
    )


class PlatformModuleCheck:
    """A meta-path finder that checks the platform modules of an SDK module before it loads.

    It never finds anything itself (``find_spec`` returns None, so the usual
    finders load the module); it only raises when a platform module the SDK
    module needs cannot be found.
    """

    @staticmethod
    def find_spec(fullname: str, path: object = None, target: object = None) -> None:
        """Raise when ``fullname`` needs a platform module that is not installed; find nothing."""
        for module in REQUIRED_PLATFORM_MODULES.get(fullname, ()):
            try:
                found = importlib.util.find_spec(module)
            except ValueError:  # in sys.modules without a module spec: it is there
                found = True
            if found is None:
                raise missing_platform_module(module, fullname)
        return None


def install_check() -> None:
    """Put the check first on ``sys.meta_path``, once."""
    if not any(isinstance(finder, PlatformModuleCheck) for finder in sys.meta_path):
        sys.meta_path.insert(0, PlatformModuleCheck())
