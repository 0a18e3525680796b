// The metric evaluation run: the entry of every metric computation.
//
// `_evaluate_metrics` (blocking) and `_evaluate_metrics_async` (a coroutine)
// take a configuration, a table of records and metric objects; they decide
// whether the run brings its own service client, normalise and check the
// table, stamp record ids and timestamps, complete the metric list with its
// dependencies and groups, let every metric compute itself, send one
// telemetry event per metric and return one MetricsEvaluationResult.
//
// Every module-level name (os, uuid, datetime, pd, APIClient, ...) is read
// from the module namespace at call time, as the Python functions would.
#include <nanobind/nanobind.h>

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/zlg.h"
#include "metric_run_impl/record_digests.h"

namespace nb = nanobind;
using zlg::Args;
using zlg::Coroutine;
using zlg::Param;

namespace {

constexpr const char *kModule = "zentra_lumara_gov.evaluators.impl.metric_run_impl";
constexpr const char *kEmptyDataMessage = "The provided data is empty for metrics computation.";
constexpr long kDefaultMaxConcurrency = 10;

zlg::Globals global;  // the module's namespace, read at call time

using zlg::contains;
using zlg::truthy;

// `metrics` and `metric_groups` must be exactly lists (a subclass is refused).
void require_exact_list(nb::handle value, const char *argument) {
  if (!PyList_CheckExact(value.ptr())) {
    zlg::raise(PyExc_TypeError, std::string("argument \"") + argument +
                                    "\" must be of type list, not " + zlg::type_text_of(value));
  }
}

// ------------------------------------------------------------------ record ids

// Fills `out` from the operating system's random source, as uuid4 does.
void fill_from_os_random(std::vector<unsigned char> &out) {
  size_t filled = 0;
  while (filled < out.size()) {
    ssize_t got = getrandom(out.data() + filled, out.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      PyErr_SetFromErrno(PyExc_OSError);
      throw nb::python_error();
    }
    filled += static_cast<size_t>(got);
  }
}

// A list of `count` fresh version-4 UUIDs in canonical text form: the values
// of `[str(uuid.uuid4()) for _ in range(count)]`, drawn in one read of the
// random source and formatted without creating UUID objects.
nb::object fresh_uuid_texts(size_t count) {
  std::vector<unsigned char> random(count * 16);
  fill_from_os_random(random);
  static constexpr char hex[] = "0123456789abcdef";
  PyObject *list = PyList_New(static_cast<Py_ssize_t>(count));
  if (!list) throw nb::python_error();
  nb::object owner = nb::steal(list);
  for (size_t i = 0; i < count; ++i) {
    unsigned char *bytes = random.data() + i * 16;
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    char out[36];
    size_t position = 0;
    for (size_t b = 0; b < 16; ++b) {
      if (b == 4 || b == 6 || b == 8 || b == 10) out[position++] = '-';
      out[position++] = hex[bytes[b] >> 4];
      out[position++] = hex[bytes[b] & 0x0f];
    }
    // The stable ABI cannot write into a new str: the text is copied in, by
    // the Latin-1 decoder, a plain copy and the fastest way in.
    PyObject *text = PyUnicode_DecodeLatin1(out, sizeof out, nullptr);
    if (!text) throw nb::python_error();
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), text);
  }
  return owner;
}

// True when `column` is not among the table's columns or holds only nulls.
bool needs_filling(nb::handle data, nb::handle column) {
  if (!contains(data.attr("columns").attr("to_list")(), column)) return true;
  return truthy(data[column].attr("isnull")().attr("all")());
}

// ------------------------------------------------------------------ private steps

nb::object validate_data(const Args &args) {
  nb::handle data = args[1];  // configuration (args[0]) is accepted, not used
  if (truthy(data.attr("empty"))) zlg::raise(PyExc_ValueError, kEmptyDataMessage);
  return nb::none();
}

