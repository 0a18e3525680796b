"""Judge-model kinds, their credentials, LLMJudge and the configurations."""

from __future__ import annotations

import json

import pytest
from pydantic import ValidationError

from zentra_lumara_gov.config import AgenticAIConfiguration, GenAIConfiguration
from zentra_lumara_gov.entities.credentials import (
    AWSBedrockCredentials,
    AzureOpenAICredentials,
    GoogleAIStudioCredentials,
    LmAICredentials,
    LmoAIGatewayCredentials,
    OpenAICredentials,
    PortKeyCredentials,
    VertexAICredentials,
)
from zentra_lumara_gov.entities.enums import ModelProviderType
from zentra_lumara_gov.entities.foundation_model import (
    AWSBedrockFoundationModel,
    AWSBedrockModelProvider,
    AzureOpenAIFoundationModel,
    AzureOpenAIModelProvider,
    CustomFoundationModel,
    GoogleAIStudioFoundationModel,
    GoogleAIStudioModelProvider,
    LmAIFoundationModel,
    LmAIModelProvider,
    LmoAIGateway,
    LmoAIGatewayModelProvider,
    OpenAIFoundationModel,
    OpenAIModelProvider,
    PortKeyGateway,
    PortKeyModelProvider,
    VertexAIFoundationModel,
    VertexAIModelProvider,
)
from zentra_lumara_gov.entities.llm_judge import LLMJudge


def scorer(prompts):
    return ["yes" for _ in prompts]


# (model, provider type, credentials dump as the engines read it)
DUMPED_KINDS = [
    (
        OpenAIFoundationModel(
            model_id="gpt-4o-mini",
            provider=OpenAIModelProvider(credentials=OpenAICredentials(api_key="sk-1")),
            parameters={"temperature": 0.2},
        ),
        ModelProviderType.OPENAI,
        {"api_key": "sk-1", "url": None},
    ),
    (
        VertexAIFoundationModel(
            model_id="gemini-pro",
            provider=VertexAIModelProvider(credentials=VertexAICredentials(project_id="proj")),
        ),
        ModelProviderType.VERTEX_AI,
        {"project_id": "proj", "location": "us-central1", "credentials_path": None},
    ),
    (
        GoogleAIStudioFoundationModel(
            model_id="gemini-flash",
            provider=GoogleAIStudioModelProvider(credentials=GoogleAIStudioCredentials(api_key="g-1")),
        ),
        ModelProviderType.GOOGLE_AI_STUDIO,
        {"api_key": "g-1"},
    ),
    (
        AWSBedrockFoundationModel(
            model_id="anthropic.claude",
            provider=AWSBedrockModelProvider(
                credentials=AWSBedrockCredentials(aws_access_key_id="AK", aws_secret_access_key="SK")
            ),
        ),
        ModelProviderType.AWS_BEDROCK,
        {"aws_access_key_id": "AK", "aws_secret_access_key": "SK", "aws_region_name": "us-east-1", "aws_session_token": None},
    ),
    (
        PortKeyGateway(
            model_id="@openai/gpt-4o",
            provider=PortKeyModelProvider(credentials=PortKeyCredentials(api_key="pk-1", url="https://gw.example.test")),
        ),
        ModelProviderType.PORTKEY,
        {"api_key": "pk-1", "url": "https://gw.example.test", "provider_api_key": None},
    ),
    (
        LmoAIGateway(
            model_id="gateway",
            provider=LmoAIGatewayModelProvider(
                credentials=LmoAIGatewayCredentials(url="https://lmo.example.test", api_key="lk-1")
            ),
        ),
        ModelProviderType.LMO_AI_GATEWAY,
        {"url": "https://lmo.example.test", "api_key": "lk-1"},
    ),
]


