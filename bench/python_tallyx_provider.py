"""A plain-Python rendering of TallyxProvider's similarity-metric path, step
for step as the provider is specified (pandas calls and ``iterrows``
included), for the benchmark to run side by side with the compiled module.
Judge metrics are left out: the benchmark scores with a catalog metric."""

from __future__ import annotations

import threading

import pandas as pd
from tallyx.operator import SequentialOperator
from tallyx.stream import MultiStream

from zentra_lumara_gov.entities.enums import EvaluationProvider
from zentra_lumara_gov.entities.evaluation_result import AggregateMetricResult, RecordMetricResult
from zentra_lumara_gov.providers.tallyx_provider import TallyxColumnMapping
from zentra_lumara_gov.utils.python_utils import transform_str_to_list


def patch_bertscore_overflow():
    try:
        import bert_score.scorer
        import bert_score.utils

        if hasattr(bert_score.utils, "_is_patched_for_overflow"):
            return
        original_get_tokenizer = bert_score.utils.get_tokenizer

        def patched_get_tokenizer(model_type, use_fast=False):
            tokenizer = original_get_tokenizer(model_type, use_fast)
            if hasattr(tokenizer, "model_max_length") and tokenizer.model_max_length > 100000:
                tokenizer.model_max_length = 512
            return tokenizer

        bert_score.utils.get_tokenizer = patched_get_tokenizer
        if hasattr(bert_score.scorer, "get_tokenizer"):
            bert_score.scorer.get_tokenizer = patched_get_tokenizer
        bert_score.utils._is_patched_for_overflow = True
    except ImportError:
        pass


class PythonTallyxProvider:
    CLIP_METRIC_METHODS = {
        "context_relevance": {"sentence_bert_bge", "sentence_bert_mini_lm"},
        "faithfulness": {"sentence_bert_mini_lm"},
        "answer_correctness": {"sentence_bert_mini_lm"},
    }
    METRIC_METHODS_WITH_LOCKS = {"bert_score_recall", "sentence_bert_mini_lm", "sentence_bert_bge"}
    _lock = threading.Lock()

    def __init__(self, configuration, metric_name, metric_display_name, metric_method, metric_prefix,
                 metric_alias=None, metric_group=None, column_mapping=None, llm_judge=None, thresholds=[], **kwargs):
        self.configuration = configuration
        self.configuration_ = {}
        self.metric_name = metric_name
        self.metric_display_name = metric_display_name
        self.metric_method = metric_method
        self.metric_group = metric_group
        self.column_mapping = column_mapping or TallyxColumnMapping()
        self.llm_judge = llm_judge or configuration.llm_judge
        self.metric_alias = metric_alias
        self.metric_prefix = metric_prefix
        self.thresholds = thresholds

    def evaluate(self, data):
        try:
            patch_bertscore_overflow()
            data = self.pre_process_data(data=data)
            result = self.compute_metric(data=data)
            return self.post_process(result=result)
        except Exception as e:
            raise Exception(
                f"Error while computing metrics: {self.metric_name} with the method {self.metric_method} "
                f"using tallyx library. Reason: {e}"
            )

    def pre_process_data(self, data):
        df = pd.DataFrame()
        columns = data.columns.to_list()
        data = data.astype(str)
        configuration = self.configuration
        if configuration.input_fields[0] in columns:
            df[self.column_mapping.question] = data[configuration.input_fields[0]]
        if all(field in columns for field in configuration.output_fields):
            df[self.column_mapping.answer] = data[configuration.output_fields[0]]
        if all(field in columns for field in configuration.context_fields):
            if len(configuration.context_fields) > 1:
                df[self.column_mapping.contexts] = data[configuration.context_fields].values.tolist()
            elif len(configuration.context_fields) == 1:
                df[self.column_mapping.contexts] = data[configuration.context_fields[0]].apply(transform_str_to_list)
        if all(field in columns for field in configuration.reference_fields):
            if len(configuration.reference_fields) > 1:
                df[self.column_mapping.ground_truths] = data[configuration.reference_fields].values.tolist()
            elif len(configuration.reference_fields) == 1:
                df[self.column_mapping.ground_truths] = data[configuration.reference_fields[0]].apply(transform_str_to_list)
        df["record_id"] = data[configuration.record_id_field]
        return df

    def compute_metric(self, data):
        records = data.to_dict(orient="records")
        for record in records:
            record["metadata"] = {"data_classification_policy": ["public"]}
        metric = self.generate_metric(metric_name=self.metric_alias or self.metric_name, metric_prefix=self.metric_prefix)

        def run():
            multi_stream = MultiStream.from_iterables({"test": records}, copying=True)
            metrics_operator = SequentialOperator(steps=[metric])
            return list(metrics_operator(multi_stream)["test"])

        if self.metric_method in self.METRIC_METHODS_WITH_LOCKS or self.llm_judge is not None:
            with self._lock:
                instances = run()
        else:
            instances = run()
        scores = [instance["score"]["instance"]["score"] for instance in instances]
        result = pd.DataFrame()
        result[self.metric_name] = scores
        result["record_id"] = data["record_id"]
        return result

    def generate_metric(self, metric_name, metric_prefix):
        return f"{metric_prefix}.{metric_name}.{self.metric_method}"

    def post_process(self, result):
        clip = self.metric_name in self.CLIP_METRIC_METHODS and self.metric_method in self.CLIP_METRIC_METHODS[self.metric_name]
        record_level_metrics = []
        for _, row in result.iterrows():
            value = row[self.metric_name]
            if clip:
                value = value if value > 0.0 else 0.0
            record_level_metrics.append(
                RecordMetricResult(
                    name=self.metric_name,
                    display_name=self.metric_display_name,
                    method=self.metric_method,
                    group=self.metric_group,
                    provider=EvaluationProvider.TALLYX.value,
                    value=round(value, 4),
                    record_id=str(row["record_id"]),
                    thresholds=self.thresholds,
                )
            )
        values = [record.value for record in record_level_metrics]
        mean = round(result[self.metric_name].mean(), 4)
        return AggregateMetricResult(
            name=self.metric_name,
            display_name=self.metric_display_name,
            method=self.metric_method,
            group=self.metric_group,
            provider=EvaluationProvider.TALLYX.value,
            value=mean,
            total_records=len(record_level_metrics),
            record_level_metrics=record_level_metrics,
            min=min(values),
            max=max(values),
            mean=mean,
            thresholds=self.thresholds,
        )
