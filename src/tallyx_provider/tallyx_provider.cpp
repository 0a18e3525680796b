// zentra_lumara_gov.providers.tallyx_provider
//
// Computes one metric over a record table through the evaluation library
// `tallyx`: similarity metrics of the library's catalog and judge-model
// metrics whose inference engines are cached process-wide.
//
// The module reads like the Python it stands for: module globals and class
// attributes are looked up at call time (callers may replace them), private
// methods live under their mangled names and are called through the
// instance, and every failure inside a computation surfaces as one
// "Error while computing metrics: ..." exception with the cause as context.
#include <nanobind/nanobind.h>

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/progress.h"
#include "common/zlg.h"

namespace nb = nanobind;
using namespace nb::literals;
using zlg::Args;
using zlg::Coroutine;
using zlg::FunctionInfo;
using zlg::Param;

namespace {

// The module's namespace, read at call time.
zlg::Globals global;
std::string module_name;

constexpr const char *kClassName = "TallyxProvider";

using zlg::add;
using zlg::contains;
using zlg::equals;
using zlg::getattr_or;
using zlg::getitem;
using zlg::is_instance;
using zlg::setitem;
using zlg::truthy;

nb::object text(std::string_view value) { return nb::str(value.data(), value.size()); }

void require_text(nb::handle value, const char *argument) {
  if (!PyUnicode_CheckExact(value.ptr())) {
    zlg::raise(PyExc_TypeError,
               std::string(argument) + " must be of type str, got " + zlg::type_name(value));
  }
}

std::string mangled(std::string_view name) { return zlg::mangle(kClassName, name); }

nb::object call_private(nb::handle self, std::string_view name) {
  return self.attr(mangled(name).c_str())();
}

FunctionInfo method_info(const char *name, zlg::Signature signature, std::string doc = {}) {
  FunctionInfo info;
  info.name = name;
  info.qualname = std::string(kClassName) + "." + name;
  info.module = module_name;
  info.doc = std::move(doc);
  info.signature = std::move(signature);
  return info;
}

// ---------------------------------------------------------------------------
// Part of the flow: TallyxProvider(...)

nb::object provider_init(const Args &a) {
  nb::handle self = a[0], configuration = a[1], metric_name = a[2], metric_display_name = a[3],
             metric_method = a[4], metric_prefix = a[5], metric_alias = a[6], metric_group = a[7],
             column_mapping = a[8], llm_judge = a[9], thresholds = a[10];
  // Every argument is checked before anything is set.
  require_text(metric_name, "metric_name");
  require_text(metric_display_name, "metric_display_name");
  require_text(metric_method, "metric_method");
  require_text(metric_prefix, "metric_prefix");
  if (!metric_alias.is_none() && !PyUnicode_CheckExact(metric_alias.ptr())) {
    zlg::raise(PyExc_TypeError,
               "metric_alias must be of type str or None, got " + zlg::type_name(metric_alias));
  }
  if (!PyList_CheckExact(thresholds.ptr())) {
    zlg::raise(PyExc_TypeError, "thresholds must be of type list, got " + zlg::type_name(thresholds));
  }

  self.attr("configuration") = configuration;
  self.attr("configuration_") = nb::dict();
  self.attr("metric_name") = metric_name;
  self.attr("metric_display_name") = metric_display_name;
  self.attr("metric_method") = metric_method;
  self.attr("metric_group") = metric_group;
  self.attr("column_mapping") =
      truthy(column_mapping) ? nb::borrow(column_mapping) : global("TallyxColumnMapping")();
  self.attr("llm_judge") =
      truthy(llm_judge) ? nb::borrow(llm_judge) : nb::object(configuration.attr("llm_judge"));
  self.attr("metric_alias") = metric_alias;
  self.attr("metric_prefix") = metric_prefix;
  // The shared default list is stored as it is, never copied or changed.
  self.attr("thresholds") = thresholds;
  return nb::none();
}

// evaluate(data): pre-process, compute, post-process; any failure becomes one
// wrapped Exception with the caught one as its context.
nb::object provider_evaluate(const Args &a) {
  nb::handle self = a[0], data_arg = a[1];
  nb::object aggregate;
  try {
    global("patch_bertscore_overflow")();
    nb::object data = self.attr(mangled("__pre_process_data").c_str())("data"_a = data_arg);
    nb::object result = self.attr(mangled("__compute_metric").c_str())("data"_a = data);
    aggregate = self.attr(mangled("__post_process").c_str())("result"_a = result);
  } catch (...) {
    // Every failure of the C++ side as the Python exception it stands for.
    nb::python_error e = zlg::current_python_error();
    if (!e.matches(PyExc_Exception)) throw;
    nb::object message;
    try {
      message = zlg::format_text(
          "Error while computing metrics: %S with the method %S using tallyx library. Reason: %S",
          self.attr("metric_name").ptr(), self.attr("metric_method").ptr(), e.value().ptr());
    } catch (nb::python_error &raised) {
      zlg::chain_context(raised, e.value());  // raised inside the handler
      throw;
    }
    zlg::raise_in_handler(PyExc_Exception, message, e);
  }
  // The library scores the whole table in one run: one report, the metric done.
  nb::object sink = zlg::progress_sink(global("progress_sink"));
  if (!sink.is_none()) {
    Py_ssize_t records = PyObject_Length(data_arg.ptr());
    if (records < 0) throw nb::python_error();
    zlg::report_progress(sink, self.attr("metric_name"), records, records);
  }
  return aggregate;
}

// evaluate_async(data): the blocking evaluate on a worker of the loop's
// default executor.
Coroutine provider_evaluate_async(nb::object self, nb::object data) {
  nb::object loop = global("asyncio").attr("get_event_loop")();
  nb::object call =
      global("functools").attr("partial")(global("start_event_loop_run_func"), self.attr("evaluate"),
                                     "data"_a = data);
  nb::object pending = zlg::run_in_default_executor(loop, call, global("progress_sink"));
  nb::object result = co_await pending;
  co_return result;
}

// ---------------------------------------------------------------------------
// Pre-processing: the caller's table to the library's table.

// A configured list of column names; None stands for "no such column".
nb::list field_list(nb::handle configuration, const char *name) {
  nb::object value = configuration.attr(name);
  if (value.is_none()) return nb::list();
  PyObject *list = PySequence_List(value.ptr());
  if (!list) throw nb::python_error();
  return nb::steal<nb::list>(list);
}

bool all_in(nb::handle names, nb::handle columns) {
  for (nb::handle name : names) {
    if (!contains(columns, name)) return false;
  }
  return true;
}

// The cells of a column that already holds lists of texts, each list copied;
// an invalid object when any cell is something else. For such a column the
// text round trip (str() of the list, read back by transform_str_to_list)
// gives these same lists, at the cost of writing and parsing every text. A
// text with a surrogate code point could come back otherwise (JSON joins an
// escaped pair), so its column takes the round trip.
nb::object lists_of_texts(nb::handle data, nb::handle field) {
  nb::object column = getitem(data, field);
  if (!is_instance(column, global("pd").attr("Series")) ||
      !equals(column.attr("dtype"), nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type)))) {
    return {};
  }
  nb::object cells = column.attr("tolist")();
  Py_ssize_t count = PyList_Size(cells.ptr());
  zlg::CollectorPause paused;  // one list per record
  nb::list copies = nb::steal<nb::list>(PyList_New(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *cell = PyList_GetItem(cells.ptr(), i);
    if (!PyList_CheckExact(cell)) return {};
    Py_ssize_t items = PyList_Size(cell);
    for (Py_ssize_t j = 0; j < items; ++j) {
      PyObject *item = PyList_GetItem(cell, j);
      if (!PyUnicode_CheckExact(item)) return {};
      if (!PyUnicode_AsUTF8AndSize(item, nullptr)) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
        PyErr_Clear();  // a surrogate: not encodable, the column takes the round trip
        return {};
      }
    }
    PyObject *copy = PyList_GetSlice(cell, 0, items);
    if (!copy) throw nb::python_error();
    PyList_SetItem(copies.ptr(), i, copy);
  }
  return global("pd").attr("Series")(copies, "index"_a = column.attr("index"), "dtype"_a = "object");
}

