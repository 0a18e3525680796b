// zentra_lumara_gov.evaluators.impl.model_risk_run_impl
//
// Foundation-model risk evaluation through the model-risk plugin:
//
//   get_xai_credentials(lmgov_credentials)        AI-SDK client for the same deployment
//   check_if_model_id_is_valid(model_id, lmai_client)
//   build_system_credentials(configuration, credentials) -> (system_credentials, scoring_function)
//   _evaluate_model_risk(configuration, api_client=None) -> ModelRiskResult
//
// Every name these functions use (the imported classes, CLV_ENDPOINT_TABLE,
// the functions calling one another, print) is a module global read at call
// time, so callers may replace any of them.
#include "common/zlg.h"

#include <Python.h>

#include <string>
#include <utility>

namespace nb = nanobind;
using zlg::Args;
using zlg::FunctionInfo;
using zlg::Param;

namespace {

constexpr const char *kModuleName = "zentra_lumara_gov.evaluators.impl.model_risk_run_impl";

// The module's namespace, read by every function at call time.
zlg::Globals global;

using zlg::is_instance;
using zlg::truthy;
using zlg::unpack_pair;

FunctionInfo info(const char *name, zlg::Signature signature, const char *doc) {
  return FunctionInfo{name, "", kModuleName, doc, std::move(signature)};
}

// -- credentials and model validation -----------------------------------

nb::object get_xai_credentials(nb::handle lmgov_credentials) {
  nb::object credentials_class = global("LumaraAICredentials");
  // Every field the AI SDK's credentials take that the governance credentials have.
  nb::object names =
      global("inspect").attr("signature")(credentials_class.attr("__init__")).attr("parameters");
  nb::dict xai_credentials;
  for (nb::handle name : names) {
    // hasattr, then getattr: only an AttributeError means "absent".
    nb::object value = zlg::getattr_or(lmgov_credentials, name);
    if (value.is_valid()) xai_credentials[name] = value;
  }
  if (truthy(lmgov_credentials.attr("version"))) {
    // A software installation keeps its own URL and names its instance.
    xai_credentials["instance_id"] = "tessera";
  } else {
    // The hosted service: the AI service of the governance URL's deployment.
    xai_credentials["url"] =
        global("CLV_ENDPOINT_TABLE").attr("get")(lmgov_credentials.attr("url")).attr("vml_url");
  }
  return global("LumaraAIAPIClient")(zlg::call_with_keywords(credentials_class, xai_credentials));
}

nb::object check_if_model_id_is_valid(nb::handle model_id, nb::handle lmai_client) {
  nb::object fm_manager = global("FoundationModelsManager")(lmai_client);
  if (truthy(fm_manager.attr("get_model_specs")(nb::arg("model_id") = model_id))) return nb::none();
  nb::object model_specs = fm_manager.attr("get_model_specs")(nb::arg("get_all") = true);
  nb::list available;
  nb::object resources = model_specs["resources"];
  for (nb::handle resource : resources) available.append(resource["model_id"]);
  zlg::raise(PyExc_ValueError,
             zlg::format_text("The Model ID provided is not supported for your environment. "
                              "Here is a list of the available models: %S",
                              available.ptr()));
}

nb::object build_system_credentials(nb::handle configuration, nb::handle credentials) {
  nb::dict system_credentials;
  nb::object scoring_function = nb::none();
  nb::object model = configuration.attr("model_details");

  if (is_instance(model, global("LmAIFoundationModel"))) {
    system_credentials["lumara_ai_project_id"] = model.attr("project_id");
    nb::object client = global("get_xai_credentials")(credentials);
    global("check_if_model_id_is_valid")(model.attr("model_id"), client);
    system_credentials["lumara_ai_model_id"] = model.attr("model_id");

    nb::object c = model.attr("provider").attr("credentials");
    if (truthy(c)) {
      // The model's own credentials.
      system_credentials["lumara_ai_endpoint_url"] = c.attr("url");
      if (truthy(c.attr("version"))) {
        system_credentials["lumara_ai_korp_username"] = c.attr("username");
        system_credentials["lumara_ai_korp_apikey"] = c.attr("api_key");
      } else {
        system_credentials["lumara_ai_cloud_apikey"] = c.attr("api_key");
      }
    } else if (truthy(credentials.attr("version"))) {
      // None of its own: the governance client's, on premises...
      system_credentials["lumara_ai_endpoint_url"] = credentials.attr("url");
      system_credentials["lumara_ai_korp_username"] = credentials.attr("username");
      system_credentials["lumara_ai_korp_apikey"] = credentials.attr("api_key");
    } else {
      // ...or hosted, at the AI service of the governance URL's deployment.
      system_credentials["lumara_ai_cloud_apikey"] = credentials.attr("api_key");
      system_credentials["lumara_ai_endpoint_url"] =
          global("CLV_ENDPOINT_TABLE").attr("get")(credentials.attr("url")).attr("vml_url");
    }
  } else if (is_instance(model, global("CustomFoundationModel"))) {
    scoring_function = model.attr("_scoring_fn");
  }

  // The optional on-premises judge, whatever the model kind.
  nb::object judge = configuration.attr("lm_gc_configuration");
  if (truthy(judge)) {
    nb::object judge_credentials = judge.attr("credentials");
    system_credentials["op_url"] = judge_credentials.attr("url");
    system_credentials["op_username"] = judge_credentials.attr("username");
    system_credentials["op_password"] = judge_credentials.attr("password");
    system_credentials["op_model_id"] = judge.attr("model_id");
    system_credentials["op_apikey"] = judge_credentials.attr("api_key");
    if (zlg::contains(nb::object(system_credentials["op_url"]), nb::str("korp"))) {
      system_credentials["op_korp_apikey"] = judge_credentials.attr("api_key");
      system_credentials["op_korp_host"] =
          global("urlsplit")(judge_credentials.attr("url")).attr("netloc");
    }
  }
  return nb::make_tuple(system_credentials, scoring_function);
}

// -- the run --------------------------------------------------------------

nb::object evaluate_model_risk(nb::handle configuration, nb::handle given_client) {
  nb::object api_client = nb::borrow(given_client);
  if (!truthy(api_client)) api_client = global("APIClient")();

  auto [system_credentials, scoring_function] = unpack_pair(
      global("build_system_credentials")(configuration, api_client.attr("credentials")));

  // Read in the order the keywords are written (C++ leaves the order of
  // argument evaluation open).
  nb::object plugin_class = global("EvaluateFMRisk");
  nb::object model_name = configuration.attr("model_details").attr("model_name");
  nb::object risk_dimensions = configuration.attr("risk_dimensions");
  nb::object max_sample_size = configuration.attr("max_sample_size");
  nb::object fm_evaluate = plugin_class(
      nb::arg("system_credentials") = system_credentials, nb::arg("foundation_model_name") = model_name,
      nb::arg("risk_dimensions") = risk_dimensions, nb::arg("scoring_function") = scoring_function,
      nb::arg("max_sample_size") = max_sample_size);

  // The plugin's run and report: any failure is reported as one exception
  // carrying the original as its context.
  nb::object mr_result;
  nb::object pdf_file_path;
  try {
    mr_result = fm_evaluate.attr("evaluate_fm_risks")();
    global("print")(mr_result);
    pdf_file_path = nb::none();
    if (truthy(configuration.attr("pdf_report_output_path"))) {
      nb::object get_pdf_report = fm_evaluate.attr("get_pdf_report");
      nb::object output_path = configuration.attr("pdf_report_output_path");
      nb::object thresholds = configuration.attr("thresholds");
      pdf_file_path = get_pdf_report(mr_result, output_path, thresholds);
    }
  } catch (nb::python_error &error) {
    if (!error.matches(PyExc_Exception)) throw;
    zlg::HandlingScope handling(error.value());  // the context of an error made meanwhile
    zlg::raise_in_handler(
        PyExc_Exception,
        zlg::format_text("Error while evaluating FM risks. Reason: %S", error.value().ptr()), error);
  }

  nb::object result = global("ModelRiskResult")(
      nb::arg("risks") = nb::list(),
      nb::arg("output_file_path") = truthy(pdf_file_path) ? nb::object(nb::str(pdf_file_path)) : nb::none());

  // risk -> benchmark -> metric -> value becomes Risk / Benchmark / RiskMetric.
  try {
    nb::object risk_class = global("Risk");
    nb::object benchmark_class = global("Benchmark");
    nb::object metric_class = global("RiskMetric");
    for (nb::handle risk_item : mr_result.attr("items")()) {
      auto [risk_name, risk_data] = unpack_pair(risk_item);
      nb::list benchmarks;
      for (nb::handle benchmark_item : risk_data.attr("items")()) {
        auto [benchmark_name, benchmark_data] = unpack_pair(benchmark_item);
        nb::list metrics;
        for (nb::handle metric_item : benchmark_data.attr("items")()) {
          auto [metric_name, metric_value] = unpack_pair(metric_item);
          metrics.append(metric_class(nb::arg("name") = metric_name, nb::arg("value") = metric_value));
        }
        benchmarks.append(benchmark_class(nb::arg("name") = benchmark_name, nb::arg("metrics") = metrics));
      }
      result.attr("risks").attr("append")(risk_class(nb::arg("name") = risk_name,
                                                     nb::arg("benchmarks") = benchmarks));
    }
  } catch (nb::python_error &error) {
    if (!error.matches(PyExc_Exception)) throw;
    zlg::HandlingScope handling(error.value());
    zlg::raise_in_handler(
        PyExc_Exception, zlg::format_text("Failed to parse model risk result. %S", error.value().ptr()),
        error);
  }
  return result;
}

}  // namespace

