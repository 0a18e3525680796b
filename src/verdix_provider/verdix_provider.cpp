// zentra_lumara_gov.providers.verdix_provider
//
// The criteria-judge provider: computes one LLM-as-judge metric over a record
// table with the criteria-judge library `verdix.judges`, whose judge asks an
// inference engine of the evaluation library (or of the SDK's own engines).
//
//   evaluate(data)
//     judge     <- __build_judge()                      (engine by model kind)
//     criteria mode:      __build_criteria + __build_instances -> judge.evaluate
//     custom-prompt mode: prompt_template.format(**row) per row
//                         -> judge.evaluate_with_custom_prompt
//     return __post_process(results=..., data=...)
//   any failure: Exception("Error while computing metrics: <name>. Reason: <e>")
//   raised from the caught exception.
//
// Module globals and the private methods are looked up at call time, so a
// caller may replace them (tests do, to watch the engine being built).
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/progress.h"
#include "common/zlg.h"

namespace nb = nanobind;
using zlg::Param;

namespace {

constexpr const char *kModuleName = "zentra_lumara_gov.providers.verdix_provider";
constexpr const char *kClassName = "VerdixProvider";

// The module's namespace, read at call time.
zlg::Globals global;

using zlg::is_instance;
using zlg::truthy;

// `self.__name`, looked up on the instance as Python code would after
// name mangling.
nb::object private_attr(nb::handle self, const char *name) {
  return nb::getattr(self, zlg::mangle(kClassName, name).c_str());
}

// --- constructor ------------------------------------------------------------

void check_str(nb::handle value, const char *name) {
  if (!PyUnicode_Check(value.ptr()))
    zlg::raise(PyExc_TypeError, std::string("argument '") + name + "' must be str, not " +
                                    zlg::type_name(value));
}

void check_optional_str(nb::handle value, const char *name) {
  if (!value.is_none() && !PyUnicode_Check(value.ptr()))
    zlg::raise(PyExc_TypeError, std::string("argument '") + name + "' must be str or None, not " +
                                    zlg::type_name(value));
}

void check_list(nb::handle value, const char *name) {
  if (!PyList_Check(value.ptr()))
    zlg::raise(PyExc_TypeError, std::string("argument '") + name + "' must be list, not " +
                                    zlg::type_name(value));
}

// kwargs.get(key, default)
nb::object extra(nb::handle kwargs, const char *key, nb::handle fallback) {
  PyObject *found = PyDict_GetItemString(kwargs.ptr(), key);  // borrowed
  return nb::borrow(found ? nb::handle(found) : fallback);
}

nb::object init(const zlg::Args &args) {
  nb::handle self = args[0];
  nb::handle metric_name = args[1], display_name = args[2], value_type = args[3], llm_judge = args[4],
             options = args[5], criteria_description = args[6], prompt_template = args[7],
             context_fields = args[8], prediction_field = args[9], metric_group = args[10],
             metric_method = args[11], thresholds = args[12], kwargs = args[13];

  // Argument types are checked before anything is stored, in parameter order.
  check_str(metric_name, "metric_name");
  check_str(display_name, "display_name");
  check_str(value_type, "value_type");
  check_list(options, "options");
  check_optional_str(criteria_description, "criteria_description");
  check_optional_str(prompt_template, "prompt_template");
  check_list(context_fields, "context_fields");
  check_optional_str(prediction_field, "prediction_field");
  check_optional_str(metric_method, "metric_method");
  check_list(thresholds, "thresholds");

  self.attr("metric_name") = metric_name;
  self.attr("display_name") = display_name;
  self.attr("value_type") = value_type;
  self.attr("llm_judge") = llm_judge;
  self.attr("criteria_description") = criteria_description;
  self.attr("prompt_template") = prompt_template;
  self.attr("options") = options;
  self.attr("context_fields") = context_fields;
  self.attr("prediction_field") = prediction_field;
  self.attr("metric_group") = metric_group;
  self.attr("metric_method") = metric_method;
  self.attr("thresholds") = thresholds;
  self.attr("record_id_field") = extra(kwargs, "record_id_field", nb::str("record_id"));
  self.attr("record_timestamp_field") = extra(kwargs, "record_timestamp_field", nb::str("record_timestamp"));
  // Stored as given: no conversion to bool.
  self.attr("compute_token_count") = extra(kwargs, "compute_token_count", Py_False);
  return nb::none();
}

// --- evaluate ---------------------------------------------------------------

// prompt_template.format(**row) for one row of the table (a pandas Series):
// every column is offered to the template by its name.
nb::object make_row_formatter(nb::object prompt_template) {
  zlg::FunctionInfo info;
  info.name = "<lambda>";
  info.qualname = "VerdixProvider.evaluate.<locals>.<lambda>";
  info.module = kModuleName;
  info.signature.params.push_back(Param::required("row"));
  return zlg::make_function(
      std::move(info),
      [prompt_template](const zlg::Args &args) -> nb::object {
        nb::handle row = args[0];
        nb::object format = prompt_template.attr("format");
        nb::dict keywords;
        zlg::merge_keywords(format, keywords, row);  // what `**row` does
        return zlg::call_with_keywords(format, keywords);
      });
}

nb::object evaluate(const zlg::Args &args) {
  nb::handle self = args[0], data = args[1];
  try {
    nb::object judge = private_attr(self, "__build_judge")();
    nb::object results;  // unset until one of the two modes produced them

    if (truthy(self.attr("criteria_description"))) {
      // Criteria mode wins over a prompt template.
      nb::object prediction_field = self.attr("prediction_field");
      nb::object context_fields = self.attr("context_fields");
      nb::object criteria = private_attr(self, "__build_criteria")(prediction_field, context_fields);
      nb::object instances = private_attr(self, "__build_instances")(
          nb::arg("data") = data, nb::arg("prediction_field") = self.attr("prediction_field"),
          nb::arg("context_fields") = self.attr("context_fields"));
      results = judge.attr("evaluate")(nb::arg("instances") = instances, nb::arg("criteria") = criteria);
    } else if (truthy(self.attr("prompt_template"))) {
      nb::object prompts = data.attr("apply")(make_row_formatter(self.attr("prompt_template")),
                                              nb::arg("axis") = 1)
                               .attr("to_list")();
      nb::list valid_outputs;
      for (nb::handle option : self.attr("options")) valid_outputs.append(option.attr("name"));
      results = judge.attr("evaluate_with_custom_prompt")(nb::arg("judge_prompts") = prompts,
                                                          nb::arg("valid_outputs") = valid_outputs);
    }

    // Neither mode configured: reading the results fails as it would in
    // Python, and is reported like any other failure below.
    if (!results.is_valid())
      zlg::raise(PyExc_UnboundLocalError,
                 "cannot access local variable 'results' where it is not associated with a value");

    return private_attr(self, "__post_process")(nb::arg("results") = results, nb::arg("data") = data);
  } catch (...) {
    nb::python_error caught = zlg::current_python_error();
    if (!caught.matches(PyExc_Exception)) throw caught;
    zlg::HandlingScope handling(caught.value());  // the context of an error made meanwhile
    nb::object name = self.attr("metric_name");
    zlg::raise_from(PyExc_Exception,
                    zlg::format_text("Error while computing metrics: %S. Reason: %S", name.ptr(),
                                     caught.value().ptr()),
                    caught);
  }
}

// The blocking evaluate runs on a worker of the loop's default executor, with
// an event loop of its own there, so the caller's loop never blocks.
zlg::Coroutine evaluate_async(nb::object self, nb::object data) {
  nb::object loop = global("asyncio").attr("get_event_loop")();
  nb::object call = global("functools").attr("partial")(
      global("start_event_loop_run_func"), nb::arg("func") = self.attr("evaluate"), nb::arg("data") = data);
  nb::object pending = zlg::run_in_default_executor(loop, call, global("progress_sink"));
  nb::object result = co_await pending;
  co_return result;
}

// --- criteria and instances -------------------------------------------------

// Placeholders become bare names: first "{<prediction_field>}", whatever the
// field's name, then every "{identifier}" left. Braces around anything else
// stay.
nb::object strip_placeholders(nb::handle text, nb::handle prediction_field) {
  // Python's `+`, with its TypeError for `"{" + None`.
  nb::object needle = zlg::add(zlg::add(nb::str("{"), prediction_field), nb::str("}"));
  nb::object replaced = text.attr("replace")(needle, prediction_field);
  return global("re").attr("sub")(global("VARIABLES_PATTERN"), nb::str("\\1"), replaced);
}

nb::object build_criteria(const zlg::Args &args) {
  nb::handle self = args[0], prediction_field = args[1], context_fields = args[2];
  nb::object criteria_option = global("VxCriteriaOption");
  nb::list options;
  for (nb::handle option : self.attr("options")) {
    options.append(criteria_option(
        nb::arg("name") = option.attr("name"),
        nb::arg("description") = strip_placeholders(option.attr("description"), prediction_field),
        nb::arg("score") = option.attr("value")));
  }
  nb::object name = self.attr("metric_name");
  nb::object description = strip_placeholders(self.attr("criteria_description"), prediction_field);
  return global("VxCriteria")(nb::arg("name") = name, nb::arg("description") = description,
                              nb::arg("to_evaluate_field") = prediction_field,
                              nb::arg("context_fields") = context_fields, nb::arg("options") = options);
}

nb::object build_instances(const zlg::Args &args) {
  nb::handle data = args[1], prediction_field = args[2], context_fields = args[3];
  nb::object context_data = data[context_fields].attr("to_dict")(nb::arg("orient") = "records");
  nb::object predictions = data[prediction_field].attr("tolist")();
  nb::object instance_class = global("Instance");
  nb::list instances;

  if (truthy(context_data)) {
    // zip(context_data, predictions): stops at the shorter of the two.
    nb::object contexts = nb::iter(context_data), values = nb::iter(predictions);
    while (true) {
      PyObject *context = PyIter_Next(contexts.ptr());
      if (!context) break;
      nb::object context_row = nb::steal(context);
      PyObject *prediction = PyIter_Next(values.ptr());
      if (!prediction) break;
      nb::dict fields;
      fields[prediction_field] = nb::steal(prediction);
      // A context column named like the prediction field overrides it.
      fields.attr("update")(context_row);
      instances.append(instance_class(nb::arg("fields") = fields));
    }
  } else {
    for (nb::handle prediction : predictions) {
      nb::dict fields;
      fields[prediction_field] = prediction;
      instances.append(instance_class(nb::arg("fields") = fields));
    }
  }
  if (PyErr_Occurred()) nb::raise_python_error();  // a failing iterator
  return instances;
}

// --- judge and inference parameters -----------------------------------------

// `EngineClass(**params, use_cache=flag)`, with the errors Python gives for a
// mapping that is not one or that already holds "use_cache".
nb::object call_with_params(nb::handle engine_class, nb::handle params, nb::handle use_cache) {
  nb::dict keywords, trailing;
  zlg::merge_keywords(engine_class, keywords, params);
  trailing["use_cache"] = use_cache;
  zlg::merge_keywords(engine_class, keywords, trailing);
  return zlg::call_with_keywords(engine_class, keywords);
}

nb::object build_judge(const zlg::Args &args) {
  nb::handle self = args[0];
  nb::object enable_inf_cache = global("get_talyx_enable_inference_cache")();

  nb::object llm_judge = self.attr("llm_judge");
  nb::object engine_class;
  if (truthy(llm_judge) && is_instance(llm_judge.attr("model"), global("PortKeyGateway")))
    engine_class = global("PortKeyInferenceEngine");
  else if (is_instance(self.attr("llm_judge").attr("model"), global("GoogleAIStudioFoundationModel")))
    engine_class = global("GoogleStudioInferenceEngine");
  else
    engine_class = global("CrossProviderInferenceEngine");

  nb::object params = private_attr(self, "__build_inference_engine_params")();
  nb::object engine = call_with_params(engine_class, params, enable_inf_cache);
  return global("DirectJudge")(nb::arg("inference_engine") = engine, nb::arg("generate_feedback") = true);
}

nb::object build_inference_engine_params(const zlg::Args &args) {
  nb::handle self = args[0];
  nb::object model = self.attr("llm_judge").attr("model");
  nb::dict params;
  params["seed"] = 36;
  nb::list policy;
  policy.append("public");
  params["data_classification_policy"] = policy;

  if (is_instance(model, global("LmAIFoundationModel"))) {
    nb::object c = model.attr("provider").attr("credentials");
    nb::dict credentials;
    credentials["url"] = c.attr("url");
    if (truthy(c.attr("api_key"))) credentials["api_key"] = c.attr("api_key");
    if (truthy(c.attr("version"))) {
      // A software deployment authenticates as a user of an instance.
      credentials["username"] = c.attr("username");
      credentials["instance_id"] = c.attr("instance_id");
      if (truthy(c.attr("password"))) credentials["password"] = c.attr("password");
    }
    if (truthy(model.attr("project_id")))
      credentials["project_id"] = model.attr("project_id");
    else if (truthy(model.attr("space_id")))
      credentials["space_id"] = model.attr("space_id");
    else
      zlg::raise(PyExc_Exception, "Either project or space id is required");

    nb::dict limits;
    limits["concurrency_limit"] = global("get_lumara_concurrency_limit")();
    nb::dict provider_specific_args;
    provider_specific_args["lumara-sdk"] = limits;
    params["credentials"] = credentials;
    params["provider"] = "lumara-sdk";
    params["model"] = model.attr("model_id");
    params["provider_specific_args"] = provider_specific_args;
  } else if (is_instance(model, global("OpenAIFoundationModel"))) {
    nb::object c = model.attr("provider").attr("credentials");
    nb::dict parameters;
    parameters["temperature"] = 0;
    nb::object extra_parameters = zlg::getattr_or(model, "parameters", nb::none());
    if (truthy(extra_parameters)) parameters.attr("update")(extra_parameters);
    nb::dict credentials;
    credentials["api_key"] = c.attr("api_key");
    nb::dict provider_specific_args;
    provider_specific_args["open-ai"] = parameters;
    params["credentials"] = credentials;
    params["provider"] = "open-ai";
    params["model"] = model.attr("model_id");
    params["provider_specific_args"] = provider_specific_args;
  } else if (is_instance(model, global("PortKeyGateway"))) {
    // The gateway's engine is its own; it takes no provider name.
    nb::object c = model.attr("provider").attr("credentials");
    params["credentials"] = c.attr("model_dump")();
    params["model"] = model.attr("model_id");
  } else if (is_instance(model, global("GoogleAIStudioFoundationModel"))) {
    // The judge builder gives this kind an engine of its own, like the
    // gateway: credentials and model, no provider name.
    nb::object c = model.attr("provider").attr("credentials");
    params["credentials"] = c.attr("model_dump")();
    params["model"] = model.attr("model_id");
  } else if (is_instance(model, global("VertexAIFoundationModel"))) {
    nb::object c = model.attr("provider").attr("credentials");
    params["credentials"] = c.attr("model_dump")();
    params["provider"] = "vertex-ai";
    params["model"] = model.attr("model_id");
  } else if (is_instance(model, global("AWSBedrockFoundationModel"))) {
    nb::object c = model.attr("provider").attr("credentials");
    nb::object parameters = model.attr("parameters");
    nb::dict provider_specific_args;
    provider_specific_args["aws"] = truthy(parameters) ? parameters : nb::object(nb::dict());
    params["credentials"] = c.attr("model_dump")();
    params["model"] = model.attr("model_id");
    params["provider"] = "aws";
    params["provider_specific_args"] = provider_specific_args;
    // The Bedrock route takes no seed.
    if (PyDict_DelItemString(params.ptr(), "seed") < 0) nb::raise_python_error();
  } else if (is_instance(model, global("AzureOpenAIFoundationModel"))) {
    zlg::raise(PyExc_Exception, "Azure OpenAI Model provider is not supported.");
  } else {
    zlg::raise(PyExc_Exception, "LLM Model provider is not supported.");
  }
  return params;
}

// --- post-processing --------------------------------------------------------

// len(encoding.encode(str(text))). Text that spells a special token is
// counted as the plain text it is: the judge's prompt holds user data.
Py_ssize_t token_count(nb::handle encode, nb::handle text, nb::handle no_special) {
  nb::object tokens = encode(nb::str(text), nb::arg("disallowed_special") = no_special);
  Py_ssize_t count = PyObject_Length(tokens.ptr());
  if (count < 0) nb::raise_python_error();
  return count;
}

nb::object post_process(const zlg::Args &args) {
  nb::handle self = args[0], results = args[1], data = args[2];
  nb::list record_level_metrics;

  bool compute_token_count = truthy(self.attr("compute_token_count"));
  if (compute_token_count)
    self.attr("encoding") = global("tiktoken").attr("get_encoding")("cl100k_base");

  nb::object input_token_count = nb::none(), output_token_count = nb::none();

  nb::dict score_map;
  for (nb::handle option : self.attr("options")) score_map[option.attr("name")] = option.attr("value");

  // zip(ids, timestamps, results): pulled in that order, ends at the shortest.
  nb::object id_list = data[self.attr("record_id_field")].attr("tolist")();
  nb::object ids = nb::iter(id_list);
  nb::object timestamps = nb::iter(data[self.attr("record_timestamp_field")].attr("tolist")());
  nb::object result_iter = nb::iter(results);

  // What every record of this metric shares, read once.
  nb::object record_class = global("RecordMetricResult");
  nb::object name = self.attr("metric_name");
  nb::object display_name = self.attr("display_name");
  nb::object method = self.attr("metric_method");
  nb::object group = self.attr("metric_group");
  nb::object provider = global("EvaluationProvider").attr("TALLYX").attr("value");
  nb::object thresholds = self.attr("thresholds");
  nb::object encode = compute_token_count ? self.attr("encoding").attr("encode") : nb::object();
  nb::tuple no_special;

  static const char *const keywords[] = {"name",      "display_name",     "method",       "group",
                                         "provider",  "value",            "label",        "record_id",
                                         "record_timestamp", "thresholds", "explanation", "additional_info"};
  constexpr size_t keyword_count = sizeof(keywords) / sizeof(keywords[0]);
  nb::object kwnames = nb::steal(PyTuple_New(keyword_count));
  for (size_t i = 0; i < keyword_count; ++i)
    PyTuple_SetItem(kwnames.ptr(), i, nb::str(keywords[i]).release().ptr());
  nb::str feedback_key("feedback"), input_key("input_tokens"), output_key("output_tokens");
  nb::str prompt_key("prompt"), response_key("unparsed_response");

  // With the SDK's own result classes the record results are kept as columns
  // and made into objects only when read; a record whose fields are not
  // already of their stored types is validated through its object once.
  nb::module_ own = nb::module_::import_("zentra_lumara_gov.entities.evaluation_result");
  bool as_columns = record_class.is(own.attr("RecordMetricResult")) &&
                    global("AggregateMetricResult").is(own.attr("AggregateMetricResult"));
  nb::list column_ids, column_timestamps, column_values, column_labels, column_explanations, column_info;
  auto text_or_none = [](nb::handle value) { return value.is_none() || PyUnicode_CheckExact(value.ptr()); };

  // Progress: one report per judged record (thinned out on large tables).
  nb::object sink = zlg::progress_sink(global("progress_sink"));
  bool reporting = !sink.is_none();
  Py_ssize_t judged = 0, to_judge = reporting ? PyObject_Length(id_list.ptr()) : 0;
  if (to_judge < 0) nb::raise_python_error();

  while (true) {
    PyObject *next_id = PyIter_Next(ids.ptr());
    if (!next_id) break;
    nb::object record_id = nb::steal(next_id);
    PyObject *next_timestamp = PyIter_Next(timestamps.ptr());
    if (!next_timestamp) break;
    nb::object record_timestamp = nb::steal(next_timestamp);
    PyObject *next_result = PyIter_Next(result_iter.ptr());
    if (!next_result) break;
    nb::object result = nb::steal(next_result);

    if (compute_token_count) {
      nb::object metadata = result.attr("metadata");
      input_token_count = nb::int_(token_count(encode, metadata[prompt_key], no_special));
      output_token_count = nb::int_(token_count(encode, metadata[response_key], no_special));
    }

    nb::object selected_option = result.attr("selected_option");
    // score_map.get(selected_option): None for an option that matches none.
    PyObject *score = PyDict_GetItemWithError(score_map.ptr(), selected_option.ptr());
    if (!score && PyErr_Occurred()) nb::raise_python_error();
    nb::object value = nb::borrow(score ? score : Py_None);
    nb::object explanation = result.attr("explanation");
    nb::object feedback = result.attr("feedback");

    // Empty feedback and zero counts are reported as null.
    nb::dict additional_info;
    additional_info[feedback_key] = truthy(feedback) ? feedback : nb::none();
    additional_info[input_key] = truthy(input_token_count) ? input_token_count : nb::none();
    additional_info[output_key] = truthy(output_token_count) ? output_token_count : nb::none();

    bool plain = as_columns && PyUnicode_CheckExact(record_id.ptr()) && text_or_none(record_timestamp) &&
                 text_or_none(selected_option) && text_or_none(explanation) &&
                 (value.is_none() || PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr()));
    if (plain) {
      column_ids.append(record_id);
      column_timestamps.append(record_timestamp);
      column_values.append(PyLong_CheckExact(value.ptr()) ? zlg::checked(PyNumber_Float(value.ptr())) : value);
      column_labels.append(selected_option);
      column_explanations.append(explanation);
      column_info.append(additional_info);
    } else {
      PyObject *call_args[keyword_count + 1] = {
          nullptr,          name.ptr(),      display_name.ptr(),     method.ptr(),
          group.ptr(),      provider.ptr(),  value.ptr(),            selected_option.ptr(),
          record_id.ptr(),  record_timestamp.ptr(), thresholds.ptr(), explanation.ptr(),
          additional_info.ptr()};
      nb::object record = nb::steal(PyObject_Vectorcall(record_class.ptr(), call_args + 1,
                                                        PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr()));
      if (!record.is_valid()) nb::raise_python_error();
      if (as_columns) {
        column_ids.append(record.attr("record_id"));
        column_timestamps.append(record.attr("record_timestamp"));
        column_values.append(record.attr("value"));
        column_labels.append(record.attr("label"));
        column_explanations.append(record.attr("explanation"));
        column_info.append(record.attr("additional_info"));
      } else if (PyList_Append(record_level_metrics.ptr(), record.ptr()) < 0) {
        nb::raise_python_error();
      }
    }
    ++judged;
    if (reporting && zlg::progress_step_due(judged, to_judge)) zlg::report_progress(sink, name, judged, to_judge);
  }
  if (PyErr_Occurred()) nb::raise_python_error();  // a failing iterator

