// Python's own semantics for the small operations every module performs.
//
// Each helper does what the Python expression in its comment does, through
// the interpreter's C API: the same protocols (__bool__, __eq__,
// __contains__, __instancecheck__, __getitem__, ...), the same error types
// and texts. A failure leaves as nb::python_error carrying the Python
// exception, never as a silently cleared error or a C++ exception of another
// kind. Returned objects are owned (new references held by nb::object).
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

namespace zlg {

namespace nb = nanobind;

// The new reference a C API call returned, owned; throws the pending Python
// error when the call failed (returned NULL).
nb::object checked(PyObject *result);

// bool(obj)
bool truthy(nb::handle obj);

// The cyclic garbage collector paused for a scope that makes many container
// objects holding no reference cycle (one dict or list per record): without
// the pause the collector would scan them again and again while they are
// made. Put back as it was on every exit from the scope.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause &) = delete;
  CollectorPause &operator=(const CollectorPause &) = delete;

 private:
  bool was_enabled_;
};

// round(x, ndigits) for a float and 0 <= ndigits <= 17: the value correctly
// rounded to ndigits decimal places, ties to even, NaN and infinities as they are.
double round_float(double x, int ndigits);

// left == right
bool equals(nb::handle left, nb::handle right);

// item in container
bool contains(nb::handle container, nb::handle item);

// isinstance(obj, cls): cls may be a class or a tuple of classes; honours
// __instancecheck__ and a faked __class__, as Python does.
bool is_instance(nb::handle obj, nb::handle cls);

// container[key]
nb::object getitem(nb::handle container, nb::handle key);

// container[key] = value
void setitem(nb::handle container, nb::handle key, nb::handle value);

// left + right (for texts: concatenation, and the interpreter's TypeError for
// `"{" + None`).
nb::object add(nb::handle left, nb::handle right);

// getattr(obj, name, fallback): only an AttributeError selects the fallback;
// any other failure propagates. A null fallback (the default) gives an invalid
// object, for "absent" without a sentinel:
//   nb::object value = zlg::getattr_or(obj, name);
//   if (value.is_valid()) ...
nb::object getattr_or(nb::handle obj, nb::handle name, nb::handle fallback = nb::handle());
nb::object getattr_or(nb::handle obj, const char *name, nb::handle fallback = nb::handle());

// hasattr(obj, name): only an AttributeError means false; any other failure
// propagates (nb::hasattr and PyObject_HasAttr swallow every error).
bool hasattr(nb::handle obj, const char *name);

// f"{obj}": format(obj, ""), which for most objects is str(obj). As a str
// for messages (any text), as UTF-8 for C++ code.
nb::str format_of(nb::handle obj);
std::string formatted(nb::handle obj);

// type(obj).__name__ as UTF-8 ("int", "DataFrame"; no module prefix).
std::string type_name(nb::handle obj);

// The name the interpreter's own messages give a type ("int",
// "numpy.ndarray", "Manager" for a class statement's class), as UTF-8.
std::string type_text(PyTypeObject *type);
// type_text(type(obj))
std::string type_text_of(nb::handle obj);

// callable(arg): a new reference, or null with the error set.
inline PyObject *call_one_arg(PyObject *callable, PyObject *arg) {
  PyObject *args[2] = {nullptr, arg};  // the slot before the argument is the callee's to use
  return PyObject_Vectorcall(callable, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// `first, second = value`, with the interpreter's errors: "cannot unpack
// non-iterable X object", "not enough values to unpack (expected 2, got N)",
// "too many values to unpack (expected 2)".
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

// What the interpreter calls `callable` in its call errors:
// "module.Qualname()", "Qualname()" for builtins, or str(callable) when it has
// no __qualname__.
std::string function_str(nb::handle callable);

// The `**mapping` of a call `callable(..., **mapping)`: adds the entries of
// `mapping` to the dict `keywords` being built for the call. Fails as the
// interpreter does: "<callable> argument after ** must be a mapping, not X",
// "<callable> got multiple values for keyword argument 'k'".
//
//   f(a=1, **extra)      keywords = {"a": 1}; merge_keywords(f, keywords, extra)
//   f(**params, b=2)     keywords = {}; merge_keywords(f, keywords, params);
//                        then the same with {"b": 2}
void merge_keywords(nb::handle callable, nb::handle keywords, nb::handle mapping);

// callable(**kwargs) for a dict of text keys, in the dict's order.
nb::object call_with_keywords(nb::handle callable, nb::handle kwargs);

// callable(k1=..., k2=..., **extra): `keywords` (a dict, which receives the
// entries of `extra`) followed by one unpacked mapping, with the errors of
// merge_keywords.
nb::object call_with_keywords(nb::handle callable, nb::handle keywords, nb::handle extra);

// The special method `name` of obj, looked up as the interpreter looks up
// __enter__, __exit__, __aenter__ and __aexit__: on type(obj) only (its MRO,
// never the instance), then bound to obj through the descriptor protocol, so
// a function gives a bound method, a classmethod one bound to the class and a
// staticmethod its plain function. An invalid object when the type lacks it.
//   nb::object enter = zlg::lookup_special(manager, name);  // __enter__
//   if (!enter.is_valid()) ... "does not support the context manager protocol"
nb::object lookup_special(nb::handle obj, nb::handle name);

// The exception the innermost handler of the thread holds itself (a new
// reference, or null): what sys.exc_info() shows, unless that handler holds
// none and one around it is shown instead. PyErr_SetHandledException() with
// it puts the innermost handler back as it was.
PyObject *innermost_handled_exception();

// Makes `exc` the exception being handled (what sys.exc_info() shows and what
// an exception raised meanwhile gets as __context__) for the life of the
// scope, as an `except` block or the exit of a with block does.
class HandlingScope {
 public:
  explicit HandlingScope(nb::handle exc);
  ~HandlingScope();
  HandlingScope(const HandlingScope &) = delete;
  HandlingScope &operator=(const HandlingScope &) = delete;

 private:
  PyObject *previous_;  // owned; null or None: nothing was being handled
};

// `with manager: return body()`. __enter__ and __exit__ are looked up as
// special methods (lookup_special), with the interpreter's TypeError for an
// object without them; __exit__ is always called, with the exception in
// flight (type, value, traceback or None, shown by sys.exc_info() meanwhile)
// or three Nones, and a true answer swallows the exception: the result is
// then an invalid object. An exception raised by __exit__ gets the body's
// exception as __context__.
nb::object with_block(nb::handle manager, const std::function<nb::object()> &body);

// `from module import name, ...` at module load: each name read from the
// imported module and stored in `target`'s namespace under the same name.
void import_from(nb::handle target, const char *module, std::initializer_list<const char *> names);

// The interned str for `text`, owned by the caller. For names and keys used
// on hot paths, keep it in a static handle that is never released:
//   static nb::handle name = zlg::intern("metric_name").release();
nb::object intern(const char *text);

}  // namespace zlg
