// zentra_lumara_gov.providers.screener_provider
//
// ScreenerProvider computes safety, relevance and tool-call metrics by calling
// the detection service over HTTP: the record table becomes one JSON request
// body per record, all bodies are posted at once over one aiohttp session
// (transient 502/503/504 answers are retried with exponential back-off), and
// the answers become one RecordMetricResult per record and one
// AggregateMetricResult for the metric.
//
// Everything the provider reads from outside (asyncio, json, aiohttp, the
// result records, the module constants) is a module global read at call time,
// and the class attributes are read through `self` at call time, so callers
// may replace any of them.
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "common/progress.h"
#include "common/zlg.h"

namespace nb = nanobind;
using zlg::Args;
using zlg::Coroutine;
using zlg::FunctionInfo;
using zlg::Param;

namespace {

constexpr const char *kModule = "zentra_lumara_gov.providers.screener_provider";
constexpr const char *kClass = "ScreenerProvider";
constexpr const char *kErrorPrefix = "Error while computing metrics: ";

// The module's namespace, read at call time.
zlg::Globals global;

// A Python str made once per call site and never released, for dictionary
// keys, constant values and global names on the hot paths (a C string would
// become a new str on every use).
#define ZSTR(text)                                                  \
  ([]() -> nb::handle {                                             \
    static const nb::handle interned = zlg::intern(text).release(); \
    return interned;                                                \
  }())

using zlg::call_with_keywords;
using zlg::checked;
using zlg::contains;
using zlg::equals;
using zlg::formatted;
using zlg::getitem;
using zlg::is_instance;
using zlg::setitem;
using zlg::truthy;
using zlg::unpack_pair;

// dict[key] = value, for a dict of ours.
void set_key(nb::handle dict, nb::handle key, nb::handle value) {
  if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
}

std::string type_of(nb::handle obj) { return zlg::type_text_of(obj); }

// The argument checks of the annotated signatures.
void require_list(nb::handle value, const char *name) {
  if (!PyList_Check(value.ptr()))
    zlg::raise(PyExc_TypeError, std::string("argument \"") + name + "\" must be a list, not " +
                                    type_of(value));
}

void require_list_or_none(nb::handle value, const char *name) {
  if (!value.is_none() && !PyList_Check(value.ptr()))
    zlg::raise(PyExc_TypeError, std::string("argument \"") + name +
                                    "\" must be a list or None, not " + type_of(value));
}

// Interned attribute names of the hot paths (leaked with the module).
struct Names {
  PyObject *base_url, *verify, *clv_client, *authenticator, *service_instance_id, *metric_name,
      *metric_method, *metric_display_name, *metric_group, *thresholds, *detector_params,
      *configuration, *send_with_retries, *retry_count, *retry_codes, *back_off, *status, *text,
      *post, *loads, *dumps, *sleep, *gather, *value, *code, *message_en, *error, *detections,
      *score, *evidence, *start, *end, *get_headers, *get_additional_info, *pre_process_data,
      *compute_metric, *post_process, *get_json_payloads;
};
Names names;

// An interned name kept for the life of the process.
PyObject *leaked_name(const std::string &text) { return zlg::intern(text.c_str()).release().ptr(); }

nb::object attr(nb::handle obj, PyObject *name) {
  return checked(PyObject_GetAttr(obj.ptr(), name));
}

void set_attr(nb::handle obj, const char *name, nb::handle value) {
  if (PyObject_SetAttrString(obj.ptr(), name, value.ptr()) < 0) throw nb::python_error();
}

// --- Part of the constructor: endpoints, instance id, headers, detector names ---------

// ScreenerProvider.__init__(self, configuration, metric_name, metric_display_name,
//                           metric_method=None, metric_group=None, thresholds=[], **kwargs)
nb::object init(const Args &a) {
  nb::handle self = a[0], configuration = a[1], metric_name = a[2], metric_display_name = a[3],
             metric_method = a[4], metric_group = a[5], thresholds = a[6], kwargs = a[7];

  // The annotated argument types, checked before anything else happens.
  if (!PyUnicode_Check(metric_name.ptr()))
    zlg::raise(PyExc_TypeError,
               std::string("argument \"metric_name\" must be str, not ") + type_of(metric_name));
  if (!PyUnicode_Check(metric_display_name.ptr()))
    zlg::raise(PyExc_TypeError, std::string("argument \"metric_display_name\" must be str, not ") +
                                    type_of(metric_display_name));
  if (!metric_method.is_none() && !PyUnicode_Check(metric_method.ptr()))
    zlg::raise(PyExc_TypeError, std::string("argument \"metric_method\" must be str or None, not ") +
                                    type_of(metric_method));
  require_list(thresholds, "thresholds");

  // 1. A service client is required.
  PyObject *api_client_ptr = PyDict_GetItemString(kwargs.ptr(), "api_client");  // borrowed
  nb::object api_client = api_client_ptr ? nb::borrow(api_client_ptr) : nb::none();
  if (!truthy(api_client)) {
    zlg::raise(PyExc_ValueError,
               zlg::format_text("Zentra Lumara Governance SDK must be initialized to compute %U "
                                "using %U. Please initialize the client to proceed, or remove "
                                "this metric from the evaluation.",
                                zlg::format_of(metric_name).ptr(),
                                zlg::format_of(metric_method).ptr()));
  }

  // 2. ... with a monitoring-service client, which carries the instance id.
  if (!is_instance(attr(api_client, names.clv_client), global(ZSTR("CLVClient")))) {
    zlg::raise(PyExc_ValueError,
               zlg::format_text("lumara.governance service instance id is required to compute %U "
                                "using %U. You can set the service instance ID using the "
                                "`LMG_SERVICE_INSTANCE_ID` environment variable in the notebook "
                                "and retry.",
                                zlg::format_of(metric_name).ptr(),
                                zlg::format_of(metric_method).ptr()));
  }

  // 3. The endpoint template of the metric, filled with the service address.
  nb::object format =
      self.attr(zlg::mangle(kClass, "__get_base_url").c_str())(metric_name).attr("format");
  nb::object service_url = self.attr("get_detector_url")(api_client);
  set_attr(self, "base_url", format(service_url));

  // 4. The metric's identity.
  set_attr(self, "configuration", configuration);
  set_attr(self, "configuration_", nb::dict());
  set_attr(self, "metric_name", metric_name);
  set_attr(self, "metric_display_name", metric_display_name);
  set_attr(self, "metric_method", metric_method);
  set_attr(self, "metric_group", metric_group);

  // 5. The service instance id of the monitoring client.
  set_attr(self, "service_instance_id", self.attr("get_service_instance_id")(api_client));

  // 6.
  set_attr(self, "thresholds", thresholds);
  PyObject *detector_params = PyDict_GetItemString(kwargs.ptr(), "detector_params");  // borrowed
  set_attr(self, "detector_params", detector_params ? nb::handle(detector_params) : nb::none());
  return nb::none();
}

nb::object get_base_url(const Args &a) {
  nb::handle metric_name = a[1];
  if (equals(metric_name, ZSTR("answer_relevance")))
    return nb::str("{}/ml/v1/text/detection/generated?version=2023-10-25");
  if (equals(metric_name, ZSTR("context_relevance")) || equals(metric_name, ZSTR("faithfulness")))
    return nb::str("{}/ml/v1/text/detection/context?version=2023-10-25");
  if (equals(metric_name, ZSTR("tool_call_accuracy")))
    return nb::str("{}/ml/v1/text/detection/chat?version=2023-10-25");
  return nb::str("{}/ml/v1/text/detection?version=2023-10-25");
}

nb::object get_detector_url(const Args &a) {
  nb::handle self = a[0], api_client = a[1];
  set_attr(self, "clv_client", attr(api_client, names.clv_client));
  nb::object credentials = api_client.attr("credentials");
  set_attr(self, "verify", nb::bool_(!truthy(credentials.attr("disable_ssl"))));
  // An installation on premises names its own service address.
  if (truthy(credentials.attr("version"))) return credentials.attr("url");
  // The hosted platform: the ML service of the region of the monitoring service.
  nb::object table = nb::module_::import_("zentra_lumara_gov.utils.endpoint_table").attr("CLV_ENDPOINT_TABLE");
  return table.attr("get")(credentials.attr("url")).attr("vml_url");
}

nb::object get_service_instance_id(const Args &a) {
  nb::handle self = a[0], api_client = a[1];
  set_attr(self, "clv_client", attr(api_client, names.clv_client));
  return attr(attr(self, names.clv_client), names.service_instance_id);
}

// A new mapping per call: the bearer token is fetched anew every time.
nb::object get_headers(const Args &a) {
  nb::handle self = a[0];
  nb::dict headers;
  set_key(headers, ZSTR("Content-Type"), ZSTR("application/json"));
  nb::object token = global(ZSTR("get_authenticator_token"))(
      attr(attr(self, names.clv_client), names.authenticator));
  // f"Bearer {token}"
  nb::object bearer = checked(PyUnicode_Concat(
      ZSTR("Bearer ").ptr(), checked(PyObject_Format(token.ptr(), nullptr)).ptr()));
  set_key(headers, ZSTR("Authorization"), bearer);
  set_key(headers, ZSTR("x-governance-instance-id"), attr(self, names.service_instance_id));
  set_key(headers, ZSTR("origin"), ZSTR("sdk"));
  return headers;
}

nb::object set_metric_name(const Args &a) {
  nb::handle self = a[0];
  nb::object metric_name = nb::borrow(a[1]);
  if (equals(attr(self, names.metric_name), ZSTR("prompt_safety_risk")) &&
      equals(attr(self, names.metric_method), ZSTR("basalt_guardian")))
    metric_name = nb::str("harm");
  // Every guardian-model risk is scored by the one guardian detector.
  nb::list risks;
  for (nb::handle risk : global(ZSTR("BasaltGuardianRisks"))) risks.append(attr(risk, names.value));
  if (contains(risks, metric_name)) return nb::str("basalt_guardian");
  return metric_name;
}

// --- Request payloads ----------------------------------------------------------------

nb::object column_list(nb::handle data, nb::handle column) {
  return getitem(data, column).attr("to_list")();
}

nb::object pre_process_data(const Args &a) {
  nb::handle self = a[0], data = a[1];
  nb::object configuration = attr(self, names.configuration);
  nb::object metric_name = attr(self, names.metric_name);

  // 1. The first input column; the other contents only where the metric needs them.
  nb::object input_contents =
      column_list(data, getitem(configuration.attr("input_fields"), nb::int_(0)));
  nb::object output_contents = nb::none(), context_contents = nb::none(),
             tools_catalog_content = nb::none(), tool_calls_content = nb::none();

  // 2.
  if (equals(metric_name, ZSTR("answer_relevance")) || equals(metric_name, ZSTR("faithfulness")))
    output_contents = column_list(data, getitem(configuration.attr("output_fields"), nb::int_(0)));

  // 3. Several context columns give a list per record; one column is parsed per cell.
  if (equals(metric_name, ZSTR("context_relevance")) || equals(metric_name, ZSTR("faithfulness"))) {
    nb::object context_fields = configuration.attr("context_fields");
    Py_ssize_t count = PyObject_Size(context_fields.ptr());
    if (count < 0) throw nb::python_error();
    if (count > 1) {
      context_contents = getitem(data, context_fields).attr("values").attr("tolist")();
    } else if (count == 1) {
      nb::object transform = global(ZSTR("transform_str_to_list"));
      nb::list contexts;
      for (nb::handle value : column_list(data, getitem(context_fields, nb::int_(0))))
        contexts.append(transform(value));
      context_contents = contexts;
    }
  }

  // 4.
  if (equals(metric_name, ZSTR("tool_call_accuracy"))) {
    tools_catalog_content = self.attr("get_tools_catalog_content")();
    tool_calls_content = self.attr("get_tool_calls_content")(data);
  }

  // 5.
  nb::object api_payloads = attr(self, names.get_json_payloads)(
      input_contents, output_contents, context_contents, tools_catalog_content,
      tool_calls_content);

  // 6.
  nb::object record_ids = column_list(data, configuration.attr("record_id_field"));
  return nb::make_tuple(api_payloads, record_ids);
}

// A list to pair; None (the only other value the argument checks let through)
// fails as zip() would: "'NoneType' object is not iterable".
void require_pairable(nb::handle contents) {
  if (!PyList_Check(contents.ptr())) checked(PyObject_GetIter(contents.ptr()));
}

enum class BodyKind { generated, context_input, context_output, chat, text };

nb::object get_json_payloads(const Args &a) {
  nb::handle self = a[0], input_contents = a[1], output_contents = a[2], context_contents = a[3],
             tools_catalog_content = a[4], tool_calls_content = a[5];
  require_list(input_contents, "input_contents");
  require_list_or_none(output_contents, "output_contents");
  require_list_or_none(context_contents, "context_contents");
  require_list_or_none(tools_catalog_content, "tools_catalog_content");
  require_list_or_none(tool_calls_content, "tool_calls_content");

  // The detector block: {detector name: its parameters, or an empty mapping}.
  nb::object detector_name = self.attr("set_metric_name")(attr(self, names.metric_name));
  nb::object detector_params = attr(self, names.detector_params);
  bool has_params = PyDict_Check(detector_params.ptr()) && PyDict_Size(detector_params.ptr()) > 0;
  nb::dict detectors;
  if (PyDict_SetItem(detectors.ptr(), detector_name.ptr(),
                     has_params ? detector_params.ptr() : nb::dict().ptr()) < 0)
    throw nb::python_error();

  nb::object metric_name = attr(self, names.metric_name);
  BodyKind kind = BodyKind::text;
  nb::handle first = input_contents, second;
  if (equals(metric_name, ZSTR("answer_relevance"))) {
    kind = BodyKind::generated, second = output_contents;
  } else if (equals(metric_name, ZSTR("context_relevance"))) {
    kind = BodyKind::context_input, second = context_contents;
  } else if (equals(metric_name, ZSTR("faithfulness"))) {
    kind = BodyKind::context_output, first = output_contents, second = context_contents;
  } else if (equals(metric_name, ZSTR("tool_call_accuracy"))) {
    kind = BodyKind::chat, second = tool_calls_content;
  }

  // Pair the lists as zip() does, stopping at the shorter one.
  bool paired = kind != BodyKind::text;
  require_pairable(first);
  if (paired) require_pairable(second);

  nb::object dumps = attr(global(ZSTR("json")), names.dumps);
  nb::str docs("docs"), user("user"), assistant("assistant");
  nb::list bodies;
  // The sizes are read each round: dumps() runs Python code that could change the lists.
  for (Py_ssize_t index = 0;; ++index) {
    if (index >= PyList_Size(first.ptr()) ||
        (paired && index >= PyList_Size(second.ptr())))
      break;
    nb::object one = nb::borrow(PyList_GetItem(first.ptr(), index));
    nb::object two = paired ? nb::borrow(PyList_GetItem(second.ptr(), index)) : nb::object();
    nb::dict body;
    set_key(body, ZSTR("detectors"), detectors);
    switch (kind) {
      case BodyKind::generated:
        set_key(body, ZSTR("prompt"), one);
        set_key(body, ZSTR("generated_text"), two);
        break;
      case BodyKind::context_input:
      case BodyKind::context_output:
        set_key(body, ZSTR("input"), one);
        set_key(body, ZSTR("context_type"), docs);
        set_key(body, ZSTR("context"), two);
        break;
      case BodyKind::chat: {
        nb::dict question, answer;
        set_key(question, ZSTR("content"), one);
        set_key(question, ZSTR("role"), user);
        set_key(answer, ZSTR("tool_calls"), two);
        set_key(answer, ZSTR("role"), assistant);
        nb::list messages;
        messages.append(question);
        messages.append(answer);
        set_key(body, ZSTR("messages"), messages);
        set_key(body, ZSTR("tools"), tools_catalog_content);
        break;
      }
      case BodyKind::text:
        set_key(body, ZSTR("input"), one);
        break;
    }
    bodies.append(dumps(body));
  }
  return bodies;
}

// The tool calls of every record, with text arguments parsed.
//
// The caller's table and the tool-call mappings in it are left as they are:
// parsed values are new objects, and a tool call whose arguments need parsing
// is copied (with its "function" mapping) before the parsed arguments go in.
nb::object get_tool_calls_content(const Args &a) {
  nb::handle self = a[0], data = a[1];
  nb::list tool_calls_content;
  nb::object field = attr(self, names.configuration).attr("tool_calls_field");
  if (!truthy(field)) return tool_calls_content;

  // Every text cell is parsed first, so a bad cell fails before any extraction.
  nb::object loads = attr(global(ZSTR("json")), names.loads);
  nb::list cells;
  for (nb::handle value : column_list(data, field))
    cells.append(PyUnicode_Check(value.ptr()) ? loads(value) : nb::borrow(value));

  nb::object extract = global(ZSTR("ToolCallMetricProvider")).attr("extract_tool_calls_from_response");
  nb::str function_key("function"), arguments_key("arguments");
  for (nb::handle cell : cells) {
    nb::object tool_calls = extract(cell);
    nb::list parsed_calls;
    bool changed = false;
    for (nb::handle tool_call : tool_calls) {
      nb::object function = getitem(tool_call, function_key);
      nb::object arguments = getitem(function, arguments_key);
      if (!PyUnicode_Check(arguments.ptr())) {
        parsed_calls.append(tool_call);
        continue;
      }
      nb::object parsed = loads(arguments);
      nb::object call_copy = checked(PyDict_New());
      if (PyDict_Merge(call_copy.ptr(), tool_call.ptr(), 1) < 0) throw nb::python_error();
      nb::object function_copy = checked(PyDict_New());
      if (PyDict_Merge(function_copy.ptr(), function.ptr(), 1) < 0) throw nb::python_error();
      setitem(function_copy, arguments_key, parsed);
      setitem(call_copy, function_key, function_copy);
      parsed_calls.append(call_copy);
      changed = true;
    }
    // The extractor's own list when nothing needed parsing, as the caller expects.
    tool_calls_content.append(changed ? nb::object(parsed_calls) : tool_calls);
  }
  return tool_calls_content;
}

// The catalogue is always a list when the configuration names any tools: a
// lone tool (one schema mapping, or one tool function) is the catalogue of
// that one tool, and a tuple of tools is taken as the list of them, so none
// of them is lost on the way to the service's "tools" list.
nb::object get_tools_catalog_content(const Args &a) {
  nb::handle self = a[0];
  nb::object tools = attr(self, names.configuration).attr("tools");
  if (PyDict_Check(tools.ptr()) || PyCallable_Check(tools.ptr())) {
    nb::list one;
    one.append(tools);
    tools = one;
  } else if (PyTuple_Check(tools.ptr())) {
    tools = checked(PySequence_List(tools.ptr()));
  }
  if (!PyList_Check(tools.ptr())) return tools;
  for (nb::handle tool : tools)
    if (!PyCallable_Check(tool.ptr())) return tools;
  nb::list catalogue;
  nb::object schemas = global(ZSTR("ToolCallMetricProvider")).attr("get_tools_list_schema")(tools);
  for (nb::handle schema : schemas) catalogue.append(schema.attr("model_dump")());
  return catalogue;
}

// --- Dispatch and retries ------------------------------------------------------------------

// evaluate(self, data): the blocking form of evaluate_async.
nb::object evaluate(const Args &a) {
  nb::handle self = a[0], data = a[1];
  nb::dict kwargs;
  set_key(kwargs, ZSTR("data"), data);
  nb::object run = global(ZSTR("run_in_event_loop"));
  return checked(PyObject_Call(run.ptr(), nb::make_tuple(self.attr("evaluate_async")).ptr(),
                               kwargs.ptr()));
}

Coroutine evaluate_async(nb::object self, nb::object data) {
  try {
    nb::dict kwargs;
    set_key(kwargs, ZSTR("data"), data);
    auto [api_payloads, record_ids] =
        unpack_pair(call_with_keywords(attr(self, names.pre_process_data), kwargs));
    nb::object results = co_await attr(self, names.compute_metric)(api_payloads);
    co_return attr(self, names.post_process)(results, record_ids);
  } catch (...) {
    nb::python_error caught = zlg::current_python_error();
    if (!caught.matches(PyExc_Exception)) throw;
    // One plain exception for every failure; the cause stays its context only
    // (also of an error raised while the message is made).
    zlg::HandlingScope handling(caught.value());
    nb::object name = zlg::format_of(attr(self, names.metric_name));
    zlg::raise_in_handler(
        PyExc_Exception,
        zlg::format_text("%s%U. Reason: %S", kErrorPrefix, name.ptr(), caught.value().ptr()), caught);
  }
}

// await request, then count it answered: the progress of one request.
Coroutine counted(nb::object request, nb::object one_answered) {
  nb::object answer = co_await request;
  one_answered();
  co_return answer;
}

// The body of compute_metric's `async with session`: every request, gathered.
// extra: (self, api_payloads, one_answered), one_answered None unless progress is reported.
Coroutine send_all(nb::object session, nb::tuple extra) {
  nb::handle self(PyTuple_GetItem(extra.ptr(), 0)), api_payloads(PyTuple_GetItem(extra.ptr(), 1));
  nb::handle one_answered(PyTuple_GetItem(extra.ptr(), 2));
  nb::object gathered;
  {
    // Only the gather holds the requests while the frame waits.
    nb::list requests;
    try {
      for (nb::handle payload : api_payloads) {
        nb::object request = attr(self, names.send_with_retries)(payload, session);
        if (!one_answered.is_none())
          request = counted(std::move(request), nb::borrow(one_answered))
                        .to_python("counted", "ScreenerProvider.__compute_metric.<locals>.counted");
        requests.append(request);
      }
    } catch (...) {
      // Requests made so far will never run: close them so none is left unawaited.
      for (nb::handle request : requests) request.attr("close")();
      throw;
    }
    nb::dict kwargs;
    set_key(kwargs, ZSTR("return_exceptions"), nb::bool_(true));
    gathered = checked(PyObject_Call(attr(global(ZSTR("asyncio")), names.gather).ptr(),
                                     nb::tuple(requests).ptr(), kwargs.ptr()));
  }
  co_return co_await std::move(gathered);
}

Coroutine compute_metric(nb::object self, nb::object api_payloads) {
  // Progress, when reported, counts answered requests.
  nb::object one_answered = nb::none();
  nb::object sink = zlg::progress_sink(global(ZSTR("progress_sink")));
  if (!sink.is_none()) {
    Py_ssize_t total = PyObject_Length(api_payloads.ptr());
    if (total < 0) throw nb::python_error();
    one_answered = sink.attr("counter")(attr(self, names.metric_name), total);
  }
  // One session, with the library's defaults, closed on every way out.
  nb::object session_manager = global(ZSTR("aiohttp")).attr("ClientSession")();
  co_return co_await zlg::async_with(std::move(session_manager), send_all,
                                     nb::make_tuple(self, api_payloads, one_answered));
}

nb::object error_answer(nb::handle code, nb::handle message) {
  nb::dict fields;
  set_key(fields, ZSTR("code"), code);
  set_key(fields, ZSTR("message_en"), message);
  nb::dict answer;
  set_key(answer, ZSTR("error"), call_with_keywords(global(ZSTR("Error")), fields));
  return answer;
}

// The body of one attempt's `async with request as response:` (extra:
// (self, attempt)): (answer,) when the attempt settles the record, None when
// the record is to be tried again.
Coroutine read_response(nb::object response, nb::tuple extra) {
  nb::handle self(PyTuple_GetItem(extra.ptr(), 0)), attempt(PyTuple_GetItem(extra.ptr(), 1));
  nb::object status = attr(response, names.status);
  nb::object text = co_await attr(response, names.text)();
  nb::object loads = attr(global(ZSTR("json")), names.loads);
  int ok = PyObject_RichCompareBool(status.ptr(), nb::int_(200).ptr(), Py_EQ);
  if (ok < 0) throw nb::python_error();
  if (ok) co_return nb::make_tuple(loads(text));
  bool retry = false;
  if (contains(attr(self, names.retry_codes), status)) {
    nb::object last =
        checked(PyNumber_Subtract(attr(self, names.retry_count).ptr(), nb::int_(1).ptr()));
    int before_last = PyObject_RichCompareBool(attempt.ptr(), last.ptr(), Py_LT);
    if (before_last < 0) throw nb::python_error();
    retry = before_last == 1;
  }
  if (!retry) co_return nb::make_tuple(error_answer(nb::str(status), nb::str(loads(text))));
  // Back off BACK_OFF_FACTOR * 2 ** attempt seconds, then try again.
  nb::object power = checked(PyNumber_Power(nb::int_(2).ptr(), attempt.ptr(), Py_None));
  nb::object delay = checked(PyNumber_Multiply(attr(self, names.back_off).ptr(), power.ptr()));
  co_await attr(global(ZSTR("asyncio")), names.sleep)(delay);
  co_return nb::none();
}

Coroutine send_with_retries(nb::object self, nb::object payload, nb::object session) {
  nb::object attempts = checked(PyObject_GetIter(
      global(ZSTR("range"))(attr(self, names.retry_count)).ptr()));
  while (true) {
    PyObject *next = PyIter_Next(attempts.ptr());
    if (!next) {
      if (PyErr_Occurred()) throw nb::python_error();
      break;
    }
    nb::object attempt = nb::steal(next);
    nb::object answer;
    try {
      nb::object post = attr(session, names.post);
      nb::dict kwargs;
      set_key(kwargs, ZSTR("url"), attr(self, names.base_url));
      set_key(kwargs, ZSTR("headers"), attr(self, names.get_headers)());  // a fresh token per attempt
      set_key(kwargs, ZSTR("data"), payload);
      set_key(kwargs, ZSTR("ssl"), attr(self, names.verify));
      nb::object request = call_with_keywords(post, kwargs);
      // async with request as response: ... (a swallowed failure ends the
      // attempt like the body's end: the record is tried again)
      nb::object settled = co_await zlg::async_with(std::move(request), read_response,
                                                    nb::make_tuple(self, attempt));
      if (!settled.is_none()) answer = nb::borrow(PyTuple_GetItem(settled.ptr(), 0));
    } catch (...) {
      nb::python_error caught = zlg::current_python_error();
      if (!caught.matches(PyExc_Exception)) throw;
      // Connection failures, bodies that are not JSON and the like are never retried.
      answer = error_answer(nb::str("REQUEST_FAILED"), nb::str(caught.value()));
    }
    if (answer.is_valid()) co_return answer;
  }
  co_return nb::none();
}

// --- Post-processing ----------------------------------------------------------------

// max(items) by Python's comparison: the first of the largest.
nb::object largest(nb::handle items) {
  nb::object best;
  for (nb::handle candidate : items) {
    if (!best.is_valid()) {
      best = nb::borrow(candidate);
      continue;
    }
    int greater = PyObject_RichCompareBool(candidate.ptr(), best.ptr(), Py_GT);
    if (greater < 0) throw nb::python_error();
    if (greater) best = nb::borrow(candidate);
  }
  if (!best.is_valid()) zlg::raise(PyExc_ValueError, "max() iterable argument is empty");
  return best;
}

nb::object post_process(const Args &a) {
  nb::handle self = a[0], results = a[1], record_ids = a[2];
  require_list(results, "results");
  require_list(record_ids, "record_ids");

  nb::object metric_name = attr(self, names.metric_name);
  nb::object metric_method = attr(self, names.metric_method);
  nb::object display_name = attr(self, names.metric_display_name);
  nb::object group = attr(self, names.metric_group);
  nb::object thresholds = attr(self, names.thresholds);
  nb::object provider = global(ZSTR("EvaluationProvider")).attr("DETECTORS").attr("value");
  nb::object record_result = global(ZSTR("RecordMetricResult"));
  nb::object error_type = global(ZSTR("Error"));
  nb::object round_ = global(ZSTR("round"));
  nb::int_ places(4);

  bool accuracy = contains(global(ZSTR("ACCURACY_METRICS")), metric_name);
  bool with_evidences =
      contains(global(ZSTR("EVIDENCES")), metric_name) ||
      (contains(global(ZSTR("RAG_EVIDENCE_METRICS")), metric_name) &&
       contains(global(ZSTR("RAG_SMALL_MODELS")), metric_method));
  nb::object record_name = metric_name;
  if (equals(metric_name, ZSTR("keyword")))
    record_name = nb::str("keyword_detection");
  else if (equals(metric_name, ZSTR("regex")))
    record_name = nb::str("regex_detection");

  // With the SDK's own result classes the record results are kept as columns
  // (ids, values, errors, evidences) and made into objects only when read.
  // A record whose fields are not already of their stored types is validated
  // by making its object once, and its validated fields are kept.
  nb::module_ own = nb::module_::import_("zentra_lumara_gov.entities.evaluation_result");
  bool as_columns = record_result.is(own.attr("RecordMetricResult")) &&
                    global(ZSTR("AggregateMetricResult")).is(own.attr("AggregateMetricResult"));
  nb::list column_ids, column_values, column_errors, column_evidences;
  bool any_errors = false, any_evidences = false;
  auto keep = [&](nb::handle kwargs, nb::handle record_id, nb::handle value, nb::handle record_errors,
                  nb::handle evidences) {
    bool plain = PyUnicode_CheckExact(record_id.ptr()) &&
                 (value.is_none() || PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr())) &&
                 (!evidences.is_valid() || PyList_CheckExact(evidences.ptr()));
    if (!plain) {
      nb::object validated = call_with_keywords(record_result, kwargs);
      column_ids.append(validated.attr("record_id"));
      column_values.append(validated.attr("value"));
      column_errors.append(validated.attr("errors"));
      column_evidences.append(validated.attr("evidences"));
      any_errors |= !validated.attr("errors").is_none();
      any_evidences |= !validated.attr("evidences").is_none();
      return;
    }
    column_ids.append(record_id);
    column_values.append(PyLong_CheckExact(value.ptr()) ? checked(PyNumber_Float(value.ptr()))
                                                        : nb::borrow(value));
    column_errors.append(record_errors.is_valid() ? nb::borrow(record_errors) : nb::none());
    column_evidences.append(evidences.is_valid() ? nb::borrow(evidences) : nb::none());
    any_errors |= record_errors.is_valid();
    any_evidences |= evidences.is_valid();
  };