  if (!as_columns) return global("AggregateMetricResult").attr("create")(record_level_metrics);
  nb::dict identity;
  identity["name"] = name;
  identity["display_name"] = display_name;
  identity["method"] = method;
  identity["group"] = group;
  identity["provider"] = provider;
  identity["thresholds"] = thresholds;
  nb::dict fields;
  fields["record_timestamp"] = column_timestamps;
  fields["label"] = column_labels;
  fields["explanation"] = column_explanations;
  fields["additional_info"] = column_info;
  nb::object columns = own.attr("RecordColumns")(
      identity, column_ids, column_values, fields,
      nb::make_tuple("record_timestamp", "label", "explanation", "additional_info"));
  return global("AggregateMetricResult").attr("create_from_columns")(columns);
}

// --- class ------------------------------------------------------------------

zlg::FunctionInfo method_info(const char *name, std::vector<Param> params, std::string return_annotation = {},
                              std::string doc = {}) {
  params.insert(params.begin(), Param::required("self"));
  // Private names (leading "__", no trailing "__") are stored mangled, as
  // Python stores them.
  std::string_view text(name);
  bool is_private = text.starts_with("__") && !text.ends_with("__");
  std::string attribute_name = is_private ? zlg::mangle(kClassName, text) : std::string(text);
  return zlg::FunctionInfo{attribute_name, std::string(kClassName) + "." + attribute_name, kModuleName,
                           std::move(doc), zlg::Signature{std::move(params), std::move(return_annotation)}};
}