// Contexts and ground truths: two or more columns give one list of texts per
// row (in the configured order); one column is split with
// transform_str_to_list; none adds nothing.
// A single configured list column whose cells are all lists of texts: those
// lists (copied); an invalid object otherwise.
nb::object single_column_lists(nb::handle data, nb::handle fields, nb::handle columns) {
  if (PyList_Size(fields.ptr()) != 1 || !all_in(fields, columns)) return {};
  return lists_of_texts(data, PyList_GetItem(fields.ptr(), 0));
}

// Contexts and ground truths: two or more columns give one list of texts per
// row (in the configured order); one column is split with
// transform_str_to_list (or, holding lists of texts already, taken as
// `lists`); none adds nothing.
void add_list_column(nb::handle table, nb::handle converted, nb::handle lists, nb::handle target,
                     nb::handle fields, nb::handle columns) {
  Py_ssize_t count = PyList_Size(fields.ptr());
  if (count == 0 || !all_in(fields, columns)) return;
  if (count >= 2) {
    setitem(table, target, getitem(converted, fields).attr("values").attr("tolist")());
  } else if (lists.is_valid()) {
    setitem(table, target, lists);
  } else {
    nb::handle field = PyList_GetItem(fields.ptr(), 0);
    setitem(table, target, getitem(converted, field).attr("apply")(global("transform_str_to_list")));
  }
}

nb::object provider_pre_process_data(const Args &a) {
  nb::handle self = a[0], data = a[1];
  nb::object pd = global("pd");
  // The new table keeps the caller's row labels, so every column taken from
  // the caller's table lines up with its own row (a table without labels
  // would line the first column up by position and the later ones by label).
  nb::object table = pd.attr("DataFrame")("index"_a = data.attr("index"));
  nb::object columns = data.attr("columns").attr("to_list")();
  nb::object configuration = self.attr("configuration");
  nb::list context_fields = field_list(configuration, "context_fields");
  nb::list reference_fields = field_list(configuration, "reference_fields");
  bool plain_table = Py_IS_TYPE(data.ptr(), reinterpret_cast<PyTypeObject *>(pd.attr("DataFrame").ptr()));
  nb::object context_lists, reference_lists;
  nb::list taken;
  if (plain_table) {
    context_lists = single_column_lists(data, context_fields, columns);
    if (context_lists.is_valid()) taken.append(context_fields[0]);
    reference_lists = single_column_lists(data, reference_fields, columns);
    if (reference_lists.is_valid()) taken.append(reference_fields[0]);
  }
  // Every other column is converted, used or not: a cell that cannot be
  // written as text fails the run whichever column holds it.
  nb::handle str_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
  nb::object converted = nb::len(taken) > 0
                             ? data.attr("drop")("columns"_a = taken).attr("astype")(str_type)
                             : data.attr("astype")(str_type);
  nb::object mapping = self.attr("column_mapping");

  nb::list input_fields = field_list(configuration, "input_fields");
  if (nb::len(input_fields) > 0 && contains(columns, input_fields[0])) {
    setitem(table, mapping.attr("question"), getitem(converted, input_fields[0]));
  }
  nb::list output_fields = field_list(configuration, "output_fields");
  if (nb::len(output_fields) > 0 && all_in(output_fields, columns)) {
    setitem(table, mapping.attr("answer"), getitem(converted, output_fields[0]));
  }
  add_list_column(table, converted, context_lists, mapping.attr("contexts"), context_fields, columns);
  add_list_column(table, converted, reference_lists, mapping.attr("ground_truths"), reference_fields,
                  columns);
  setitem(table, text("record_id"), getitem(converted, configuration.attr("record_id_field")));
  return table;
}

// ---------------------------------------------------------------------------
// The library run.