  nb::list record_results, values, errors;
  // Pairwise, stopping at the shorter list (sizes re-read: the loop runs Python code).
  for (Py_ssize_t index = 0;; ++index) {
    if (index >= PyList_Size(results.ptr()) || index >= PyList_Size(record_ids.ptr())) break;
    nb::object result = nb::borrow(PyList_GetItem(results.ptr(), index));
    nb::object record_id = nb::borrow(PyList_GetItem(record_ids.ptr(), index));

    // 2.1 The keywords every record result shares.
    nb::dict kwargs;
    set_key(kwargs, ZSTR("name"), record_name);
    set_key(kwargs, ZSTR("display_name"), display_name);
    set_key(kwargs, ZSTR("method"), metric_method);
    set_key(kwargs, ZSTR("provider"), provider);
    set_key(kwargs, ZSTR("group"), group);
    set_key(kwargs, ZSTR("record_id"), record_id);
    set_key(kwargs, ZSTR("thresholds"), thresholds);

    // 2.2 A failed request: no value, and its error on the record and for the aggregate.
    if (contains(result, ZSTR("error"))) {
      auto make_error = [&] {
        nb::object error = getitem(result, ZSTR("error"));
        nb::dict fields;
        set_key(fields, ZSTR("code"), attr(error, names.code));
        set_key(fields, ZSTR("message_en"), nb::str(attr(error, names.message_en)));
        return call_with_keywords(error_type, fields);
      };
      set_key(kwargs, ZSTR("value"), nb::none());
      nb::list record_errors;
      record_errors.append(make_error());
      set_key(kwargs, ZSTR("errors"), record_errors);
      if (as_columns) {
        keep(kwargs, record_id, nb::none(), record_errors, nb::handle());
      } else {
        record_results.append(call_with_keywords(record_result, kwargs));
      }
      errors.append(make_error());
      continue;
    }

    // 2.3 The highest detection score (its complement for the accuracy metrics).
    nb::object detections = getitem(result, names.detections);
    nb::object value;
    if (truthy(detections)) {
      nb::list scores;
      for (nb::handle detection : detections) scores.append(getitem(detection, names.score));
      value = largest(scores);
      if (accuracy) value = checked(PyNumber_Subtract(nb::int_(1).ptr(), value.ptr()));
      value = round_(value, places);
    } else {
      value = nb::int_(accuracy ? 1 : 0);
    }

    // 2.4 / 2.5
    set_key(kwargs, ZSTR("value"), value);
    nb::object given_evidences;
    if (with_evidences) {
      nb::object evidences = attr(self, names.get_additional_info)(getitem(result, names.detections));
      if (truthy(evidences)) {
        set_key(kwargs, ZSTR("evidences"), evidences);
        given_evidences = evidences;
      }
    }
    if (as_columns) {
      keep(kwargs, record_id, value, nb::handle(), given_evidences);
    } else {
      record_results.append(call_with_keywords(record_result, kwargs));
    }
    values.append(value);
  }