class TestDumpedCredentials:
    @pytest.mark.parametrize(("model", "provider_type", "dump"), DUMPED_KINDS, ids=lambda v: type(v).__name__)
    def test_model_dump_is_what_engines_receive(self, model, provider_type, dump):
        assert model.provider.type is provider_type
        assert model.provider.credentials.model_dump() == dump
        # The engine cache keys on this JSON text.
        assert json.dumps(model.provider.credentials.model_dump(), sort_keys=True) == json.dumps(dump, sort_keys=True)
        assert model.model_name == model.model_id

    def test_azure_dumps_by_alias_under_the_engine_keys(self):
        credentials = AzureOpenAICredentials(api_key="az-1", url="https://az.example.test", api_version="2024-06-01")
        model = AzureOpenAIFoundationModel(
            model_id="gpt-4o", provider=AzureOpenAIModelProvider(credentials=credentials)
        )
        assert model.provider.type is ModelProviderType.AZURE_OPENAI
        assert credentials.model_dump() == {"api_key": "az-1", "url": "https://az.example.test", "api_version": "2024-06-01"}
        assert credentials.model_dump(by_alias=True) == {
            "api_key": "az-1",
            "api_base": "https://az.example.test",
            "api_version": "2024-06-01",
        }
        assert AzureOpenAICredentials(api_key="az-1", api_base="https://az.example.test") == AzureOpenAICredentials(
            api_key="az-1", url="https://az.example.test"
        )

    def test_parameters_of_openai_and_bedrock(self):
        openai_model, _, _ = DUMPED_KINDS[0]
        bedrock_model, _, _ = DUMPED_KINDS[3]
        assert openai_model.parameters == {"temperature": 0.2}
        assert bedrock_model.parameters is None

    @pytest.mark.parametrize(
        ("factory", "field"),
        [
            (lambda: OpenAICredentials(api_key=""), "api_key"),
            (lambda: LmoAIGatewayCredentials(api_key="k"), "url"),
            (lambda: AzureOpenAICredentials(api_key="k"), "api_base"),
            (lambda: AWSBedrockCredentials(aws_access_key_id="AK"), "aws_secret_access_key"),
            (lambda: VertexAICredentials(), "project_id"),
        ],
    )
    def test_required_fields(self, factory, field):
        with pytest.raises(ValidationError, match=field):
            factory()

    def test_credentials_of_the_wrong_kind_are_refused(self):
        with pytest.raises(ValidationError):
            OpenAIModelProvider(credentials=GoogleAIStudioCredentials(api_key="g"))

    def test_provider_type_cannot_contradict_the_kind(self):
        with pytest.raises(ValidationError):
            OpenAIModelProvider(type=ModelProviderType.AZURE_OPENAI, credentials=OpenAICredentials(api_key="k"))

    def test_secrets_stay_out_of_repr(self):
        model = AWSBedrockFoundationModel(
            model_id="m",
            provider=AWSBedrockModelProvider(
                credentials=AWSBedrockCredentials(aws_access_key_id="AK", aws_secret_access_key="TOPSECRET")
            ),
        )
        assert "TOPSECRET" not in repr(model)
        assert model.provider.credentials.aws_secret_access_key == "TOPSECRET"


class TestLmAI:
    def test_cloud_credentials_read_by_attribute(self):
        model = LmAIFoundationModel(
            model_id="lumara-chat-13b",
            model_name="Lumara Chat 13B",
            project_id="p-1",
            provider=LmAIModelProvider(credentials=LmAICredentials(url="https://ai.example.test", api_key="k")),
        )
        c = model.provider.credentials
        assert (c.url, c.api_key, c.version, c.username, c.instance_id, c.password) == (
            "https://ai.example.test",
            "k",
            None,
            None,
            None,
            None,
        )
        assert (model.model_id, model.model_name, model.project_id, model.space_id) == ("lumara-chat-13b", "Lumara Chat 13B", "p-1", None)
        assert model.provider.type is ModelProviderType.LUMARA_AI

    def test_on_prem_credentials(self):
        c = LmAICredentials(url="https://onprem.example", version="5.0", username="admin", instance_id="instance-7", password="pw")
        assert (c.version, c.username, c.instance_id, c.password, c.api_key) == ("5.0", "admin", "instance-7", "pw", None)

    def test_without_credentials_the_provider_holds_none(self):
        model = LmAIFoundationModel(model_id="m", space_id="s-1")
        assert model.provider.credentials is None
        assert (model.project_id, model.space_id) == (None, "s-1")

    @pytest.mark.parametrize(
        ("values", "message"),
        [
            ({"api_key": "k"}, "url"),
            ({"url": "https://x"}, "api_key is required for the hosted AI service."),
            ({"url": "https://x", "version": "5.0", "password": "pw"}, "username is required for an on-premises installation"),
            ({"url": "https://x", "version": "5.0", "username": "u"}, "api_key or password is required for an on-premises installation"),
        ],
    )
    def test_validation(self, values, message):
        with pytest.raises(ValidationError, match=message):
            LmAICredentials(**values)


