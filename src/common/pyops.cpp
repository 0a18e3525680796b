#include "common/pyops.h"

#include <charconv>
#include <cmath>
#include <string_view>

#include "common/errors.h"

namespace zlg {

double round_float(double x, int ndigits) {
  if (!std::isfinite(x)) return x;
  // The interpreter rounds the exact binary value to a decimal text and reads
  // it back; to_chars/from_chars do both steps exactly, as it does.
  char text[400];  // the largest double in fixed notation, 17 places and a sign
  auto written = std::to_chars(text, text + sizeof text, x, std::chars_format::fixed, ndigits);
  double rounded = x;
  std::from_chars(text, written.ptr, rounded);
  return rounded;
}

namespace {

// `text` cut to 200 bytes: the interpreter's "%.200s" for type names.
std::string_view at_most_200(const std::string &text) {
  std::string_view view(text);
  return view.substr(0, 200);
}

// The deallocator every class made by a class statement gets; such a
// class is named by its bare __name__ in the interpreter's messages.
void *class_statement_dealloc() {
  static void *dealloc = [] {
    nb::object probe = checked(PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type),
                                                     "s(){}", "probe"));
    return PyType_GetSlot(reinterpret_cast<PyTypeObject *>(probe.ptr()), Py_tp_dealloc);
  }();
  return dealloc;
}