  // 3. The aggregate over the records that succeeded.
  nb::object mean = nb::none(), minimum = nb::none(), maximum = nb::none(), value;
  bool succeeded = PyList_Size(values.ptr()) > 0;
  if (succeeded) {
    nb::object total = global(ZSTR("sum"))(values);
    nb::object average = checked(
        PyNumber_TrueDivide(total.ptr(), nb::int_(PyList_Size(values.ptr())).ptr()));
    mean = round_(average, places);
    minimum = global(ZSTR("min"))(values);
    maximum = global(ZSTR("max"))(values);
    value = mean;
  } else {
    value = nb::str("Error");
  }

  // 4. / 5.
  nb::dict kwargs;
  set_key(kwargs, ZSTR("name"), metric_name);
  set_key(kwargs, ZSTR("display_name"), display_name);
  set_key(kwargs, ZSTR("method"), metric_method);
  set_key(kwargs, ZSTR("group"), group);
  set_key(kwargs, ZSTR("provider"), provider);
  set_key(kwargs, ZSTR("value"), value);
  set_key(kwargs, ZSTR("total_records"), nb::int_(PyList_Size(results.ptr())));
  set_key(kwargs, ZSTR("record_level_metrics"), record_results);
  set_key(kwargs, ZSTR("min"), minimum);
  set_key(kwargs, ZSTR("max"), maximum);
  set_key(kwargs, ZSTR("mean"), mean);
  set_key(kwargs, ZSTR("thresholds"), thresholds);
  if (!succeeded) set_key(kwargs, ZSTR("errors"), errors);
  if (!as_columns) return call_with_keywords(global(ZSTR("AggregateMetricResult")), kwargs);

