"""Plain-Python rendering of ScreenerProvider, the benchmark's point of comparison.

The same steps as the extension module, written the obvious way in Python.
"""

from __future__ import annotations

import asyncio
import json

import aiohttp
from zentra_vigil_clearview import CLVClient

from zentra_lumara_gov.entities.base_classes import Error
from zentra_lumara_gov.entities.enums import BasaltGuardianRisks, EvaluationProvider
from zentra_lumara_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from zentra_lumara_gov.providers.tool_call_metric_provider import ToolCallMetricProvider
from zentra_lumara_gov.utils.async_util import run_in_event_loop
from zentra_lumara_gov.utils.python_utils import get_authenticator_token, transform_str_to_list

ACCURACY_METRICS = ["topic_relevance", "tool_call_accuracy"]
RAG_EVIDENCE_METRICS = ["faithfulness", "context_relevance"]
RAG_SMALL_MODELS = ["faithfulness_model", "context_relevance_model"]
EVIDENCES = ["hap", "pii", "keyword", "regex"]


class PyScreenerProvider:
    RETRY_AFTER_STATUS_CODES = [502, 503, 504]
    RETRY_COUNT = 3
    BACK_OFF_FACTOR = 1

    def __init__(self, configuration, metric_name, metric_display_name, metric_method=None, metric_group=None,
                 thresholds=[], **kwargs):
        api_client = kwargs.get("api_client")
        if not api_client:
            raise ValueError(f"Zentra Lumara Governance SDK must be initialized to compute {metric_name} using "
                             f"{metric_method}. Please initialize the client to proceed, or remove this metric "
                             "from the evaluation.")
        if not isinstance(api_client.clv_client, CLVClient):
            raise ValueError(f"lumara.governance service instance id is required to compute {metric_name} using "
                             f"{metric_method}. You can set the service instance ID using the "
                             "`LMG_SERVICE_INSTANCE_ID` environment variable in the notebook and retry.")
        self.base_url = self.__get_base_url(metric_name).format(self.get_detector_url(api_client))
        self.configuration = configuration
        self.configuration_ = {}
        self.metric_name = metric_name
        self.metric_display_name = metric_display_name
        self.metric_method = metric_method
        self.metric_group = metric_group
        self.service_instance_id = self.get_service_instance_id(api_client)
        self.thresholds = thresholds
        self.detector_params = kwargs.get("detector_params")

    def evaluate(self, data):
        return run_in_event_loop(self.evaluate_async, data=data)

    async def evaluate_async(self, data):
        try:
            api_payloads, record_ids = self.__pre_process_data(data=data)
            results = await self.__compute_metric(api_payloads)
            return self.__post_process(results, record_ids)
        except Exception as e:
            raise Exception(f"Error while computing metrics: {self.metric_name}. Reason: {e}")

    async def __compute_metric(self, api_payloads):
        async with aiohttp.ClientSession() as session:
            tasks = [self.send_with_retries(payload, session) for payload in api_payloads]
            return await asyncio.gather(*tasks, return_exceptions=True)

    async def send_with_retries(self, payload, session):
        for attempt in range(self.RETRY_COUNT):
            try:
                async with session.post(url=self.base_url, headers=self.__get_headers(), data=payload,
                                        ssl=self.verify) as response:
                    status = response.status
                    text = await response.text()
                    if status == 200:
                        return json.loads(text)
                    if status in self.RETRY_AFTER_STATUS_CODES and attempt < self.RETRY_COUNT - 1:
                        await asyncio.sleep(self.BACK_OFF_FACTOR * (2 ** attempt))
                        continue
                    return {"error": Error(code=str(status), message_en=str(json.loads(text)))}
            except Exception as e:
                return {"error": Error(code="REQUEST_FAILED", message_en=str(e))}

    def get_detector_url(self, api_client):
        self.clv_client = api_client.clv_client
        self.verify = not api_client.credentials.disable_ssl
        if api_client.credentials.version:
            return api_client.credentials.url
        from zentra_lumara_gov.utils.endpoint_table import CLV_ENDPOINT_TABLE

        return CLV_ENDPOINT_TABLE.get(api_client.credentials.url).vml_url

    def get_service_instance_id(self, api_client):
        self.clv_client = api_client.clv_client
        return self.clv_client.service_instance_id

    def set_metric_name(self, metric_name):
        if self.metric_name == "prompt_safety_risk" and self.metric_method == "basalt_guardian":
            metric_name = "harm"
        if metric_name in [risk.value for risk in BasaltGuardianRisks]:
            return "basalt_guardian"
        return metric_name

    def __get_base_url(self, metric_name):
        if metric_name == "answer_relevance":
            return "{}/ml/v1/text/detection/generated?version=2023-10-25"
        if metric_name in ("context_relevance", "faithfulness"):
            return "{}/ml/v1/text/detection/context?version=2023-10-25"
        if metric_name == "tool_call_accuracy":
            return "{}/ml/v1/text/detection/chat?version=2023-10-25"
        return "{}/ml/v1/text/detection?version=2023-10-25"

    def __get_headers(self):
        return {
            "Content-Type": "application/json",
            "Authorization": f"Bearer {get_authenticator_token(self.clv_client.authenticator)}",
            "x-governance-instance-id": self.service_instance_id,
            "origin": "sdk",
        }

    def __pre_process_data(self, data):
        input_contents = data[self.configuration.input_fields[0]].to_list()
        output_contents = context_contents = tools_catalog_content = tool_calls_content = None
        if self.metric_name in ("answer_relevance", "faithfulness"):
            output_contents = data[self.configuration.output_fields[0]].to_list()
        if self.metric_name in ("context_relevance", "faithfulness"):
            context_fields = self.configuration.context_fields
            if len(context_fields) > 1:
                context_contents = data[context_fields].values.tolist()
            elif len(context_fields) == 1:
                context_contents = [transform_str_to_list(value) for value in data[context_fields[0]].to_list()]
        if self.metric_name == "tool_call_accuracy":
            tools_catalog_content = self.get_tools_catalog_content()
            tool_calls_content = self.get_tool_calls_content(data)
        api_payloads = self.__get_json_payloads(input_contents, output_contents, context_contents,
                                                tools_catalog_content, tool_calls_content)
        return api_payloads, data[self.configuration.record_id_field].to_list()

    def __get_json_payloads(self, input_contents, output_contents, context_contents, tools_catalog_content,
                            tool_calls_content):
        name = self.set_metric_name(self.metric_name)
        params = self.detector_params if isinstance(self.detector_params, dict) and self.detector_params else {}
        detectors = {name: params}
        if self.metric_name == "answer_relevance":
            bodies = ({"detectors": detectors, "prompt": i, "generated_text": o}
                      for i, o in zip(input_contents, output_contents))
        elif self.metric_name == "context_relevance":
            bodies = ({"detectors": detectors, "input": i, "context_type": "docs", "context": c}
                      for i, c in zip(input_contents, context_contents))
        elif self.metric_name == "faithfulness":
            bodies = ({"detectors": detectors, "input": o, "context_type": "docs", "context": c}
                      for o, c in zip(output_contents, context_contents))
        elif self.metric_name == "tool_call_accuracy":
            bodies = ({"detectors": detectors,
                       "messages": [{"content": i, "role": "user"}, {"tool_calls": t, "role": "assistant"}],
                       "tools": tools_catalog_content}
                      for i, t in zip(input_contents, tool_calls_content))
        else:
            bodies = ({"detectors": detectors, "input": i} for i in input_contents)
        return [json.dumps(body) for body in bodies]

    def get_tool_calls_content(self, data):
        field = self.configuration.tool_calls_field
        if not field:
            return []
        cells = [json.loads(value) if isinstance(value, str) else value for value in data[field].to_list()]
        content = []
        for cell in cells:
            calls = []
            for call in ToolCallMetricProvider.extract_tool_calls_from_response(cell):
                arguments = call["function"]["arguments"]
                if isinstance(arguments, str):
                    call = {**call, "function": {**call["function"], "arguments": json.loads(arguments)}}
                calls.append(call)
            content.append(calls)
        return content

    def get_tools_catalog_content(self):
        tools = self.configuration.tools
        if isinstance(tools, dict) or callable(tools):  # a lone tool is a catalogue of one
            tools = [tools]
        elif isinstance(tools, tuple):
            tools = list(tools)
        if isinstance(tools, list) and all(callable(tool) for tool in tools):
            return [schema.model_dump() for schema in ToolCallMetricProvider.get_tools_list_schema(tools)]
        return tools

    def __post_process(self, results, record_ids):
        record_name = {"keyword": "keyword_detection", "regex": "regex_detection"}.get(self.metric_name,
                                                                                     self.metric_name)
        provider = EvaluationProvider.DETECTORS.value
        record_results, values, errors = [], [], []
        for result, record_id in zip(results, record_ids):
            shared = {"name": record_name, "display_name": self.metric_display_name, "method": self.metric_method,
                      "provider": provider, "group": self.metric_group, "record_id": record_id,
                      "thresholds": self.thresholds}
            if "error" in result:
                error = result["error"]
                record_results.append(RecordMetricResult(**shared, value=None, errors=[
                    Error(code=error.code, message_en=str(error.message_en))]))
                errors.append(Error(code=error.code, message_en=str(error.message_en)))
                continue
            detections = result["detections"]
            if detections:
                value = max(detection["score"] for detection in detections)
                value = round(1 - value if self.metric_name in ACCURACY_METRICS else value, 4)
            else:
                value = 1 if self.metric_name in ACCURACY_METRICS else 0
            extra = {}
            if self.metric_name in EVIDENCES or (self.metric_name in RAG_EVIDENCE_METRICS
                                                 and self.metric_method in RAG_SMALL_MODELS):
                evidences = self.__get_additional_info(result["detections"])
                if evidences:
                    extra["evidences"] = evidences
            record_results.append(RecordMetricResult(**shared, value=value, **extra))
            values.append(value)
        if values:
            mean = round(sum(values) / len(values), 4)
            minimum, maximum, value, extra = min(values), max(values), mean, {}
        else:
            mean = minimum = maximum = None
            value, extra = "Error", {"errors": errors}
        return AggregateMetricResult(name=self.metric_name, display_name=self.metric_display_name,
                                     method=self.metric_method, group=self.metric_group, provider=provider,
                                     value=value, total_records=len(results), record_level_metrics=record_results,
                                     min=minimum, max=maximum, mean=mean, thresholds=self.thresholds, **extra)

    def __get_additional_info(self, results):
        if self.metric_name in RAG_EVIDENCE_METRICS:
            return [detection["evidence"][0] for detection in results]
        return [{"text": d["text"], "score": d["score"], "start": d["start"], "end": d["end"]} for d in results]
