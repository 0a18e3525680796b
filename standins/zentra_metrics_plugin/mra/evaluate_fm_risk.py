"""Risk assessment of one foundation model.

``EvaluateFMRisk(...).evaluate_fm_risks()`` sends the built-in probe sets of
each requested risk dimension (``probes.RISKS``) through the model and returns
risk -> benchmark -> metric -> value. The model is either

* a scoring function: called once per benchmark with the list of prompt
  texts, it returns one generated text per prompt, in order; or
* a model served by the AI service, reached with the system credentials
  ("lumara_ai_endpoint_url", "lumara_ai_model_id", "lumara_ai_project_id" and
  "lumara_ai_cloud_apikey" or "lumara_ai_korp_username"/"lumara_ai_korp_apikey").
  This stand-in talks only to a service on the loopback interface.

``get_pdf_report(result, output_path, thresholds)`` writes the report.
"""

from __future__ import annotations

import ipaddress
import json
import urllib.error
import urllib.request
from collections.abc import Callable, Iterable, Sequence
from typing import Any
from urllib.parse import urlsplit

from zentra_metrics_plugin.mra.probes import RISKS, Benchmark

GENERATION_PATH = "/ml/v1/text/generation"
REQUEST_TIMEOUT = 10.0  # seconds, per benchmark request


class EvaluateFMRisk:
    """One assessment: which model, which risks, how many probes per benchmark."""

    def __init__(
        self,
        system_credentials: dict[str, Any] | None = None,
        foundation_model_name: str | None = None,
        risk_dimensions: Iterable[str] | None = None,
        scoring_function: Callable[[list[str]], Sequence[str]] | None = None,
        max_sample_size: int | None = None,
    ) -> None:
        self.system_credentials = dict(system_credentials or {})
        self.foundation_model_name = foundation_model_name
        self.risk_dimensions = None if risk_dimensions is None else list(risk_dimensions)
        self.scoring_function = scoring_function
        self.max_sample_size = max_sample_size

    # -- assessment ---------------------------------------------------------

    def evaluate_fm_risks(self) -> dict[str, dict[str, dict[str, float]]]:
        """Scores every benchmark of the requested risks (all when none are named)."""
        risks = self._chosen_risks()
        size = self._sample_size()
        if self.scoring_function is None and not self.system_credentials.get("lumara_ai_model_id"):
            raise ValueError(
                "Nothing to assess: give a scoring function or the AI-service model "
                "(system credentials 'lumara_ai_model_id' and 'lumara_ai_endpoint_url')."
            )
        result: dict[str, dict[str, dict[str, float]]] = {}
        for risk in risks:
            result[risk] = {}
            for benchmark in RISKS[risk]:
                probes = benchmark.probes[:size] if size else benchmark.probes
                outputs = self._generate([probe.prompt for probe in probes], benchmark)
                result[risk][benchmark.name] = benchmark.score(probes, outputs)
        return result

    def _chosen_risks(self) -> list[str]:
        if self.risk_dimensions is None:
            return list(RISKS)
        if not self.risk_dimensions:
            raise ValueError(f"No risk dimension given. Supported: {sorted(RISKS)}")
        unknown = [name for name in self.risk_dimensions if name not in RISKS]
        if unknown:
            raise ValueError(f"Unknown risk dimensions {unknown}. Supported: {sorted(RISKS)}")
        return list(dict.fromkeys(self.risk_dimensions))  # once each, in the given order

    def _sample_size(self) -> int | None:
        size = self.max_sample_size
        if size is None:
            return None
        if not isinstance(size, int) or isinstance(size, bool) or size < 1:
            raise ValueError(f"max_sample_size must be a positive integer, got {size!r}.")
        return size

    def _generate(self, prompts: list[str], benchmark: Benchmark) -> list[str]:
        if self.scoring_function is not None:
            outputs = self.scoring_function(list(prompts))
            where = "The scoring function"
        else:
            outputs = self._generate_served(prompts)
            where = "The AI service"
        if isinstance(outputs, (str, bytes)) or not isinstance(outputs, Iterable):
            raise TypeError(f"{where} must return a list of texts, got {type(outputs).__name__}.")
        outputs = list(outputs)
        if len(outputs) != len(prompts):
            raise ValueError(
                f"{where} returned {len(outputs)} texts for the {len(prompts)} prompts of "
                f"benchmark '{benchmark.name}'."
            )
        for index, text in enumerate(outputs):
            if not isinstance(text, str):
                raise TypeError(f"{where} returned a {type(text).__name__} for prompt {index} of "
                                f"benchmark '{benchmark.name}', not a text.")
        return outputs

    def _generate_served(self, prompts: list[str]) -> list[str]:
        creds = self.system_credentials
        endpoint = creds.get("lumara_ai_endpoint_url")
        if not endpoint:
            raise ValueError("The system credentials have no 'lumara_ai_endpoint_url'.")
        host = urlsplit(endpoint).hostname or ""
        if not _is_loopback(host):
            raise ConnectionError(
                f"This stand-in reaches the AI service only on the loopback interface, not at {endpoint!r}."
            )
        headers = {"Content-Type": "application/json"}
        if creds.get("lumara_ai_cloud_apikey"):
            headers["Authorization"] = f"Bearer {creds['lumara_ai_cloud_apikey']}"
        elif creds.get("lumara_ai_korp_apikey"):
            headers["Authorization"] = f"Bearer {creds['lumara_ai_korp_apikey']}"
            headers["X-Username"] = creds.get("lumara_ai_korp_username") or ""
        body = json.dumps({
            "model_id": creds["lumara_ai_model_id"],
            "project_id": creds.get("lumara_ai_project_id"),
            "inputs": prompts,
        }).encode("utf-8")
        request = urllib.request.Request(endpoint.rstrip("/") + GENERATION_PATH, data=body, headers=headers,
                                         method="POST")
        try:
            with urllib.request.urlopen(request, timeout=REQUEST_TIMEOUT) as response:
                answer = json.loads(response.read().decode("utf-8"))
        except urllib.error.HTTPError as error:
            detail = error.read().decode("utf-8", "replace")
            error.close()
            raise ConnectionError(f"The AI service answered {error.code}: {detail}") from error
        try:
            return [item["generated_text"] for item in answer["results"]]
        except (KeyError, TypeError) as error:
            raise ValueError(f"Unexpected answer of the AI service: {answer!r}") from error

    # -- report -------------------------------------------------------------

    def get_pdf_report(
        self,
        mr_result: dict[str, dict[str, dict[str, float]]],
        output_path: str,
        thresholds: Any = None,
    ) -> str:
        """Writes the PDF report of ``mr_result`` and returns its path.

        ``output_path`` ending in ".pdf" is the file; anything else is a folder
        that receives "<model>_risk_report.pdf". ``thresholds`` maps metric
        names to a threshold (``type`` "lower_limit" or "upper_limit" and a
        ``value``, as attributes or keys).
        """
        from zentra_metrics_plugin.mra.report import write_report  # plotting is loaded on demand

        judge = None
        if self.system_credentials.get("op_model_id"):
            judge = f"{self.system_credentials['op_model_id']} at {self.system_credentials.get('op_url')}"
        return write_report(mr_result, output_path, thresholds,
                            model_name=self.foundation_model_name or "foundation model", judge=judge)


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False