// data.to_dict(orient="records"): one dictionary per row, column name to
// value, in row order. The library's table holds only texts and lists of
// texts in object columns with distinct names; for such a table the
// dictionaries are built here straight from the columns (pandas would box
// nothing in them). Any other table goes through pandas itself.
nb::object records_of(nb::handle data) {
  auto by_pandas = [&] { return data.attr("to_dict")("orient"_a = "records"); };
  // Anything but a table (a subclass may answer differently) is left to its
  // own to_dict, as is every shape read below that is not the one expected.
  if (!Py_IS_TYPE(data.ptr(), reinterpret_cast<PyTypeObject *>(global("pd").attr("DataFrame").ptr()))) {
    return by_pandas();
  }
  nb::object columns = data.attr("columns");
  if (!truthy(columns.attr("is_unique"))) return by_pandas();
  nb::object names = columns.attr("tolist")();
  if (!PyList_CheckExact(names.ptr())) return by_pandas();
  Py_ssize_t width = PyList_Size(names.ptr());
  if (width == 0) return by_pandas();
  Py_ssize_t rows = -1;
  nb::handle object_type = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
  std::vector<nb::object> values;
  values.reserve(static_cast<size_t>(width));
  for (Py_ssize_t c = 0; c < width; ++c) {
    nb::object column = getitem(data, PyList_GetItem(names.ptr(), c));
    if (!equals(column.attr("dtype"), object_type)) return by_pandas();
    nb::object cells = column.attr("tolist")();
    if (!PyList_CheckExact(cells.ptr())) return by_pandas();
    Py_ssize_t length = PyList_Size(cells.ptr());
    if (rows >= 0 && length != rows) return by_pandas();
    rows = length;
    for (Py_ssize_t r = 0; r < length; ++r) {
      PyObject *cell = PyList_GetItem(cells.ptr(), r);
      if (!PyUnicode_CheckExact(cell) && !PyList_CheckExact(cell)) return by_pandas();
    }
    values.push_back(std::move(cells));
  }
  nb::list records = nb::steal<nb::list>(PyList_New(rows));
  if (!records.is_valid()) throw nb::python_error();
  for (Py_ssize_t r = 0; r < rows; ++r) {
    PyObject *record = PyDict_New();
    if (!record) throw nb::python_error();
    PyList_SetItem(records.ptr(), r, record);
    for (Py_ssize_t c = 0; c < width; ++c) {
      if (PyDict_SetItem(record, PyList_GetItem(names.ptr(), c),
                         PyList_GetItem(values[static_cast<size_t>(c)].ptr(), r)) < 0) {
        throw nb::python_error();
      }
    }
  }
  return records;
}