NB_MODULE(model_risk_run_impl, m) {
  m.doc() = "Foundation-model risk assessment: credentials for the AI SDK, model-id validation and the run of the model-risk plugin (_evaluate_model_risk).";
  global.bind(m);

  m.attr("inspect") = nb::module_::import_("inspect");
  m.attr("urlsplit") = nb::module_::import_("urllib.parse").attr("urlsplit");
  m.attr("LumaraAICredentials") = nb::module_::import_("zentra_lumara_ai").attr("Credentials");
  m.attr("LumaraAIAPIClient") = nb::module_::import_("zentra_lumara_ai.client").attr("APIClient");
  m.attr("FoundationModelsManager") =
      nb::module_::import_("zentra_lumara_ai.foundation_models_manager").attr("FoundationModelsManager");
  m.attr("EvaluateFMRisk") =
      nb::module_::import_("zentra_metrics_plugin.mra.evaluate_fm_risk").attr("EvaluateFMRisk");
  m.attr("APIClient") = nb::module_::import_("zentra_lumara_gov.clients.api_client").attr("APIClient");
  nb::module_ foundation_model = nb::module_::import_("zentra_lumara_gov.entities.foundation_model");
  m.attr("LmAIFoundationModel") = foundation_model.attr("LmAIFoundationModel");
  m.attr("CustomFoundationModel") = foundation_model.attr("CustomFoundationModel");
  nb::module_ results = nb::module_::import_("zentra_lumara_gov.entities.model_risk_result");
  for (const char *name : {"ModelRiskResult", "Risk", "Benchmark", "RiskMetric"}) {
    m.attr(name) = results.attr(name);
  }
  m.attr("CLV_ENDPOINT_TABLE") =
      nb::module_::import_("zentra_lumara_gov.utils.endpoint_table").attr("CLV_ENDPOINT_TABLE");

  m.attr("get_xai_credentials") = zlg::make_function(
      info("get_xai_credentials", {{Param::required("lmgov_credentials")}, "LumaraAIAPIClient"},
           "An AI-SDK client for the deployment of the governance credentials."),
      [](const Args &a) { return get_xai_credentials(a[0]); });

  m.attr("check_if_model_id_is_valid") = zlg::make_function(
      info("check_if_model_id_is_valid",
           {{Param::required("model_id", "str"), Param::required("lmai_client", "LumaraAIAPIClient")}, "None"},
           "Raise ValueError, listing the available models, when the environment lacks model_id."),
      [](const Args &a) { return check_if_model_id_is_valid(a[0], a[1]); });

  m.attr("build_system_credentials") = zlg::make_function(
      info("build_system_credentials",
           {{Param::required("configuration", "ModelRiskConfiguration"), Param::required("credentials")},
            "tuple"},
           "The model-risk plugin's system credentials and the model's scoring function (or None)."),
      [](const Args &a) { return build_system_credentials(a[0], a[1]); });

  m.attr("_evaluate_model_risk") = zlg::make_function(
      info("_evaluate_model_risk",
           {{Param::required("configuration", "ModelRiskConfiguration"),
             Param::optional("api_client", nb::none(), "APIClient")},
            "ModelRiskResult"},
           "Assess the risks of the configured foundation model and convert the plugin's result."),
      [](const Args &a) { return evaluate_model_risk(a[0], a[1]); });
}