nb::object populate_record_id_timestamp(const Args &args) {
  nb::handle configuration = args[0];
  nb::handle data = args[1];

  nb::object id_column = configuration.attr("record_id_field");
  if (needs_filling(data, id_column)) {
    size_t rows = nb::len(nb::object(data.attr("index")));
    data[id_column] = fresh_uuid_texts(rows);
  }

  nb::object timestamp_column = configuration.attr("record_timestamp_field");
  if (needs_filling(data, timestamp_column)) {
    data[timestamp_column] = global("datetime").attr("now")().attr("isoformat")();
  }
  return nb::none();
}

// ------------------------------------------------------------------ dependencies

// Names of the metrics now in `metrics`.
nb::object metric_names(nb::handle metrics) {
  nb::list names;
  for (nb::handle metric : metrics) names.append(metric.attr("name"));
  return names;
}

nb::object resolve_metric_dependencies(const Args &args) {
  nb::handle metrics = args[0];
  nb::handle metric_groups = args[1];
  require_exact_list(metrics, "metrics");
  require_exact_list(metric_groups, "metric_groups");

  // Dependencies not requested go in front, one level deep; the name list is
  // rebuilt for every candidate so a dependency is never added twice.
  nb::list all_metrics = nb::steal<nb::list>(PySequence_List(metrics.ptr()));
  for (nb::handle metric : metrics) {
    for (nb::handle dependency : metric.attr("metric_dependencies")) {
      if (!contains(metric_names(all_metrics), dependency.attr("name"))) {
        if (PyList_Insert(all_metrics.ptr(), 0, dependency.ptr()) < 0) throw nb::python_error();
      }
    }
  }

  // Group members not yet present go at the end, in group order.
  for (nb::handle group : metric_groups) {
    for (nb::handle metric : group.attr("get_metrics")()) {
      if (!contains(metric_names(all_metrics), metric.attr("name"))) all_metrics.append(metric);
    }
  }
  return all_metrics;
}

// ------------------------------------------------------------------ shared steps

nb::dict telemetry_event(nb::handle metric) {
  nb::dict event;
  event["objectType"] = nb::str("Metric Evaluation");
  event["custom.metric_name"] = metric.attr("name");
  return event;
}

nb::list without_none(nb::handle results) {
  nb::list kept;
  for (nb::handle result : results) {
    if (!result.is_none()) kept.append(result);
  }
  return kept;
}

// The service client of a run: inside a hosted environment the caller's
// client (possibly None); anywhere else a missing client is replaced by the
// process-wide one, built on first need. The front door asks for it before a
// run (a cluster ships it to its workers), so the rule lives here alone.
nb::object service_client(nb::object api_client) {
  nb::object server = global("os").attr("environ").attr("get")("LUMARA_SERVER");
  for (const char *environment : {"LMO", "LMAI", "LMGOV"}) {
    if (zlg::equals(server, nb::str(environment))) return api_client;
  }
  if (truthy(api_client)) return api_client;
  if (!truthy(global("api_client_cache"))) {
    nb::object client = global("APIClient")();
    if (PyDict_SetItemString(global.dict().ptr(), "api_client_cache", client.ptr()) < 0) {
      throw nb::python_error();
    }
  }
  return global("api_client_cache");
}

// Steps shared by both runs: the service client prelude, input preparation,
// validation, stamping and dependency resolution. Returns (api_client, data,
// metrics).
struct PreparedRun {
  nb::object api_client;
  nb::object data;
  nb::object metrics;
};

PreparedRun prepare_run(nb::handle configuration, nb::object data, nb::handle metrics,
                        nb::object api_client, nb::handle metric_groups) {
  api_client = service_client(api_client);

  nb::object pd = global("pd");
  nb::handle dict_type(reinterpret_cast<PyObject *>(&PyDict_Type));
  nb::handle list_type(reinterpret_cast<PyObject *>(&PyList_Type));
  if (zlg::is_instance(data, dict_type)) data = pd.attr("DataFrame")(nb::make_tuple(data));
  if (zlg::is_instance(data, list_type)) data = pd.attr("DataFrame")(data);

  global("__validate_data")(nb::arg("configuration") = configuration, nb::arg("data") = data);
  global("__populate_record_id_timestamp")(nb::arg("configuration") = configuration,
                                           nb::arg("data") = data);

  nb::object resolved = global("_resolve_metric_dependencies")(
      nb::arg("metrics") = metrics, nb::arg("metric_groups") = metric_groups);
  return {api_client, data, resolved};
}