nb::object provider_compute_metric(const Args &a) {
  nb::handle self = a[0], data = a[1];
  // One dictionary per record, and the library's copies of them: no cycles among them.
  std::optional<zlg::CollectorPause> paused(std::in_place);
  nb::object records = records_of(data);
  nb::object metadata_key = text("metadata");
  nb::object policy_key = text("data_classification_policy");
  nb::object public_text = text("public");
  for (nb::handle record : records) {
    nb::dict metadata;
    nb::list policy;
    policy.append(public_text);
    metadata[policy_key] = policy;
    setitem(record, metadata_key, metadata);
  }

  // Built before and outside the lock: for judge metrics this creates (or
  // fetches) the inference engine under the cache's own lock.
  nb::object alias = self.attr("metric_alias");
  nb::object library_metric = self.attr(mangled("__generate_tallyx_metric").c_str())(
      "metric_name"_a = truthy(alias) ? alias : nb::object(self.attr("metric_name")),
      "metric_prefix"_a = self.attr("metric_prefix"));

  bool locked = contains(self.attr("METRIC_METHODS_WITH_LOCKS"), self.attr("metric_method")) ||
                !self.attr("llm_judge").is_none();
  // A judge metric waits on its model for as long as it takes: the collector runs meanwhile.
  if (locked) paused.reset();

  // The library's instances are read one at a time as the stream gives them,
  // each score taken and the instance let go, so the library's copies never
  // all live at once. A score that cannot be read is told only once the stream
  // has ended, as it would be after taking the whole stream as a list.
  nb::object score_key = text("score");
  nb::object instance_key = text("instance");
  std::optional<nb::python_error> unreadable;
  auto run = [&]() -> nb::object {
    nb::dict streams;
    streams["test"] = records;
    nb::object multi_stream = global("MultiStream").attr("from_iterables")(streams, "copying"_a = true);
    nb::list steps;
    steps.append(library_metric);
    nb::object metrics_operator = global("SequentialOperator")("steps"_a = steps);
    nb::object output = metrics_operator(multi_stream);
    nb::object instances = nb::steal(PyObject_GetIter(getitem(output, text("test")).ptr()));
    if (!instances.is_valid()) throw nb::python_error();
    nb::list scores;
    while (PyObject *next = PyIter_Next(instances.ptr())) {
      nb::object instance = nb::steal(next);
      try {
        scores.append(getitem(getitem(getitem(instance, score_key), instance_key), score_key));
      } catch (nb::python_error &error) {
        if (!unreadable) unreadable.emplace(std::move(error));
        scores.append(nb::none());
      }
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return std::move(scores);
  };

  nb::object scores;
  if (locked) {
    // One lock for the whole process: locked runs of every provider and
    // method take turns. Waiting on it releases the interpreter.
    scores = zlg::with_block(self.attr("_lock"), run);
    if (!scores.is_valid()) {  // the lock's __exit__ swallowed a failure
      zlg::raise(PyExc_UnboundLocalError,
                 "cannot access local variable 'instances' where it is not associated with a value");
    }
  } else {
    scores = run();
  }
  if (unreadable) throw std::move(*unreadable);

  // The score table keeps the rows of the library's table: the scores go in
  // by position, the record ids by the same labels.
  nb::object table = global("pd").attr("DataFrame")("index"_a = data.attr("index"));
  setitem(table, self.attr("metric_name"), scores);
  setitem(table, text("record_id"), getitem(data, text("record_id")));
  return table;
}

// ---------------------------------------------------------------------------
// Metric and judge construction.

nb::object provider_generate_tallyx_metric(const Args &a) {
  nb::handle self = a[0], metric_name = a[1], metric_prefix = a[2];
  require_text(metric_name, "metric_name");
  require_text(metric_prefix, "metric_prefix");
  nb::object method = self.attr("metric_method");
  if (equals(method, text("llm_as_judge"))) {
    return self.attr(mangled("__get_llmaj_metric").c_str())("metric_name"_a = metric_name);
  }
  // The catalog identifier: prefix.name.method.
  nb::object dot = text(".");
  return add(add(add(add(metric_prefix, dot), metric_name), dot), method);
}

nb::object provider_get_llmaj_template(const Args &a) {
  nb::handle metric_name = a[1];
  require_text(metric_name, "metric_name");
  nb::object template_name = getitem(global("METRIC_TO_TEMPLATE"), metric_name);
  nb::object suffix = equals(metric_name, text("faithfulness")) ? text("_verbal") : text("_numeric");
  return add(add(add(add(text("templates.rag_eval."), metric_name), text(".")), template_name),
             suffix);
}

nb::object provider_get_llmaj_format(const Args &a) {
  nb::handle self = a[0];
  nb::object provider_type = self.attr("llm_judge").attr("model").attr("provider").attr("type");
  if (equals(provider_type, global("ModelProviderType").attr("OPENAI"))) return global("ChatAPIFormat")();
  return nb::none();
}

nb::object provider_get_llmaj_metric(const Args &a) {
  nb::handle self = a[0], metric_name = a[1];
  require_text(metric_name, "metric_name");
  // Keyword values in this order: the engine first, so an unsupported judge
  // model fails before an unknown template name.
  nb::dict kwargs;
  kwargs["inference_model"] = call_private(self, "__get_ai_evaluator_inference_engine");
  kwargs["format"] = call_private(self, "__get_llmaj_format");
  kwargs["template"] =
      self.attr(mangled("__get_llmaj_template").c_str())("metric_name"_a = metric_name);
  kwargs["task"] = add(add(text("tasks.rag_eval."), metric_name), text(".binary"));
  kwargs["main_score"] = add(metric_name, text("_judge"));
  nb::object mapping = self.attr("column_mapping");
  kwargs["prediction_field"] = equals(metric_name, text("context_relevance"))
                                   ? nb::object(mapping.attr("contexts"))
                                   : nb::object(mapping.attr("answer"));
  kwargs["infer_log_probs"] = false;
  kwargs["judge_to_generator_fields_mapping"] = nb::dict();
  return zlg::call_with_keywords(global("TaskBasedLLMasJudge"), kwargs);
}

// ---------------------------------------------------------------------------
// Judge inference engines and their cache.

nb::object dumps_sorted(nb::handle value) {
  return global("json").attr("dumps")(value, "sort_keys"_a = true);
}

// The cached factory, always called through the class with keywords.
nb::object create_engine(nb::handle provider, nb::handle model_id, nb::handle use_cache,
                         nb::handle credentials_json, nb::handle parameters_json = nb::handle()) {
  nb::object factory = global(kClassName).attr("_create_inference_engine_impl");
  if (parameters_json.is_valid()) {
    return factory("provider"_a = provider, "model_id"_a = model_id, "use_cache"_a = use_cache,
                   "credentials_json"_a = credentials_json, "parameters_json"_a = parameters_json);
  }
  return factory("provider"_a = provider, "model_id"_a = model_id, "use_cache"_a = use_cache,
                 "credentials_json"_a = credentials_json);
}

nb::object provider_get_ai_evaluator_inference_engine(const Args &a) {
  nb::handle self = a[0];
  nb::object use_cache = global("get_talyx_enable_inference_cache")();
  nb::object model = self.attr("llm_judge").attr("model");

  if (is_instance(model, global("LmAIFoundationModel"))) {
    nb::object creds = model.attr("provider").attr("credentials");
    nb::dict credentials;
    credentials["url"] = creds.attr("url");
    if (truthy(creds.attr("api_key"))) credentials["api_key"] = creds.attr("api_key");
    if (truthy(creds.attr("version"))) {
      // An installation on premises.
      credentials["username"] = creds.attr("username");
      credentials["instance_id"] = creds.attr("instance_id");
      if (truthy(creds.attr("password"))) credentials["password"] = creds.attr("password");
    }
    if (truthy(model.attr("project_id"))) {
      credentials["project_id"] = model.attr("project_id");
    } else if (truthy(model.attr("space_id"))) {
      credentials["space_id"] = model.attr("space_id");
    } else {
      zlg::raise(PyExc_Exception, "Either project or space id is required");
    }
    return create_engine(text("lmai"), model.attr("model_id"), use_cache, dumps_sorted(credentials));
  }

  auto dumped = [&](bool by_alias) {
    nb::object creds = model.attr("provider").attr("credentials");
    return dumps_sorted(by_alias ? creds.attr("model_dump")("by_alias"_a = true)
                                 : creds.attr("model_dump")());
  };
  if (is_instance(model, global("OpenAIFoundationModel"))) {
    return create_engine(text("openai"), model.attr("model_id"), use_cache, dumped(false));
  }
  if (is_instance(model, global("AzureOpenAIFoundationModel"))) {
    // Field aliases name the keys the engine expects.
    return create_engine(text("azure_openai"), model.attr("model_id"), use_cache, dumped(true));
  }
  if (is_instance(model, global("VertexAIFoundationModel"))) {
    return create_engine(text("vertexai"), model.attr("model_id"), use_cache, dumped(false));
  }
  if (is_instance(model, global("GoogleAIStudioFoundationModel"))) {
    return create_engine(text("google_ai_studio"), model.attr("model_id"), use_cache, dumped(false));
  }
  if (is_instance(model, global("AWSBedrockFoundationModel"))) {
    nb::object parameters = model.attr("parameters");
    nb::object credentials_json = dumped(false);
    return create_engine(text("aws_bedrock"), model.attr("model_id"), use_cache, credentials_json,
                         dumps_sorted(truthy(parameters) ? parameters : nb::object(nb::dict())));
  }
  if (is_instance(model, global("CustomFoundationModel"))) {
    // The caller's own function: a fresh engine per request, never cached.
    return global("CustomFunctionInferenceEngine")(
        "scoring_fn"_a = model.attr("_scoring_fn"),
        "model_name"_a = getattr_or(model, "model_id", text("custom_fn")),
        "context"_a = getattr_or(model, "context", nb::none()),
        "num_parallel_requests"_a = getattr_or(model, "num_parallel_requests", nb::int_(20)),
        "use_cache"_a = use_cache);
  }
  if (is_instance(model, global("PortKeyGateway"))) {
    return create_engine(text("portkey"), model.attr("model_id"), use_cache, dumped(false));
  }
  if (is_instance(model, global("LmoAIGateway"))) {
    // The gateway routes by its own configuration: no model id is passed.
    return create_engine(text("lmo_gateway"), text(""), use_cache, dumped(false));
  }
  zlg::raise(PyExc_Exception, "LLM Model provider is not supported.");
}

nb::object parse_json_or_empty(nb::handle json_text) {
  if (!truthy(json_text)) return nb::dict();
  return global("json").attr("loads")(json_text);
}

// Runs only on a cache miss.
nb::object create_inference_engine_impl(const Args &a) {
  nb::handle provider = a[0], model_id = a[1], use_cache_arg = a[2], credentials_json = a[3],
             parameters_json = a[4];
  require_text(provider, "provider");
  require_text(model_id, "model_id");
  require_text(credentials_json, "credentials_json");
  require_text(parameters_json, "parameters_json");
  nb::object use_cache = nb::bool_(truthy(use_cache_arg));
  nb::object credentials = parse_json_or_empty(credentials_json);
  nb::object parameters = parse_json_or_empty(parameters_json);

  // provider is exactly a str (checked above), compared as text.
  auto is = [&](const char *name) { return PyUnicode_CompareWithASCIIString(provider.ptr(), name) == 0; };
  if (is("lmai")) {
    return global("VMLInferenceEngineGeneration")("credentials"_a = credentials,
                                             "model_name"_a = model_id, "use_cache"_a = use_cache);
  }
  if (is("openai")) {
    return global("OpenAiInferenceEngine")("model_name"_a = model_id, "credentials"_a = credentials,
                                      "use_cache"_a = use_cache);
  }
  if (is("azure_openai")) {
    return global("AzureOpenAIInferenceEngine")("model_name"_a = model_id,
                                           "credentials"_a = credentials, "use_cache"_a = use_cache);
  }
  if (is("vertexai") || is("google_ai_studio") || is("aws_bedrock")) {
    // Every parameter entry becomes one more keyword argument.
    nb::dict fixed;
    fixed["model"] = model_id;
    fixed["credentials"] = credentials;
    fixed["use_cache"] = use_cache;
    return zlg::call_with_keywords(global("LiteLLMInferenceEngine"), fixed, parameters);
  }
  if (is("portkey")) {
    return global("PortKeyInferenceEngine")("credentials"_a = credentials, "model"_a = model_id,
                                       "use_cache"_a = use_cache);
  }
  if (is("lmo_gateway")) {
    return global("LmoAIGatewayInferenceEngine")("credentials"_a = credentials,
                                            "use_cache"_a = use_cache);
  }
  zlg::raise(PyExc_Exception,
             zlg::format_text("LLM Model provider '%U' is not supported.", provider.ptr()));
}

// ---------------------------------------------------------------------------
// Post-processing: the score table to result records.

// The SDK's own result classes, against which the module's names are checked
// before the record results are handed over as columns.
bool are_own_result_classes(nb::handle record_class, nb::handle aggregate_class) {
  nb::object own = nb::module_::import_("zentra_lumara_gov.entities.evaluation_result");
  return record_class.is(own.attr("RecordMetricResult")) &&
         aggregate_class.is(own.attr("AggregateMetricResult"));
}

// Post-processing with the record results kept as columns: a float64 array
// of the clipped and rounded scores and the list of record-id texts, made
// into RecordMetricResult objects only when a caller reads them. Taken when
// the result classes are the SDK's own (the objects then come out equal
// field for field), every score is a float and every id's text a str, and
// there is at least one record; otherwise an invalid object, and the caller
// makes each record result itself.
nb::object post_process_as_columns(nb::handle self, nb::handle values, nb::handle ids,
                                   nb::handle score_column, bool clip) {
  nb::object record_class = global("RecordMetricResult");
  nb::object aggregate_class = global("AggregateMetricResult");
  Py_ssize_t count = PyList_Size(values.ptr());
  if (count == 0 || !are_own_result_classes(record_class, aggregate_class)) return {};
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyFloat_CheckExact(PyList_GetItem(values.ptr(), i))) return {};
  }
  nb::list record_ids = nb::steal<nb::list>(PyList_New(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *record_id = PyObject_Str(PyList_GetItem(ids.ptr(), i));
    if (!record_id) throw nb::python_error();
    PyList_SetItem(record_ids.ptr(), i, record_id);
    if (!PyUnicode_CheckExact(record_id)) return {};
  }

  nb::object array = global("np").attr("empty")(count, "dtype"_a = "float64");
  Py_buffer view;
  if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
    throw nb::python_error();
  }
  double *rounded = static_cast<double *>(view.buf);
  for (Py_ssize_t i = 0; i < count; ++i) {
    double value = PyFloat_AsDouble(PyList_GetItem(values.ptr(), i));
    if (clip && !(value > 0.0)) value = 0.0;  // NaN is not positive
    rounded[i] = zlg::round_float(value, 4);
  }
  // min() and max() as the interpreter takes them: the first value, replaced
  // by each later one that compares smaller (larger); NaN never does.
  double smallest = rounded[0], largest = rounded[0];
  for (Py_ssize_t i = 1; i < count; ++i) {
    if (rounded[i] < smallest) smallest = rounded[i];
    if (rounded[i] > largest) largest = rounded[i];
  }
  PyBuffer_Release(&view);

  nb::dict identity;
  identity["name"] = self.attr("metric_name");
  identity["display_name"] = self.attr("metric_display_name");
  identity["method"] = self.attr("metric_method");
  identity["group"] = self.attr("metric_group");
  identity["provider"] = global("EvaluationProvider").attr("TALLYX").attr("value");
  identity["thresholds"] = self.attr("thresholds");
  nb::object columns = global("RecordColumns")(identity, record_ids, array);

  nb::object mean = global("round")(score_column.attr("mean")(), 4);
  nb::dict kwargs;
  kwargs["columns"] = columns;
  for (const char *key : {"name", "display_name", "method", "group", "provider"}) {
    kwargs[key] = identity[key];
  }
  kwargs["value"] = mean;
  kwargs["total_records"] = nb::int_(count);
  kwargs["min"] = nb::float_(smallest);
  kwargs["max"] = nb::float_(largest);
  kwargs["mean"] = mean;
  kwargs["thresholds"] = identity["thresholds"];
  return zlg::call_with_keywords(aggregate_class.attr("from_columns"), kwargs);
}