  nb::dict identity;
  set_key(identity, ZSTR("name"), record_name);
  set_key(identity, ZSTR("display_name"), display_name);
  set_key(identity, ZSTR("method"), metric_method);
  set_key(identity, ZSTR("group"), group);
  set_key(identity, ZSTR("provider"), provider);
  set_key(identity, ZSTR("thresholds"), thresholds);
  nb::dict fields;
  if (any_errors) set_key(fields, ZSTR("errors"), column_errors);
  if (any_evidences) set_key(fields, ZSTR("evidences"), column_evidences);
  nb::object columns = own.attr("RecordColumns")(identity, column_ids, column_values, fields);
  PyDict_DelItemString(kwargs.ptr(), "record_level_metrics");
  set_key(kwargs, ZSTR("columns"), columns);
  return call_with_keywords(global(ZSTR("AggregateMetricResult")).attr("from_columns"), kwargs);
}

nb::object get_additional_info(const Args &a) {
  nb::handle self = a[0], results = a[1];
  nb::list evidences;
  if (contains(global(ZSTR("RAG_EVIDENCE_METRICS")), attr(self, names.metric_name))) {
    // The RAG detectors give their evidence ranked: the first is the one kept.
    for (nb::handle detection : results)
      evidences.append(getitem(getitem(detection, names.evidence), nb::int_(0)));
  } else {
    for (nb::handle detection : results) {
      nb::dict evidence;
      set_key(evidence, ZSTR("text"), getitem(detection, names.text));
      set_key(evidence, ZSTR("score"), getitem(detection, names.score));
      set_key(evidence, ZSTR("start"), getitem(detection, names.start));
      set_key(evidence, ZSTR("end"), getitem(detection, names.end));
      evidences.append(evidence);
    }
  }
  return evidences;
}

