#include "common/pyops.h"

#include <string_view>

#include "common/errors.h"

#if PY_VERSION_HEX >= 0x030D0000
// Since 3.13 declared only in the interpreter's internal headers; still exported.
extern "C" PyAPI_FUNC(int) _PyDict_MergeEx(PyObject *mp, PyObject *other, int override);
#endif

namespace zlg {

namespace {

// `text` cut to 200 bytes: the interpreter's "%.200s" for type names.
std::string_view at_most_200(const char *text) {
  std::string_view view(text);
  return view.substr(0, 200);
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

std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
  PyObject *iterator = PyObject_GetIter(value.ptr());
  if (!iterator) {
    // Only for an object that is no iterable at all; a failing __iter__
    // keeps its own error.
    PyTypeObject *type = Py_TYPE(value.ptr());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && type->tp_iter == nullptr &&
        !PySequence_Check(value.ptr())) {
      PyErr_Clear();
      raise(PyExc_TypeError,
            "cannot unpack non-iterable " + std::string(at_most_200(type->tp_name)) + " object");
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
  // The interpreter's own text, the one its argument errors use (exported by
  // CPython 3.12, if underscored).
  return str(checked(_PyObject_FunctionStr(callable.ptr())));
}

void merge_keywords(nb::handle callable, nb::handle keywords, nb::handle mapping) {
  // The interpreter's own merge of `**mapping` (exported by CPython 3.12,
  // if underscored): a repeated key is a KeyError(key), a mapping without
  // keys() an AttributeError; both are then reported as the call's
  // TypeError, in the interpreter's words.
  if (_PyDict_MergeEx(keywords.ptr(), mapping.ptr(), 2) == 0) return;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    nb::object callable_text = checked(_PyObject_FunctionStr(callable.ptr()));
    raise(PyExc_TypeError, format_text("%U argument after ** must be a mapping, not %.200s",
                                       callable_text.ptr(), Py_TYPE(mapping.ptr())->tp_name));
  }
  if (PyErr_ExceptionMatches(PyExc_KeyError)) {
    nb::python_error repeated;
    nb::object args = nb::getattr(repeated.value(), "args");
    if (PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) == 1) {
      // Whatever the key is (two columns named 0 give the key 0), its str().
      nb::object callable_text = checked(_PyObject_FunctionStr(callable.ptr()));
      raise(PyExc_TypeError, format_text("%U got multiple values for keyword argument '%S'",
                                         callable_text.ptr(), PyTuple_GET_ITEM(args.ptr(), 0)));
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
  PyTypeObject *type = Py_TYPE(obj.ptr());
  // The interpreter's own MRO lookup (exported by CPython 3.12, if
  // underscored); borrowed, held here while its __get__ runs.
  PyObject *found = _PyType_Lookup(type, name.ptr());
  if (!found) return nb::object();
  nb::object attribute = nb::borrow(found);
  descrgetfunc get = Py_TYPE(found)->tp_descr_get;
  if (!get) return attribute;
  return checked(get(found, obj.ptr(), reinterpret_cast<PyObject *>(type)));
}

HandlingScope::HandlingScope(nb::handle exc) : previous_(PyErr_GetHandledException()) {
  PyErr_SetHandledException(exc.ptr());
}

HandlingScope::~HandlingScope() {
  PyErr_SetHandledException(previous_);
  Py_XDECREF(previous_);
}

nb::object with_block(nb::handle manager, const std::function<nb::object()> &body) {
  static const nb::handle enter_name = intern("__enter__").release();
  static const nb::handle exit_name = intern("__exit__").release();
  const char *type_name = Py_TYPE(manager.ptr())->tp_name;
  nb::object enter = lookup_special(manager, enter_name);
  if (!enter.is_valid()) {
    raise(PyExc_TypeError,
          format_text("'%.200s' object does not support the context manager protocol", type_name));
  }
  nb::object exit = lookup_special(manager, exit_name);
  if (!exit.is_valid()) {
    raise(PyExc_TypeError, format_text("'%.200s' object does not support the context manager "
                                       "protocol (missed __exit__ method)",
                                       type_name));
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