// getattr(obj, name), null with no error when it is absent (an
// AttributeError); -1 on any other failure.
int optional_attr(PyObject *obj, PyObject *name, nb::object *out) {
  PyObject *value = PyObject_GetAttr(obj, name);
  if (value) {
    *out = nb::steal(value);
    return 1;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

// The interpreter's text for a callable in call errors, as a new str or null
// with the error set: "module.Qualname()", "Qualname()" for builtins or
// without a module, str(callable) without a __qualname__.
PyObject *function_text(PyObject *callable) {
  static const nb::handle qualname_name = intern("__qualname__").release();
  static const nb::handle module_name = intern("__module__").release();
  nb::object qualname, module;
  int found = optional_attr(callable, qualname_name.ptr(), &qualname);
  if (found < 0) return nullptr;
  if (found == 0) return PyObject_Str(callable);
  found = optional_attr(callable, module_name.ptr(), &module);
  if (found < 0) return nullptr;
  if (found && !module.is_none()) {
    int other = PyObject_RichCompareBool(module.ptr(), nb::str("builtins").ptr(), Py_NE);
    if (other < 0) return nullptr;
    if (other) return PyUnicode_FromFormat("%S.%S()", module.ptr(), qualname.ptr());
  }
  return PyUnicode_FromFormat("%S()", qualname.ptr());
}

// target.update(mapping) for the `**mapping` of a call, as the interpreter
// merges it: a dict (one that iterates as a dict) entry by entry, any other
// mapping through keys() and [key]; a key target already has is a
// KeyError(key). 0, or -1 with the error set.
int merge_refusing_repeats(PyObject *target, PyObject *mapping) {
  static void *const dict_iter = PyType_GetSlot(&PyDict_Type, Py_tp_iter);
  if (PyDict_Check(mapping) && PyType_GetSlot(Py_TYPE(mapping), Py_tp_iter) == dict_iter) {
    if (mapping == target) return 0;
    const Py_ssize_t size = PyDict_Size(mapping);
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *value = nullptr;  // borrowed from the mapping
    while (PyDict_Next(mapping, &position, &key, &value)) {
      // Held: comparing keys runs __eq__, which may change the mapping.
      nb::object held_key = nb::borrow(key), held_value = nb::borrow(value);
      int status = PyDict_Contains(target, key);
      if (status > 0) {
        nb::object repeated = checked(PyTuple_Pack(1, key));
        PyErr_SetObject(PyExc_KeyError, repeated.ptr());
        return -1;
      }
      if (status < 0 || PyDict_SetItem(target, key, value) < 0) return -1;
      if (PyDict_Size(mapping) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dict mutated during update");
        return -1;
      }
    }
    return 0;
  }
  // A mapping without keys() fails here with its AttributeError.
  PyObject *keys = PyMapping_Keys(mapping);
  if (!keys) return -1;
  PyObject *iterator = PyObject_GetIter(keys);
  Py_DECREF(keys);
  if (!iterator) return -1;
  nb::object owner = nb::steal(iterator);
  while (PyObject *next = PyIter_Next(iterator)) {
    nb::object key = nb::steal(next);
    int status = PyDict_Contains(target, next);
    if (status > 0) {
      nb::object repeated = checked(PyTuple_Pack(1, next));
      PyErr_SetObject(PyExc_KeyError, repeated.ptr());
      return -1;
    }
    if (status < 0) return -1;
    PyObject *value = PyObject_GetItem(mapping, next);
    if (!value) return -1;
    status = PyDict_SetItem(target, next, value);
    Py_DECREF(value);
    if (status < 0) return -1;
  }
  return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

nb::object checked(PyObject *result) {
  if (!result) throw nb::python_error();
  return nb::steal(result);
}

bool truthy(nb::handle obj) {
  int result = PyObject_IsTrue(obj.ptr());
  if (result < 0) throw nb::python_error();
  return result == 1;
}

bool equals(nb::handle left, nb::handle right) {
  int result = PyObject_RichCompareBool(left.ptr(), right.ptr(), Py_EQ);
  if (result < 0) throw nb::python_error();
  return result == 1;
}

bool contains(nb::handle container, nb::handle item) {
  int result = PySequence_Contains(container.ptr(), item.ptr());
  if (result < 0) throw nb::python_error();
  return result == 1;
}

bool is_instance(nb::handle obj, nb::handle cls) {
  int result = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (result < 0) throw nb::python_error();
  return result == 1;
}

nb::object getitem(nb::handle container, nb::handle key) {
  return checked(PyObject_GetItem(container.ptr(), key.ptr()));
}

void setitem(nb::handle container, nb::handle key, nb::handle value) {
  if (PyObject_SetItem(container.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
}

nb::object add(nb::handle left, nb::handle right) {
  return checked(PyNumber_Add(left.ptr(), right.ptr()));
}

nb::object getattr_or(nb::handle obj, nb::handle name, nb::handle fallback) {
  PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
  if (value) return nb::steal(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return nb::borrow(fallback);
}

nb::object getattr_or(nb::handle obj, const char *name, nb::handle fallback) {
  PyObject *value = PyObject_GetAttrString(obj.ptr(), name);
  if (value) return nb::steal(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return nb::borrow(fallback);
}

bool hasattr(nb::handle obj, const char *name) {
  return getattr_or(obj, name).is_valid();
}

nb::str format_of(nb::handle obj) {
  return nb::steal<nb::str>(checked(PyObject_Format(obj.ptr(), nullptr)).release());
}

std::string formatted(nb::handle obj) {
  nb::object text = format_of(obj);
  Py_ssize_t size = 0;
  const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw nb::python_error();
  return std::string(data, static_cast<size_t>(size));
}

std::string type_name(nb::handle obj) {
  return str(checked(PyType_GetName(Py_TYPE(obj.ptr()))));
}

std::string type_text(PyTypeObject *type) {
  static const nb::handle module_name = intern("__module__").release();
  std::string name = str(checked(PyType_GetName(type)));
  const bool heap = (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) != 0;
  if (heap && PyType_GetSlot(type, Py_tp_dealloc) == class_statement_dealloc()) return name;
  // A type defined in C is named "module.Name", its module read from that
  // very name (builtins for none).
  nb::object module;
  if (optional_attr(reinterpret_cast<PyObject *>(type), module_name.ptr(), &module) < 0) {
    throw nb::python_error();
  }
  if (!module.is_valid() || !PyUnicode_Check(module.ptr())) return name;
  std::string prefix = str(module);
  if (prefix == "builtins") return name;
  return prefix + "." + name;
}

std::string type_text_of(nb::handle obj) { return type_text(Py_TYPE(obj.ptr())); }

std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
  PyObject *iterator = PyObject_GetIter(value.ptr());
  if (!iterator) {
    // Only for an object that is no iterable at all; a failing __iter__
    // keeps its own error.
    PyTypeObject *type = Py_TYPE(value.ptr());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && PyType_GetSlot(type, Py_tp_iter) == nullptr &&
        !PySequence_Check(value.ptr())) {
      PyErr_Clear();
      raise(PyExc_TypeError,
            "cannot unpack non-iterable " + std::string(at_most_200(type_text(type))) + " object");
    }
    throw nb::python_error();
  }
  nb::object owner = nb::steal(iterator);
  nb::object values[2];
  for (int index = 0; index < 2; ++index) {
    PyObject *next = PyIter_Next(iterator);
    if (!next) {
      if (PyErr_Occurred()) throw nb::python_error();
      raise(PyExc_ValueError,
            "not enough values to unpack (expected 2, got " + std::to_string(index) + ")");
    }
    values[index] = nb::steal(next);
  }
  PyObject *extra = PyIter_Next(iterator);
  if (extra) {
    Py_DECREF(extra);
    raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  if (PyErr_Occurred()) throw nb::python_error();
  return {std::move(values[0]), std::move(values[1])};
}

std::string function_str(nb::handle callable) {
  return str(checked(function_text(callable.ptr())));
}

void merge_keywords(nb::handle callable, nb::handle keywords, nb::handle mapping) {
  // A repeated key is a KeyError(key), a mapping without keys() an
  // AttributeError; both are then reported as the call's TypeError, in the
  // interpreter's words.
  if (merge_refusing_repeats(keywords.ptr(), mapping.ptr()) == 0) return;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    nb::object callable_text = checked(function_text(callable.ptr()));
    std::string mapping_type = type_text_of(mapping);
    raise(PyExc_TypeError, format_text("%U argument after ** must be a mapping, not %.200s",
                                       callable_text.ptr(), mapping_type.c_str()));
  }
  if (PyErr_ExceptionMatches(PyExc_KeyError)) {
    nb::python_error repeated;
    nb::object args = nb::getattr(repeated.value(), "args");
    if (PyTuple_Check(args.ptr()) && PyTuple_Size(args.ptr()) == 1) {
      // Whatever the key is (two columns named 0 give the key 0), its str().
      nb::object callable_text = checked(function_text(callable.ptr()));
      raise(PyExc_TypeError, format_text("%U got multiple values for keyword argument '%S'",
                                         callable_text.ptr(), PyTuple_GetItem(args.ptr(), 0)));
    }
    throw repeated;
  }
  throw nb::python_error();
}

nb::object call_with_keywords(nb::handle callable, nb::handle kwargs) {
  nb::tuple no_arguments;
  return checked(PyObject_Call(callable.ptr(), no_arguments.ptr(), kwargs.ptr()));
}

nb::object call_with_keywords(nb::handle callable, nb::handle keywords, nb::handle extra) {
  merge_keywords(callable, keywords, extra);
  return call_with_keywords(callable, keywords);
}

nb::object lookup_special(nb::handle obj, nb::handle name) {
  static const nb::handle mro_name = intern("__mro__").release();
  static const nb::handle dict_name = intern("__dict__").release();
  PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(obj.ptr()));
  // The first class along type(obj).__mro__ whose own namespace has the
  // name; never the instance, never the metaclass.
  nb::object mro = checked(PyObject_GetAttr(type, mro_name.ptr()));
  nb::object found;
  const Py_ssize_t classes = PyTuple_Check(mro.ptr()) ? PyTuple_Size(mro.ptr()) : 0;
  for (Py_ssize_t i = 0; i < classes && !found.is_valid(); ++i) {
    nb::object names = checked(PyObject_GetAttr(PyTuple_GetItem(mro.ptr(), i), dict_name.ptr()));
    int has = PySequence_Contains(names.ptr(), name.ptr());
    if (has < 0) throw nb::python_error();
    if (has) found = checked(PyObject_GetItem(names.ptr(), name.ptr()));
  }
  if (!found.is_valid()) return nb::object();
  auto get = reinterpret_cast<descrgetfunc>(PyType_GetSlot(Py_TYPE(found.ptr()), Py_tp_descr_get));
  if (!get) return found;
  return checked(get(found.ptr(), obj.ptr(), type));
}

// Learnt by hiding it for a moment: the exception shown then is the one
// around it.
PyObject *innermost_handled_exception() {
  PyObject *shown = PyErr_GetHandledException();
  PyErr_SetHandledException(nullptr);
  PyObject *around = PyErr_GetHandledException();
  const bool own = shown != around && shown != Py_None;
  Py_XDECREF(around);
  if (!own) {
    Py_XDECREF(shown);
    return nullptr;
  }
  PyErr_SetHandledException(shown);
  return shown;
}

HandlingScope::HandlingScope(nb::handle exc) : previous_(innermost_handled_exception()) {
  PyErr_SetHandledException(exc.ptr());
}

HandlingScope::~HandlingScope() {
  PyErr_SetHandledException(previous_);
  Py_XDECREF(previous_);
}

nb::object with_block(nb::handle manager, const std::function<nb::object()> &body) {
  static const nb::handle enter_name = intern("__enter__").release();
  static const nb::handle exit_name = intern("__exit__").release();
  nb::object enter = lookup_special(manager, enter_name);
  if (!enter.is_valid()) {
    raise(PyExc_TypeError, format_text("'%.200s' object does not support the context manager protocol",
                                       type_text_of(manager).c_str()));
  }
  nb::object exit = lookup_special(manager, exit_name);
  if (!exit.is_valid()) {
    raise(PyExc_TypeError, format_text("'%.200s' object does not support the context manager "
                                       "protocol (missed __exit__ method)",
                                       type_text_of(manager).c_str()));
  }
  enter();
  nb::object result;
  try {
    result = body();
  } catch (...) {
    nb::python_error failure = current_python_error();
    nb::object traceback = failure.traceback();  // invalid for an error raised outside any frame
    bool swallowed = false;
    try {
      HandlingScope handling(failure.value());
      swallowed = truthy(exit(failure.type(), failure.value(),
                              traceback.is_valid() ? nb::handle(traceback) : nb::none()));
    } catch (nb::python_error &raised) {
      // Raised while the body's exception was being handled.
      chain_context(raised, failure.value());
      throw;
    }
    if (!swallowed) throw failure;
    return nb::object();
  }
  exit(nb::none(), nb::none(), nb::none());
  return result;
}

void import_from(nb::handle target, const char *module, std::initializer_list<const char *> names) {
  nb::object source = nb::module_::import_(module);
  for (const char *name : names) nb::setattr(target, name, source.attr(name));
}

nb::object intern(const char *text) { return checked(PyUnicode_InternFromString(text)); }

}  // namespace zlg