void check_run_arguments(const Args &args) {
  require_exact_list(args[2], "metrics");
  require_exact_list(args[4], "metric_groups");
}

// ------------------------------------------------------------------ blocking run

nb::object evaluate_metrics(const Args &args) {
  check_run_arguments(args);
  nb::handle configuration = args[0];
  nb::handle kwargs = args[5];
  PreparedRun run = prepare_run(configuration, nb::borrow(args[1]), args[2], nb::borrow(args[3]),
                                args[4]);
  nb::object data = run.data;

  nb::list metrics_result;
  nb::object segment_manager = global("SegmentBatchManager")();

  // Output columns go to the metrics as text; the caller's table keeps its types.
  nb::object output_fields = configuration.attr("output_fields");
  if (truthy(output_fields)) {
    nb::dict text_types;
    nb::handle text_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    for (nb::handle field : output_fields) text_types[field] = text_type;
    data = data.attr("astype")(text_types);
  }

  nb::object track_duration = global("track_duration");
  nb::object run_in_event_loop = global("run_in_event_loop");
  for (nb::handle metric : run.metrics) {
    nb::object label = nb::str("Metric Evaluation - {}").format(metric.attr("name"));
    // A failure passes through the context manager's exit, which may swallow
    // it; then the run goes on with the telemetry event.
    zlg::with_block(track_duration(label), [&]() -> nb::object {
      nb::dict keywords;
      keywords["data"] = data;
      keywords["configuration"] = configuration;
      if (truthy(metric.attr("metric_dependencies"))) keywords["metrics_result"] = metrics_result;
      keywords["api_client"] = run.api_client;
      metrics_result.append(zlg::call_with_keywords(metric.attr("evaluate"), keywords, kwargs));
      return nb::none();
    });
    run_in_event_loop(segment_manager.attr("track_event"), telemetry_event(metric));
  }

  return global("MetricsEvaluationResult")(nb::arg("metrics_result") = without_none(metrics_result));
}

// ------------------------------------------------------------------ asynchronous run

// Closes coroutines that will never be awaited because the run failed, so
// nothing they hold leaks and no "never awaited" warning follows.
void close_pending(nb::handle futures) {
  for (nb::handle coroutine : futures) {
    PyObject *close = PyObject_GetAttrString(coroutine.ptr(), "close");
    PyObject *closed = close ? PyObject_CallNoArgs(close) : nullptr;
    Py_XDECREF(close);
    if (closed) {
      Py_DECREF(closed);
    } else {
      PyErr_WriteUnraisable(coroutine.ptr());
    }
  }
}