void add_method(nb::dict ns, zlg::FunctionInfo info, zlg::Impl impl) {
  std::string key = info.name;
  ns[key.c_str()] = zlg::make_function(std::move(info), std::move(impl));
}

nb::object make_provider_class() {
  nb::dict ns;
  ns["__doc__"] =
      "Computes one criteria-based judge metric over a record table.\n\n"
      "Criteria mode (``criteria_description`` set) judges each row's ``prediction_field``\n"
      "against the criteria and its scored ``options``, with the ``context_fields`` as\n"
      "context; custom-prompt mode (``prompt_template`` set) fills the template from each\n"
      "row and asks the judge to answer with one option name. Each row gets the score of\n"
      "the selected option.";

  // The list defaults: one object each, created with the method and stored
  // (never copied) by every provider built without the argument.
  nb::list context_fields_default, thresholds_default;

  add_method(ns,
             method_info("__init__",
                         {Param::required("metric_name", "str"), Param::required("display_name", "str"),
                          Param::required("value_type", "str"), Param::required("llm_judge", "LLMJudge"),
                          Param::required("options", "list[Option]"),
                          Param::optional("criteria_description", nb::none(), "str | None"),
                          Param::optional("prompt_template", nb::none(), "str | None"),
                          Param::optional("context_fields", context_fields_default, "list[str]"),
                          Param::optional("prediction_field", nb::none(), "str | None"),
                          Param::optional("metric_group", nb::none(), "MetricGroup | None"),
                          Param::optional("metric_method", nb::none(), "str | None"),
                          Param::optional("thresholds", thresholds_default, "list[MetricThreshold]"),
                          Param::var_keyword("kwargs")}),
             init);
  add_method(ns,
             method_info("evaluate", {Param::required("data", "pd.DataFrame")}, "AggregateMetricResult",
                         "Judge every row of ``data`` and return the metric's aggregate result."),
             evaluate);

  zlg::FunctionInfo async_info =
      method_info("evaluate_async", {Param::required("data", "pd.DataFrame")}, "AggregateMetricResult",
                  "Coroutine form of ``evaluate``: runs it on the event loop's default executor.");
  ns["evaluate_async"] = zlg::make_coroutine_function(std::move(async_info), [](const zlg::Args &args) {
    return evaluate_async(nb::borrow(args[0]), nb::borrow(args[1]));
  });

  add_method(ns,
             method_info("__build_criteria",
                         {Param::required("prediction_field", "str"), Param::required("context_fields", "list[str]")},
                         "VxCriteria"),
             build_criteria);
  add_method(ns,
             method_info("__build_instances",
                         {Param::required("data", "pd.DataFrame"), Param::required("prediction_field", "str"),
                          Param::required("context_fields", "list[str]")},
                         "list[Instance]"),
             build_instances);
  add_method(ns, method_info("__build_judge", {}, "DirectJudge"), build_judge);
  add_method(ns, method_info("__build_inference_engine_params", {}, "dict"), build_inference_engine_params);
  add_method(ns,
             method_info("__post_process", {Param::required("results"), Param::required("data", "pd.DataFrame")},
                         "AggregateMetricResult"),
             post_process);

  return zlg::make_class(kClassName, kModuleName, nb::tuple(), ns);
}

}  // namespace