nb::object provider_post_process(const Args &a) {
  nb::handle self = a[0], result = a[1];
  nb::object metric_name = self.attr("metric_name");
  nb::object display_name = self.attr("metric_display_name");
  nb::object method = self.attr("metric_method");
  nb::object group = self.attr("metric_group");
  nb::object thresholds = self.attr("thresholds");
  nb::object provider = global("EvaluationProvider").attr("TALLYX").attr("value");
  nb::object record_class = global("RecordMetricResult");
  nb::object round_fn = global("round");

  // Clipping is looked up by the metric's name, never by its alias.
  nb::object clip_table = self.attr("CLIP_METRIC_METHODS");
  bool clip = contains(clip_table, metric_name) && contains(getitem(clip_table, metric_name), method);

  // Row by row, in row order. The two columns of a table are read as they
  // are stored, so a record id keeps its own type up to its text (a row-wise
  // read would turn the id 7 of an all-number table into "7.0"). Anything
  // else given as the table is walked with its own iterrows().
  nb::object score_column, values, ids;
  if (is_instance(result, global("pd").attr("DataFrame"))) {
    score_column = getitem(result, metric_name);
    values = score_column.attr("tolist")();
    ids = getitem(result, text("record_id")).attr("tolist")();
  }
  if (!values.is_valid() || !PyList_CheckExact(values.ptr()) || !PyList_CheckExact(ids.ptr())) {
    nb::list row_values, row_ids;
    nb::object record_id_key = text("record_id");
    for (nb::handle labelled_row : result.attr("iterrows")()) {
      nb::object row = zlg::unpack_pair(labelled_row).second;
      row_values.append(getitem(row, metric_name));
      row_ids.append(getitem(row, record_id_key));
    }
    values = row_values;
    ids = row_ids;
    score_column = getitem(result, metric_name);
  }
  Py_ssize_t count = PyList_Size(values.ptr());
  if (PyList_Size(ids.ptr()) != count) {
    zlg::raise(PyExc_ValueError,
               zlg::format_text("the score table holds %zd scores but %zd record ids", count,
                                PyList_Size(ids.ptr())));
  }

  nb::object aggregate = post_process_as_columns(self, values, ids, score_column, clip);
  if (aggregate.is_valid()) return aggregate;

  nb::object zero = nb::float_(0.0);
  nb::object places = nb::int_(4);
  nb::object kwnames = nb::make_tuple("name", "display_name", "method", "group", "provider",
                                      "value", "record_id", "thresholds");
  nb::list record_level_metrics = nb::steal<nb::list>(PyList_New(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *raw = PyList_GetItem(values.ptr(), i);
    nb::object value = nb::borrow(raw);
    if (clip) {
      bool positive;
      if (PyFloat_CheckExact(raw)) {
        positive = PyFloat_AsDouble(raw) > 0.0;  // NaN is not positive
      } else {
        int cmp = PyObject_RichCompareBool(raw, zero.ptr(), Py_GT);
        if (cmp < 0) throw nb::python_error();
        positive = cmp == 1;
      }
      if (!positive) value = zero;
    }
    PyObject *round_args[] = {value.ptr(), places.ptr()};
    nb::object rounded = nb::steal(PyObject_Vectorcall(round_fn.ptr(), round_args, 2, nullptr));
    if (!rounded.is_valid()) throw nb::python_error();
    nb::object record_id = nb::steal(PyObject_Str(PyList_GetItem(ids.ptr(), i)));
    if (!record_id.is_valid()) throw nb::python_error();
    PyObject *call_args[] = {metric_name.ptr(), display_name.ptr(), method.ptr(), group.ptr(),
                             provider.ptr(),    rounded.ptr(),      record_id.ptr(), thresholds.ptr()};
    PyObject *record = PyObject_Vectorcall(record_class.ptr(), call_args, 0, kwnames.ptr());
    if (!record) throw nb::python_error();
    PyList_SetItem(record_level_metrics.ptr(), i, record);
  }

  nb::list record_values = nb::steal<nb::list>(PyList_New(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *value = PyObject_GetAttrString(PyList_GetItem(record_level_metrics.ptr(), i), "value");
    if (!value) throw nb::python_error();
    PyList_SetItem(record_values.ptr(), i, value);
  }

  // The aggregate is the mean of the raw library scores (before clipping and
  // rounding, missing ones skipped as pandas does).
  nb::object mean = round_fn(score_column.attr("mean")(), places);
  nb::dict kwargs;
  kwargs["name"] = metric_name;
  kwargs["display_name"] = display_name;
  kwargs["method"] = method;
  kwargs["group"] = group;
  kwargs["provider"] = provider;
  kwargs["value"] = mean;
  kwargs["total_records"] = nb::int_(count);
  kwargs["record_level_metrics"] = record_level_metrics;
  kwargs["min"] = global("min")(record_values);
  kwargs["max"] = global("max")(record_values);
  kwargs["mean"] = mean;
  kwargs["thresholds"] = thresholds;
  return zlg::call_with_keywords(global("AggregateMetricResult"), kwargs);
}

// ---------------------------------------------------------------------------
// The tokenizer overflow patch.

nb::object make_patched_get_tokenizer(nb::object original_get_tokenizer) {
  FunctionInfo info;
  info.name = "patched_get_tokenizer";
  info.qualname = "patch_bertscore_overflow.<locals>.patched_get_tokenizer";
  info.module = module_name;
  info.signature = {{Param::required("model_type"), Param::optional("use_fast", nb::bool_(false))}};
  return zlg::make_function(std::move(info), [original_get_tokenizer](const Args &a) -> nb::object {
    nb::object tokenizer = original_get_tokenizer(a[0], a[1]);
    if (zlg::hasattr(tokenizer, "model_max_length")) {
      nb::object length = tokenizer.attr("model_max_length");
      int over = PyObject_RichCompareBool(length.ptr(), nb::int_(100000).ptr(), Py_GT);
      if (over < 0) throw nb::python_error();
      if (over) tokenizer.attr("model_max_length") = nb::int_(512);
    }
    return tokenizer;
  });
}

nb::object patch_bertscore_overflow(const Args &) {
  try {
    nb::object utils = nb::module_::import_("bert_score.utils");
    nb::object scorer = nb::module_::import_("bert_score.scorer");
    if (zlg::hasattr(utils, "_is_patched_for_overflow")) return nb::none();
    nb::object original_get_tokenizer = utils.attr("get_tokenizer");
    nb::object patched = make_patched_get_tokenizer(original_get_tokenizer);
    utils.attr("get_tokenizer") = patched;
    // bert_score.scorer holds its own imported reference.
    if (zlg::hasattr(scorer, "get_tokenizer")) scorer.attr("get_tokenizer") = patched;
    utils.attr("_is_patched_for_overflow") = true;
  } catch (nb::python_error &e) {
    // bert_score is an optional extra: without it there is nothing to patch.
    if (!e.matches(PyExc_ImportError)) throw;
  }
  return nb::none();
}

// ---------------------------------------------------------------------------
// Module construction.

nb::object build_column_mapping(nb::dict ns) {
  nb::object field = ns["Field"];
  nb::handle str_type = reinterpret_cast<PyObject *>(&PyUnicode_Type);
  nb::dict annotations;
  nb::dict body;
  body["__doc__"] = "Column mapping expected by tallyx";
  for (const char *name : {"question", "answer", "contexts", "ground_truths"}) {
    annotations[name] = str_type;
    body[name] = field("default"_a = name,
                       "description"_a = text(std::string("Expected ") + name + " column name by tallyx"));
  }
  body["__annotations__"] = annotations;
  return zlg::make_class("TallyxColumnMapping", module_name, nb::make_tuple(ns["BaseModel"]), body);
}

nb::object build_provider_class(nb::dict ns) {
  nb::dict body;
  body["__doc__"] =
      "Computes one metric over a record table through the evaluation library tallyx.";
  nb::dict annotations;
  annotations["CLIP_METRIC_METHODS"] = "ClassVar[dict[str, set[str]]]";
  annotations["METRIC_METHODS_WITH_LOCKS"] = "ClassVar[set[str]]";
  body["__annotations__"] = annotations;

  // Metric name -> methods whose record scores are clipped at zero.
  nb::dict clip;
  clip["context_relevance"] = nb::steal(PySet_New(nb::make_tuple("sentence_bert_bge", "sentence_bert_mini_lm").ptr()));
  clip["faithfulness"] = nb::steal(PySet_New(nb::make_tuple("sentence_bert_mini_lm").ptr()));
  clip["answer_correctness"] = nb::steal(PySet_New(nb::make_tuple("sentence_bert_mini_lm").ptr()));
  body["CLIP_METRIC_METHODS"] = clip;
  body["METRIC_METHODS_WITH_LOCKS"] = nb::steal(PySet_New(
      nb::make_tuple("bert_score_recall", "sentence_bert_mini_lm", "sentence_bert_bge").ptr()));
  body["_lock"] = ns["threading"].attr("Lock")();

  // One list, created with the class, shared by every construction that
  // leaves `thresholds` out.
  nb::list default_thresholds;
  body["__init__"] = zlg::make_function(
      method_info("__init__",
                  {{Param::required("self"), Param::required("configuration", "GenAIConfiguration"),
                    Param::required("metric_name", "str"),
                    Param::required("metric_display_name", "str"),
                    Param::required("metric_method", "str"), Param::required("metric_prefix", "str"),
                    Param::optional("metric_alias", nb::none(), "str | None"),
                    Param::optional("metric_group", nb::none(), "MetricGroup | None"),
                    Param::optional("column_mapping", nb::none(), "TallyxColumnMapping | None"),
                    Param::optional("llm_judge", nb::none(), "LLMJudge | None"),
                    Param::optional("thresholds", default_thresholds, "list[MetricThreshold]"),
                    Param::var_keyword("kwargs")},
                   "None"}),
      provider_init);
  body["evaluate"] = zlg::make_function(
      method_info("evaluate",
                  {{Param::required("self"), Param::required("data", "pd.DataFrame")},
                   "AggregateMetricResult"},
                  "Compute the metric over the record table and return its aggregate result."),
      provider_evaluate);
  body["evaluate_async"] = zlg::make_coroutine_function(
      method_info("evaluate_async",
                  {{Param::required("self"), Param::required("data", "pd.DataFrame")},
                   "AggregateMetricResult"},
                  "Coroutine form of evaluate: runs it in the event loop's default executor."),
      [](const Args &a) { return provider_evaluate_async(nb::borrow(a[0]), nb::borrow(a[1])); });

  auto private_method = [&](const char *name, std::vector<Param> params, const char *returns,
                            zlg::Impl impl) {
    params.insert(params.begin(), Param::required("self"));
    std::string key = mangled(name);
    body[key.c_str()] =
        zlg::make_function(method_info(name, zlg::Signature(std::move(params), returns)), std::move(impl));
  };
  private_method("__pre_process_data", {Param::required("data", "pd.DataFrame")}, "pd.DataFrame",
                 provider_pre_process_data);
  private_method("__compute_metric", {Param::required("data", "pd.DataFrame")}, "pd.DataFrame",
                 provider_compute_metric);
  private_method("__generate_tallyx_metric",
                 {Param::required("metric_name", "str"), Param::required("metric_prefix", "str")},
                 "str | TaskBasedLLMasJudge", provider_generate_tallyx_metric);
  private_method("__get_llmaj_metric", {Param::required("metric_name", "str")},
                 "TaskBasedLLMasJudge", provider_get_llmaj_metric);
  private_method("__get_llmaj_template", {Param::required("metric_name", "str")}, "str",
                 provider_get_llmaj_template);
  private_method("__get_llmaj_format", {}, "Format | None", provider_get_llmaj_format);
  private_method("__get_ai_evaluator_inference_engine", {}, "",
                 provider_get_ai_evaluator_inference_engine);
  private_method("__post_process", {Param::required("result", "pd.DataFrame")},
                 "AggregateMetricResult", provider_post_process);

  // The engine factory, memoised by cachetools on the module's cache and
  // lock, then made a static method.
  FunctionInfo factory_info;
  factory_info.name = "_create_inference_engine_impl";
  factory_info.qualname = std::string(kClassName) + "._create_inference_engine_impl";
  factory_info.module = module_name;
  factory_info.doc = "Build the inference engine of one judge-model setting (cached).";
  factory_info.signature = {{Param::required("provider", "str"), Param::required("model_id", "str"),
                             Param::required("use_cache", "bool"),
                             Param::required("credentials_json", "str"),
                             Param::optional("parameters_json", text(""), "str")}};
  nb::object factory = zlg::make_function(std::move(factory_info), create_inference_engine_impl);
  nb::object memoised = ns["cached"]("cache"_a = ns["_inference_engine_cache"],
                                     "lock"_a = ns["_inference_engine_cache_lock"])(factory);
  body["_create_inference_engine_impl"] = zlg::static_method(memoised);

  return zlg::make_class(kClassName, module_name, nb::tuple(), body);
}

}  // namespace

NB_MODULE(tallyx_provider, m) {
  m.doc() = "Evaluation-library provider: similarity and judge-model metrics computed through tallyx, with a shared lock and a time-limited cache of judge engines.";
  module_name = zlg::str(m.attr("__name__"));
  nb::dict ns = nb::borrow<nb::dict>(m.attr("__dict__"));
  global.bind(m);

  // Imports, as the module's namespace would hold them.
  for (const char *name : {"asyncio", "functools", "json", "threading"}) {
    ns[name] = nb::module_::import_(name);
  }
  ns["pd"] = nb::module_::import_("pandas");
  ns["np"] = nb::module_::import_("numpy");
  zlg::import_from(m, "typing", {"ClassVar"});
  zlg::import_from(m, "cachetools", {"TTLCache", "cached"});
  zlg::import_from(m, "lazy_imports", {"LazyModule", "load"});
  zlg::import_from(m, "pydantic", {"BaseModel", "Field"});
  zlg::import_from(m, "zentra_lumara_gov.config", {"GenAIConfiguration"});
  zlg::import_from(m, "zentra_lumara_gov.entities.enums",
                   {"EvaluationProvider", "MetricGroup", "ModelProviderType"});
  zlg::import_from(m, "zentra_lumara_gov.entities.evaluation_result",
                   {"AggregateMetricResult", "RecordMetricResult"});
  zlg::import_from(m, "zentra_lumara_gov.entities.foundation_model",
                   {"AWSBedrockFoundationModel", "AzureOpenAIFoundationModel", "CustomFoundationModel",
                    "GoogleAIStudioFoundationModel", "LmAIFoundationModel", "LmoAIGateway",
                    "OpenAIFoundationModel", "PortKeyGateway", "VertexAIFoundationModel"});
  zlg::import_from(m, "zentra_lumara_gov.entities.llm_judge", {"LLMJudge"});
  zlg::import_from(m, "zentra_lumara_gov.entities.metric_threshold", {"MetricThreshold"});
  zlg::import_from(m, "zentra_lumara_gov.entities.record_columns", {"RecordColumns"});
  zlg::import_from(m, "zentra_lumara_gov.providers.inference_engines.custom_inference_engine",
                   {"CustomFunctionInferenceEngine"});
  zlg::import_from(m, "zentra_lumara_gov.providers.inference_engines.lmo_ai_gateway_inference_engine",
                   {"LmoAIGatewayInferenceEngine"});
  zlg::import_from(m, "zentra_lumara_gov.providers.inference_engines.portkey_inference_engine",
                   {"PortKeyInferenceEngine"});
  zlg::import_from(m, "zentra_lumara_gov.utils.async_util", {"start_event_loop_run_func"});
  zlg::import_from(m, "zentra_lumara_gov.utils.environment", {"get_talyx_enable_inference_cache"});
  zlg::import_from(m, "zentra_lumara_gov.utils.progress", {"progress_sink"});
  zlg::import_from(m, "zentra_lumara_gov.utils.python_utils", {"transform_str_to_list"});

  // The library, through a lazy module that is loaded at once: taking the
  // nine names resolves every import, and a failing one aborts this load.
  nb::object tallyx_imports = ns["LazyModule"](
      "from tallyx.formats import ChatAPIFormat, Format",
      "from tallyx.inference import AzureOpenAIInferenceEngine, OpenAiInferenceEngine, "
      "VMLInferenceEngineGeneration, LiteLLMInferenceEngine",
      "from tallyx.llm_as_judge import TaskBasedLLMasJudge",
      "from tallyx.operator import SequentialOperator", "from tallyx.stream import MultiStream",
      "name"_a = "lazy_tallyx");
  ns["load"](tallyx_imports);
  ns["tallyx_imports"] = tallyx_imports;
  for (const char *name :
       {"ChatAPIFormat", "Format", "VMLInferenceEngineGeneration", "OpenAiInferenceEngine",
        "AzureOpenAIInferenceEngine", "TaskBasedLLMasJudge", "SequentialOperator", "MultiStream",
        "LiteLLMInferenceEngine"}) {
    ns[name] = tallyx_imports.attr(name);
  }
  zlg::import_from(m, "tallyx.logging_utils", {"set_verbosity"});
  // The library logs warnings and errors only.
  ns["set_verbosity"]("warning");

  // Metric name -> judge template name.
  nb::dict templates;
  templates["faithfulness"] = "judge_with_question_simplified";
  templates["context_relevance"] = "judge_context_relevance_ares";
  templates["answer_correctness"] = "judge_loose_match_no_context";
  templates["answer_relevance"] = "judge_answer_relevance";
  ns["METRIC_TO_TEMPLATE"] = templates;

  // At most 128 judge engines, each kept for an hour, behind one lock.
  ns["_inference_engine_cache"] = ns["TTLCache"]("maxsize"_a = 128, "ttl"_a = 3600);
  ns["_inference_engine_cache_lock"] = ns["threading"].attr("Lock")();

  ns["TallyxColumnMapping"] = build_column_mapping(ns);
  ns[kClassName] = build_provider_class(ns);

  FunctionInfo patch_info;
  patch_info.name = "patch_bertscore_overflow";
  patch_info.module = module_name;
  patch_info.doc =
      "Clamp an oversized model_max_length of the tokenizers bert_score hands out (once per "
      "process; nothing to do without bert_score).";
  patch_info.signature = zlg::Signature(std::vector<Param>{}, "None");
  ns["patch_bertscore_overflow"] = zlg::make_function(std::move(patch_info), patch_bertscore_overflow);
}