Coroutine evaluate_metrics_async(nb::object configuration, nb::object data, nb::object metrics,
                                 nb::object api_client, nb::object metric_groups,
                                 nb::object kwargs) {
  PreparedRun run = prepare_run(configuration, data, metrics, api_client, metric_groups);
  nb::object all_metrics = run.metrics;

  nb::list results;
  nb::list futures;
  nb::list metrics_with_dependencies;
  nb::dict dependency_metric_map;
  nb::object segment_manager = global("SegmentBatchManager")();

  auto evaluation_keywords = [&]() {
    nb::dict keywords;
    keywords["data"] = run.data;
    keywords["configuration"] = configuration;
    keywords["metrics_result"] = results;
    keywords["api_client"] = run.api_client;
    return keywords;
  };

  std::exception_ptr failure;
  bool handed_over = false;
  try {
    // First pass: metrics without dependencies get their coroutines now.
    for (nb::handle metric : all_metrics) {
      if (!truthy(metric.attr("metric_dependencies"))) {
        futures.append(zlg::call_with_keywords(metric.attr("evaluate_async"), evaluation_keywords(),
                                          kwargs));
        co_await segment_manager.attr("track_event")(telemetry_event(metric));
        dependency_metric_map[metric.attr("name")] = futures[nb::len(futures) - 1];
      } else {
        metrics_with_dependencies.append(metric);
      }
    }

    segment_manager = global("SegmentBatchManager")();

    // Second pass: a dependent metric starts after the dependencies still
    // pending in the map have been awaited, one at a time.
    for (nb::handle metric : metrics_with_dependencies) {
      for (nb::handle dependency : metric.attr("metric_dependencies")) {
        nb::object name = dependency.attr("name");
        if (!dependency_metric_map.contains(name)) continue;
        nb::object pending = dependency_metric_map[name];
        results.append(co_await pending);
        if (PyDict_DelItem(dependency_metric_map.ptr(), name.ptr()) < 0) throw nb::python_error();
        futures.attr("remove")(pending);
      }
      futures.append(
          zlg::call_with_keywords(metric.attr("evaluate_async"), evaluation_keywords(), kwargs));
      co_await segment_manager.attr("track_event")(telemetry_event(metric));
    }

    nb::object max_concurrency = nb::borrow<nb::dict>(kwargs).contains("max_concurrency")
                                     ? nb::object(kwargs["max_concurrency"])
                                     : nb::object(nb::int_(kDefaultMaxConcurrency));
    nb::object gathering = global("gather_with_concurrency")(
        nb::arg("coros") = futures, nb::arg("max_concurrency") = max_concurrency);
    handed_over = true;  // from here on the gather owns the coroutines
    // Only the gather, held where the collector sees it, keeps them while the frame waits.
    futures = nb::list();
    dependency_metric_map = nb::dict();
    nb::object gathered = co_await std::move(gathering);
    results.attr("extend")(gathered);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (!handed_over) close_pending(futures);
    std::rethrow_exception(failure);
  }

  co_return global("MetricsEvaluationResult")(nb::arg("metrics_result") = without_none(results));
}

// ------------------------------------------------------------------ signatures

std::vector<Param> run_parameters(nb::handle shared_metric_groups) {
  return {
      Param::required("configuration", "GenAIConfiguration | AgenticAIConfiguration"),
      Param::required("data", "pd.DataFrame | dict | list[dict]"),
      Param::required("metrics", "list[GenAIMetric]"),
      Param::optional("api_client", nb::none(), "APIClient"),
      Param::optional("metric_groups", nb::borrow(shared_metric_groups), "list[MetricGroup]"),
      Param::var_keyword("kwargs"),
  };
}

zlg::FunctionInfo info(const char *name, zlg::Signature signature, const char *doc) {
  return zlg::FunctionInfo{name, name, kModule, doc, std::move(signature)};
}

}  // namespace