NB_MODULE(verdix_provider, m) {
  m.doc() = "Criteria-judge provider: criteria and custom-prompt judge metrics computed through verdix, with token counts.";
  global.bind(m);

  nb::setattr(m, "asyncio", nb::module_::import_("asyncio"));
  nb::setattr(m, "functools", nb::module_::import_("functools"));
  nb::setattr(m, "re", nb::module_::import_("re"));
  nb::setattr(m, "pd", nb::module_::import_("pandas"));
  nb::setattr(m, "tiktoken", nb::module_::import_("tiktoken"));
  zlg::import_from(m, "lazy_imports", {"LazyModule", "load"});

  zlg::import_from(m, "zentra_lumara_gov.entities.criteria", {"Option"});
  zlg::import_from(m, "zentra_lumara_gov.entities.enums", {"EvaluationProvider", "MetricGroup"});
  zlg::import_from(m, "zentra_lumara_gov.entities.evaluation_result", {"AggregateMetricResult", "RecordMetricResult"});
  zlg::import_from(m, "zentra_lumara_gov.entities.foundation_model",
                   {"AWSBedrockFoundationModel", "AzureOpenAIFoundationModel", "GoogleAIStudioFoundationModel",
                    "LmAIFoundationModel", "OpenAIFoundationModel", "PortKeyGateway", "VertexAIFoundationModel"});
  zlg::import_from(m, "zentra_lumara_gov.entities.llm_judge", {"LLMJudge"});
  zlg::import_from(m, "zentra_lumara_gov.entities.metric_threshold", {"MetricThreshold"});
  zlg::import_from(m, "zentra_lumara_gov.providers.inference_engines.google_studio_inference_engine",
                   {"GoogleStudioInferenceEngine"});
  zlg::import_from(m, "zentra_lumara_gov.providers.inference_engines.portkey_inference_engine",
                   {"PortKeyInferenceEngine"});
  zlg::import_from(m, "zentra_lumara_gov.utils.async_util", {"start_event_loop_run_func"});
  zlg::import_from(m, "zentra_lumara_gov.utils.environment",
                   {"get_lumara_concurrency_limit", "get_talyx_enable_inference_cache"});
  zlg::import_from(m, "zentra_lumara_gov.utils.progress", {"progress_sink"});

  // Token counting must not need the network: put the shipped "cl100k_base"
  // file where tiktoken looks for it.
  nb::module_::import_("zentra_lumara_gov.utils.tiktoken_offline").attr("ensure_cl100k_base_offline")();

  // The judge library and the engine, loaded at once through a lazy module.
  nb::object vx_imports = m.attr("LazyModule")(
      "from verdix.judges import Criteria as VxCriteria",
      "from verdix.judges import CriteriaOption as VxCriteriaOption",
      "from verdix.judges import Instance, DirectJudge", "from tallyx.inference import CrossProviderInferenceEngine",
      nb::arg("name") = "lazy_vx");
  m.attr("load")(vx_imports);
  nb::setattr(m, "vx_imports", vx_imports);
  for (const char *name : {"VxCriteria", "VxCriteriaOption", "Instance", "DirectJudge", "CrossProviderInferenceEngine"})
    nb::setattr(m, name, vx_imports.attr(name));

  nb::setattr(m, "VARIABLES_PATTERN", nb::str("\\{([a-zA-Z_][a-zA-Z0-9_]*)\\}"));

  nb::setattr(m, kClassName, make_provider_class());
}