class TestCustom:
    def test_keeps_the_function_and_defaults(self):
        model = CustomFoundationModel(scoring_fn=scorer)
        assert model._scoring_fn is scorer
        assert (model.model_id, model.context, model.num_parallel_requests) == ("custom_fn", None, 20)
        assert model.provider.type is ModelProviderType.CUSTOM
        assert model.provider.credentials is None

    def test_given_settings(self):
        model = CustomFoundationModel(scoring_fn=scorer, model_id="mine", context={"k": 1}, num_parallel_requests=4)
        assert (model.model_id, model.context, model.num_parallel_requests) == ("mine", {"k": 1}, 4)

    def test_function_must_be_callable(self):
        with pytest.raises(TypeError, match=r"^scoring_fn must be callable, got str\.$"):
            CustomFoundationModel(scoring_fn="not a function")

    def test_parallelism_must_be_positive(self):
        with pytest.raises(ValidationError):
            CustomFoundationModel(scoring_fn=scorer, num_parallel_requests=0)


class TestJudgeAndConfiguration:
    @pytest.mark.parametrize("model", [kind[0] for kind in DUMPED_KINDS] + [CustomFoundationModel(scoring_fn=scorer)])
    def test_llm_judge_holds_any_kind_as_given(self, model):
        assert LLMJudge(model=model).model is model

    def test_llm_judge_refuses_other_values(self):
        with pytest.raises(ValidationError):
            LLMJudge(model="gpt-4o")

    def test_defaults(self):
        config = GenAIConfiguration()
        assert (config.record_id_field, config.record_timestamp_field) == ("record_id", "record_timestamp")
        assert (config.input_fields, config.context_fields, config.output_fields, config.reference_fields) == (
            ["question"],
            ["contexts"],
            ["answer"],
            ["ground_truth"],
        )
        assert (config.tool_calls_field, config.tools, config.llm_judge) == (None, None, None)
        assert GenAIConfiguration().input_fields is not config.input_fields

    def test_agentic_defaults_name_the_tool_calls_column(self):
        config = AgenticAIConfiguration()
        assert isinstance(config, GenAIConfiguration)
        assert config.tool_calls_field == "tool_calls"
        assert config.input_fields == ["question"]

    def test_given_values(self):
        def get_weather(city: str) -> str:
            return city

        judge = LLMJudge(model=CustomFoundationModel(scoring_fn=scorer))
        config = AgenticAIConfiguration(
            record_id_field="id",
            input_fields="prompt",
            context_fields=["c1", "c2"],
            output_fields=None,
            reference_fields=[],
            tool_calls_field="calls",
            tools=[get_weather],
            llm_judge=judge,
        )
        assert (config.record_id_field, config.input_fields, config.context_fields) == ("id", ["prompt"], ["c1", "c2"])
        assert (config.output_fields, config.reference_fields, config.tool_calls_field) == (None, [], "calls")
        assert config.tools == [get_weather] and config.llm_judge is judge

    @pytest.mark.parametrize(
        "values",
        [{"record_id_field": ""}, {"input_fields": [1]}, {"llm_judge": "judge"}, {"unknown_field": "x"}],
    )
    def test_bad_values_are_refused(self, values):
        with pytest.raises(ValidationError):
            GenAIConfiguration(**values)

    def test_assignment_is_validated(self):
        config = GenAIConfiguration()
        config.output_fields = "response"
        assert config.output_fields == ["response"]
        with pytest.raises(ValidationError):
            config.record_timestamp_field = ""