NB_MODULE(metric_run_impl, m) {
  m.doc() = "The metric run: prepares the record table, resolves metric dependencies and runs every metric, blocking (_evaluate_metrics) or concurrently (_evaluate_metrics_async).";
  global.bind(m);

  // The module's imports, visible in its namespace like a Python module's.
  m.attr("os") = nb::module_::import_("os");
  m.attr("uuid") = nb::module_::import_("uuid");
  m.attr("datetime") = nb::module_::import_("datetime").attr("datetime");
  m.attr("pd") = nb::module_::import_("pandas");
  m.attr("APIClient") = nb::module_::import_("zentra_lumara_gov.clients.api_client").attr("APIClient");
  nb::module_ config = nb::module_::import_("zentra_lumara_gov.config");
  m.attr("AgenticAIConfiguration") = config.attr("AgenticAIConfiguration");
  m.attr("GenAIConfiguration") = config.attr("GenAIConfiguration");
  m.attr("MetricGroup") = nb::module_::import_("zentra_lumara_gov.entities.enums").attr("MetricGroup");
  m.attr("MetricsEvaluationResult") =
      nb::module_::import_("zentra_lumara_gov.entities.evaluation_result")
          .attr("MetricsEvaluationResult");
  m.attr("GenAIMetric") = nb::module_::import_("zentra_lumara_gov.entities.metric").attr("GenAIMetric");
  nb::module_ async_util = nb::module_::import_("zentra_lumara_gov.utils.async_util");
  m.attr("gather_with_concurrency") = async_util.attr("gather_with_concurrency");
  m.attr("run_in_event_loop") = async_util.attr("run_in_event_loop");
  m.attr("SegmentBatchManager") =
      nb::module_::import_("zentra_lumara_gov.utils.segment_batch_manager").attr("SegmentBatchManager");
  m.attr("track_duration") =
      nb::module_::import_("zentra_lumara_gov.utils.python_utils").attr("track_duration");

  m.attr("api_client_cache") = nb::none();

  // Defaults created once and shared between calls; they are only read.
  nb::list shared_metric_groups;
  nb::list shared_metrics_default;
  nb::list shared_groups_default;

  m.attr("_evaluate_metrics") = zlg::make_function(
      info("_evaluate_metrics", {run_parameters(shared_metric_groups), "MetricsEvaluationResult"},
           "Evaluate the metrics on the data and return the evaluation result."),
      evaluate_metrics);

  m.attr("_evaluate_metrics_async") = zlg::make_coroutine_function(
      info("_evaluate_metrics_async",
           {run_parameters(shared_metric_groups), "MetricsEvaluationResult"},
           "Evaluate the metrics on the data concurrently and return the evaluation result."),
      [](const Args &args) {
        check_run_arguments(args);
        return evaluate_metrics_async(nb::borrow(args[0]), nb::borrow(args[1]),
                                      nb::borrow(args[2]), nb::borrow(args[3]),
                                      nb::borrow(args[4]), nb::borrow(args[5]));
      });

  m.attr("_resolve_metric_dependencies") = zlg::make_function(
      info("_resolve_metric_dependencies",
           {{Param::optional("metrics", shared_metrics_default, "list[GenAIMetric]"),
             Param::optional("metric_groups", shared_groups_default, "list[MetricGroup]")},
            "list[GenAIMetric]"},
           "Add missing dependencies in front and the metrics of the groups at the end."),
      resolve_metric_dependencies);

  zlg::Signature private_step{{Param::required("configuration"), Param::required("data")}, "None"};
  m.attr("__validate_data") = zlg::make_function(
      info("__validate_data", private_step, "Reject an empty table."), validate_data);
  m.attr("__populate_record_id_timestamp") = zlg::make_function(
      info("__populate_record_id_timestamp", private_step,
           "Stamp record ids and a timestamp on the table, in place."),
      populate_record_id_timestamp);
  m.attr("__service_client") = zlg::make_function(
      info("__service_client", {{Param::required("api_client")}, "APIClient | None"},
           "The service client a run hands its metrics: the given one, or the process-wide one."),
      [](const Args &args) { return service_client(nb::borrow(args[0])); });
  m.attr("_record_digests") = zlg::make_function(
      info("_record_digests",
           {{Param::required("columns", "list[list[Any]]"), Param::required("keys", "list[str]"),
             Param::required("texts", "list[bool]"), Param::required("inputs", "list[bool]"),
             Param::required("normalise", "Callable[[Any], str]"), Param::required("count", "int")},
            "tuple[list[str], list[str]]"},
           "Content hashes of a table's records and of their input columns (32 hex digits each)."),
      [](const Args &args) {
        Py_ssize_t count = PyLong_AsSsize_t(args[5].ptr());
        if (count < 0) {
          if (!PyErr_Occurred()) throw nb::value_error("count must not be negative");
          throw nb::python_error();
        }
        return record_digests(args[0], args[1], args[2], args[3], args[4], count);
      });
}