// --- The class ---------------------------------------------------------------------------

FunctionInfo method(const char *name, std::vector<Param> params, const char *returns,
                    const char *doc) {
  params.insert(params.begin(), Param::required("self"));
  return FunctionInfo{name, "", kModule, doc, zlg::Signature(std::move(params), returns)};
}

nb::list texts(std::initializer_list<const char *> items) {
  nb::list result;
  for (const char *text : items) result.append(nb::str(text));
  return result;
}

}  // namespace

NB_MODULE(screener_provider, m) {
  global.bind(m);

  names = Names{
      leaked_name("base_url"), leaked_name("verify"), leaked_name("clv_client"), leaked_name("authenticator"),
      leaked_name("service_instance_id"), leaked_name("metric_name"), leaked_name("metric_method"),
      leaked_name("metric_display_name"), leaked_name("metric_group"), leaked_name("thresholds"),
      leaked_name("detector_params"), leaked_name("configuration"), leaked_name("send_with_retries"),
      leaked_name("RETRY_COUNT"), leaked_name("RETRY_AFTER_STATUS_CODES"), leaked_name("BACK_OFF_FACTOR"),
      leaked_name("status"), leaked_name("text"), leaked_name("post"), leaked_name("loads"), leaked_name("dumps"),
      leaked_name("sleep"), leaked_name("gather"), leaked_name("value"), leaked_name("code"), leaked_name("message_en"),
      leaked_name("error"), leaked_name("detections"), leaked_name("score"), leaked_name("evidence"), leaked_name("start"),
      leaked_name("end"), leaked_name(zlg::mangle(kClass, "__get_headers")),
      leaked_name(zlg::mangle(kClass, "__get_additional_info")),
      leaked_name(zlg::mangle(kClass, "__pre_process_data")),
      leaked_name(zlg::mangle(kClass, "__compute_metric")),
      leaked_name(zlg::mangle(kClass, "__post_process")),
      leaked_name(zlg::mangle(kClass, "__get_json_payloads")),
  };

  m.attr("__doc__") = nb::str(
      "Detection-service provider: safety, relevance and tool-call metrics computed by the\n"
      "detection service over HTTP, with bounded retries.");

  // What the module imports; read at call time through the module's namespace.
  m.attr("asyncio") = nb::module_::import_("asyncio");
  m.attr("json") = nb::module_::import_("json");
  m.attr("aiohttp") = nb::module_::import_("aiohttp");
  m.attr("CLVClient") = nb::module_::import_("zentra_vigil_clearview").attr("CLVClient");
  nb::module_ enums = nb::module_::import_("zentra_lumara_gov.entities.enums");
  m.attr("BasaltGuardianRisks") = enums.attr("BasaltGuardianRisks");
  m.attr("EvaluationProvider") = enums.attr("EvaluationProvider");
  m.attr("Error") = nb::module_::import_("zentra_lumara_gov.entities.base_classes").attr("Error");
  nb::module_ results = nb::module_::import_("zentra_lumara_gov.entities.evaluation_result");
  m.attr("RecordMetricResult") = results.attr("RecordMetricResult");
  m.attr("AggregateMetricResult") = results.attr("AggregateMetricResult");
  m.attr("run_in_event_loop") =
      nb::module_::import_("zentra_lumara_gov.utils.async_util").attr("run_in_event_loop");
  m.attr("progress_sink") = nb::module_::import_("zentra_lumara_gov.utils.progress").attr("progress_sink");
  nb::module_ python_utils = nb::module_::import_("zentra_lumara_gov.utils.python_utils");
  m.attr("get_authenticator_token") = python_utils.attr("get_authenticator_token");
  m.attr("transform_str_to_list") = python_utils.attr("transform_str_to_list");
  m.attr("ToolCallMetricProvider") =
      nb::module_::import_("zentra_lumara_gov.providers.tool_call_metric_provider")
          .attr("ToolCallMetricProvider");

  m.attr("ACCURACY_METRICS") = texts({"topic_relevance", "tool_call_accuracy"});
  m.attr("RAG_EVIDENCE_METRICS") = texts({"faithfulness", "context_relevance"});
  m.attr("RAG_SMALL_MODELS") = texts({"faithfulness_model", "context_relevance_model"});
  m.attr("EVIDENCES") = texts({"hap", "pii", "keyword", "regex"});

  nb::dict ns;
  ns["__doc__"] = nb::str(
      "Computes a metric by calling the detection service: one request per record, all sent\n"
      "at once over one HTTP session, transient failures retried with exponential back-off.");
  nb::list retry_codes;
  for (int code : {502, 503, 504}) retry_codes.append(nb::int_(code));
  set_key(ns, ZSTR("RETRY_AFTER_STATUS_CODES"), retry_codes);
  set_key(ns, ZSTR("RETRY_COUNT"), nb::int_(3));
  set_key(ns, ZSTR("BACK_OFF_FACTOR"), nb::int_(1));

  auto put = [&ns](const std::string &key, nb::object fn) { ns[key.c_str()] = fn; };
  auto put_private = [&ns](const char *name, nb::object fn) {
    ns[zlg::mangle(kClass, name).c_str()] = fn;
  };

  // One shared default list, as a Python default argument would be.
  nb::list no_thresholds;
  put("__init__",
      zlg::make_function(
          method("__init__",
                 {Param::required("configuration", "GenAIConfiguration"),
                  Param::required("metric_name", "str"),
                  Param::required("metric_display_name", "str"),
                  Param::optional("metric_method", nb::none(), "str | None"),
                  Param::optional("metric_group", nb::none(), "MetricGroup"),
                  Param::optional("thresholds", no_thresholds, "list[MetricThreshold]"),
                  Param::var_keyword("kwargs")},
                 "None",
                 "Checks the service client and sets up the endpoint, instance id and metric."),
          init));
  put("evaluate",
      zlg::make_function(method("evaluate", {Param::required("data", "pd.DataFrame")},
                                "AggregateMetricResult",
                                "Blocking form of evaluate_async."),
                         evaluate));
  put("evaluate_async",
      zlg::make_coroutine_function(
          method("evaluate_async", {Param::required("data", "pd.DataFrame")},
                 "AggregateMetricResult",
                 "Computes the metric over the record table by calling the detection service."),
          [](const Args &a) { return evaluate_async(nb::borrow(a[0]), nb::borrow(a[1])); }));
  put_private("__compute_metric",
              zlg::make_coroutine_function(
                  method("__compute_metric", {Param::required("api_payloads", "list[str]")}, "list",
                         "Posts every body at once over one session; the answers in body order."),
                  [](const Args &a) { return compute_metric(nb::borrow(a[0]), nb::borrow(a[1])); }));
  put("send_with_retries",
      zlg::make_coroutine_function(
          method("send_with_retries",
                 {Param::required("payload", "str"),
                  Param::required("session", "aiohttp.ClientSession")},
                 "dict",
                 "Posts one body, retrying 502, 503 and 504 with back-off; returns one answer."),
          [](const Args &a) {
            return send_with_retries(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2]));
          }));
  put("get_detector_url",
      zlg::make_function(method("get_detector_url", {Param::required("api_client", "APIClient")},
                                "str", "The address of the detection service."),
                         get_detector_url));
  put("get_service_instance_id",
      zlg::make_function(
          method("get_service_instance_id", {Param::required("api_client", "APIClient")}, "str",
                 "The service instance id of the monitoring client."),
          get_service_instance_id));
  put("set_metric_name",
      zlg::make_function(method("set_metric_name", {Param::required("metric_name", "str")}, "str",
                                "The detector name for a metric name."),
                         set_metric_name));
  put_private("__get_base_url",
              zlg::make_function(method("__get_base_url", {Param::required("metric_name", "str")},
                                        "str", "The endpoint template of a metric."),
                                 get_base_url));
  put_private("__get_headers",
              zlg::make_function(method("__get_headers", {}, "dict",
                                        "The request headers, with a freshly fetched token."),
                                 get_headers));
  put_private("__pre_process_data",
              zlg::make_function(
                  method("__pre_process_data", {Param::required("data", "pd.DataFrame")},
                         "tuple[list[str], list]", "The request bodies and the record ids."),
                  pre_process_data));
  put_private(
      "__get_json_payloads",
      zlg::make_function(
          method("__get_json_payloads",
                 {Param::required("input_contents", "list"),
                  Param::required("output_contents", "list | None"),
                  Param::required("context_contents", "list | None"),
                  Param::required("tools_catalog_content", "list | None"),
                  Param::required("tool_calls_content", "list | None")},
                 "list[str]", "One JSON request body per record."),
          get_json_payloads));
  put("get_tool_calls_content",
      zlg::make_function(method("get_tool_calls_content", {Param::required("data", "pd.DataFrame")},
                                "list", "The tool calls of every record, arguments parsed."),
                         get_tool_calls_content));
  put("get_tools_catalog_content",
      zlg::make_function(method("get_tools_catalog_content", {}, "list | Any",
                                "The tool catalogue sent with every tool-call request."),
                         get_tools_catalog_content));
  put_private("__post_process",
              zlg::make_function(method("__post_process",
                                        {Param::required("results", "list"),
                                         Param::required("record_ids", "list")},
                                        "AggregateMetricResult",
                                        "The record results and the aggregate of the answers."),
                                 post_process));
  put_private("__get_additional_info",
              zlg::make_function(method("__get_additional_info", {Param::required("results", "list")},
                                        "list", "The evidences of one answer's detections."),
                                 get_additional_info));

  m.attr(kClass) = zlg::make_class(kClass, kModule, nb::tuple(), ns);
}
