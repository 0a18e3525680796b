// Progress reports from the providers' completion points.
//
// The front door puts a sink into the context variable
// zentra_lumara_gov.utils.progress.progress_sink for the length of a run; a
// provider module imports that variable as its global `progress_sink` and
// reads it once per evaluation. Outside a run the variable holds None: one
// lookup and nothing else.
//
//   nb::object sink = zlg::progress_sink(global("progress_sink"));
//   if (!sink.is_none()) zlg::report_progress(sink, name, done, total);
#pragma once

#include <nanobind/nanobind.h>

namespace zlg {

namespace nb = nanobind;

// The value of the context variable `variable` in the running context, None when unset.
inline nb::object progress_sink(nb::handle variable) {
  static PyObject *const get_name = PyUnicode_InternFromString("get");
  if (!get_name) throw nb::python_error();
  PyObject *args[] = {variable.ptr(), Py_None};  // variable.get(None)
  PyObject *value =
      PyObject_VectorcallMethod(get_name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!value) throw nb::python_error();
  return nb::steal(value);
}

// sink(metric_name, done, total)
inline void report_progress(nb::handle sink, nb::handle metric_name, Py_ssize_t done, Py_ssize_t total) {
  nb::object done_object = nb::steal(PyLong_FromSsize_t(done));
  nb::object total_object = nb::steal(PyLong_FromSsize_t(total));
  if (!done_object.is_valid() || !total_object.is_valid()) throw nb::python_error();
  PyObject *args[] = {metric_name.ptr(), done_object.ptr(), total_object.ptr()};
  nb::object outcome = nb::steal(PyObject_Vectorcall(sink.ptr(), args, 3, nullptr));
  if (!outcome.is_valid()) throw nb::python_error();
}

// Whether the done-th of total completions is worth a report: every one of
// the first hundred, then one per hundredth of the total and the last, so a
// large table costs at most about a hundred calls per metric.
inline bool progress_step_due(Py_ssize_t done, Py_ssize_t total) {
  if (total <= 100 || done >= total) return true;
  return done * 100 / total != (done - 1) * 100 / total;
}

// loop.run_in_executor(None, fn): an awaitable of fn's value. fn runs in a
// copy of the caller's context, so what the run has set there (its progress
// sink, the call cache of the run) reaches the worker thread.
inline nb::object run_in_default_executor(nb::handle loop, nb::handle fn, nb::handle progress_variable) {
  nb::object submit = loop.attr("run_in_executor");
  (void)progress_variable;
  static const nb::handle copy_context =
      nb::object(nb::module_::import_("contextvars").attr("copy_context")).release();
  nb::object context = copy_context();
  return submit(nb::none(), context.attr("run"), fn);
}

}  // namespace zlg
