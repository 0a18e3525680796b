#include "common/function.h"

#include <structmember.h>

#include <array>
#include <memory>
#include <string>
#include <utility>

#include "common/coroutine.h"
#include "common/errors.h"

namespace zlg {

Param Param::required(std::string name, std::string annotation) {
  return Param{std::move(name), ParamKind::positional_or_keyword, {}, std::move(annotation)};
}
Param Param::optional(std::string name, nb::object default_value, std::string annotation) {
  return Param{std::move(name), ParamKind::positional_or_keyword, std::move(default_value),
               std::move(annotation)};
}
Param Param::keyword_only(std::string name, nb::object default_value, std::string annotation) {
  return Param{std::move(name), ParamKind::keyword_only, std::move(default_value),
               std::move(annotation)};
}
Param Param::var_positional(std::string name, std::string annotation) {
  return Param{std::move(name), ParamKind::var_positional, {}, std::move(annotation)};
}
Param Param::var_keyword(std::string name, std::string annotation) {
  return Param{std::move(name), ParamKind::var_keyword, {}, std::move(annotation)};
}

namespace {

// Everything a native function knows about itself, fixed at creation.
struct FunctionData {
  FunctionInfo info;
  Impl impl;
  CoroutineImpl coroutine_impl;
  bool is_coroutine = false;

  std::vector<nb::object> names;  // interned parameter names
  size_t positional_count = 0;    // positional-only + positional-or-keyword
  size_t positional_defaults = 0; // how many of those have defaults
  size_t keyword_only_given = 0;
  Py_ssize_t var_positional = -1;
  Py_ssize_t var_keyword = -1;
};

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  FunctionData *data;
  PyObject *dict;
  PyObject *signature;  // built on first request
  PyObject *weakrefs;
};

PyTypeObject *function_type = nullptr;

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the listing CPython uses.
nb::str quoted_list(const std::vector<std::string> &names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text += "'" + names[i] + "'";
  }
  return nb::str(text.c_str(), text.size());
}

[[noreturn]] void type_error(const std::string &message) { raise(PyExc_TypeError, message); }

const std::string &qualname_of(const FunctionData &d) { return d.info.qualname; }

// Binds a vectorcall's arguments into one slot per parameter, exactly as the
// interpreter binds a Python function's arguments (same TypeError texts).
nb::object call_function(FunctionObject *self, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames) {
  FunctionData &d = *self->data;
  const auto &params = d.info.signature.params;
  const size_t count = params.size();
  const size_t given = PyVectorcall_NARGS(nargsf);

  std::array<PyObject *, 12> small{};
  std::unique_ptr<PyObject *[]> large;
  PyObject **slots = small.data();
  if (count > small.size()) {
    large.reset(new PyObject *[count]());
    slots = large.get();
  }
  nb::object extra_positional, extra_keywords;  // owners of *args / **kwargs

  // Positional arguments.
  size_t taken = given < d.positional_count ? given : d.positional_count;
  for (size_t i = 0; i < taken; ++i) slots[i] = args[i];
  if (given > d.positional_count) {
    if (d.var_positional < 0) {
      std::string expected =
          d.positional_defaults
              ? "from " + std::to_string(d.positional_count - d.positional_defaults) + " to " +
                    std::to_string(d.positional_count)
              : std::to_string(d.positional_count);
      bool plural = d.positional_defaults || d.positional_count != 1;
      type_error(qualname_of(d) + "() takes " + expected + " positional argument" +
                 (plural ? "s" : "") + " but " + std::to_string(given) +
                 (given == 1 ? " was" : " were") + " given");
    }
  }
  if (d.var_positional >= 0) {
    size_t extra = given > d.positional_count ? given - d.positional_count : 0;
    PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(extra));
    if (!tuple) throw nb::python_error();
    for (size_t i = 0; i < extra; ++i) {
      PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), Py_NewRef(args[d.positional_count + i]));
    }
    extra_positional = nb::steal(tuple);
    slots[d.var_positional] = tuple;
  }
  if (d.var_keyword >= 0) {
    extra_keywords = nb::steal(PyDict_New());
    if (!extra_keywords) throw nb::python_error();
    slots[d.var_keyword] = extra_keywords.ptr();
  }

  // Keyword arguments.
  if (kwnames) {
    const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    std::vector<std::string> positional_only_as_keyword;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      PyObject *key = PyTuple_GET_ITEM(kwnames, k);
      PyObject *value = args[given + static_cast<size_t>(k)];
      Py_ssize_t found = -1;
      bool positional_only_hit = false;
      for (size_t i = 0; i < count; ++i) {
        const ParamKind kind = params[i].kind;
        if (kind == ParamKind::var_positional || kind == ParamKind::var_keyword) continue;
        if (d.names[i].ptr() == key || PyUnicode_Compare(d.names[i].ptr(), key) == 0) {
          if (kind == ParamKind::positional_only) {
            positional_only_hit = true;
            break;
          }
          found = static_cast<Py_ssize_t>(i);
          break;
        }
      }
      if (found < 0) {
        if (d.var_keyword >= 0) {
          if (PyDict_SetItem(extra_keywords.ptr(), key, value) < 0) throw nb::python_error();
          continue;
        }
        if (positional_only_hit) {
          positional_only_as_keyword.push_back(str(key));
          continue;
        }
        type_error(qualname_of(d) + "() got an unexpected keyword argument '" + str(key) + "'");
      }
      if (slots[found]) {
        type_error(qualname_of(d) + "() got multiple values for argument '" + str(key) + "'");
      }
      slots[found] = value;
    }
    if (!positional_only_as_keyword.empty()) {
      std::string listed;
      for (size_t i = 0; i < positional_only_as_keyword.size(); ++i) {
        listed += (i ? ", " : "") + positional_only_as_keyword[i];
      }
      type_error(qualname_of(d) +
                 "() got some positional-only arguments passed as keyword arguments: '" + listed +
                 "'");
    }
  }

  // Defaults, then what is still missing.
  std::vector<std::string> missing_positional, missing_keyword_only;
  for (size_t i = 0; i < count; ++i) {
    if (slots[i]) continue;
    const Param &p = params[i];
    if (p.default_value.is_valid()) {
      slots[i] = p.default_value.ptr();
    } else if (p.kind == ParamKind::keyword_only) {
      missing_keyword_only.push_back(p.name);
    } else {
      missing_positional.push_back(p.name);
    }
  }
  if (!missing_positional.empty()) {
    size_t n = missing_positional.size();
    type_error(qualname_of(d) + "() missing " + std::to_string(n) + " required positional argument" +
               (n == 1 ? "" : "s") + ": " + str(quoted_list(missing_positional)));
  }
  if (!missing_keyword_only.empty()) {
    size_t n = missing_keyword_only.size();
    type_error(qualname_of(d) + "() missing " + std::to_string(n) +
               " required keyword-only argument" + (n == 1 ? "" : "s") + ": " +
               str(quoted_list(missing_keyword_only)));
  }

  Args bound(slots, count);
  if (d.is_coroutine) {
    Coroutine coroutine = d.coroutine_impl(bound);
    return std::move(coroutine).to_python(d.info.name, d.info.qualname);
  }
  return d.impl(bound);
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
  try {
    return call_function(reinterpret_cast<FunctionObject *>(callable), args, nargsf, kwnames)
        .release()
        .ptr();
  } catch (...) {
    restore_current_exception();
    return nullptr;
  }
}

nb::object build_signature(const FunctionData &d) {
  nb::module_ inspect = nb::module_::import_("inspect");
  nb::object parameter = inspect.attr("Parameter");
  nb::object empty = parameter.attr("empty");
  static const char *kind_names[] = {"POSITIONAL_ONLY", "POSITIONAL_OR_KEYWORD", "VAR_POSITIONAL",
                                     "KEYWORD_ONLY", "VAR_KEYWORD"};
  nb::list parameters;
  for (const Param &p : d.info.signature.params) {
    nb::object kind = parameter.attr(kind_names[static_cast<int>(p.kind)]);
    nb::object annotation = p.annotation.empty() ? empty : nb::str(p.annotation.c_str());
    nb::object default_value = p.default_value.is_valid() ? p.default_value : empty;
    parameters.append(parameter(nb::str(p.name.c_str()), kind, nb::arg("default") = default_value,
                                nb::arg("annotation") = annotation));
  }
  const std::string &ret = d.info.signature.return_annotation;
  nb::object return_annotation = ret.empty() ? empty : nb::str(ret.c_str());
  return inspect.attr("Signature")(parameters, nb::arg("return_annotation") = return_annotation);
}

PyObject *get_signature(PyObject *obj, void *) {
  auto *self = reinterpret_cast<FunctionObject *>(obj);
  if (!self->signature) {
    try {
      self->signature = build_signature(*self->data).release().ptr();
    } catch (...) {
      restore_current_exception();
      return nullptr;
    }
  }
  return Py_NewRef(self->signature);
}

PyObject *get_annotations(PyObject *obj, void *) {
  auto *self = reinterpret_cast<FunctionObject *>(obj);
  try {
    nb::dict annotations;
    for (const Param &p : self->data->info.signature.params) {
      if (!p.annotation.empty()) annotations[p.name.c_str()] = nb::str(p.annotation.c_str());
    }
    const std::string &ret = self->data->info.signature.return_annotation;
    if (!ret.empty()) annotations["return"] = nb::str(ret.c_str());
    return annotations.release().ptr();
  } catch (...) {
    restore_current_exception();
    return nullptr;
  }
}

PyObject *get_text(const std::string &text) { return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())); }

PyObject *get_name(PyObject *obj, void *) {
  return get_text(reinterpret_cast<FunctionObject *>(obj)->data->info.name);
}
PyObject *get_qualname(PyObject *obj, void *) {
  return get_text(reinterpret_cast<FunctionObject *>(obj)->data->info.qualname);
}
int set_text(std::string &target, PyObject *value, const char *what) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  const char *text = PyUnicode_AsUTF8(value);
  if (!text) return -1;
  target = text;
  return 0;
}
int set_name(PyObject *obj, PyObject *value, void *) {
  return set_text(reinterpret_cast<FunctionObject *>(obj)->data->info.name, value, "__name__");
}
int set_qualname(PyObject *obj, PyObject *value, void *) {
  return set_text(reinterpret_cast<FunctionObject *>(obj)->data->info.qualname, value,
                  "__qualname__");
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *obj) {
  auto *self = reinterpret_cast<FunctionObject *>(obj);
  return PyUnicode_FromFormat("<function %s at %p>", self->data->info.qualname.c_str(), obj);
}

int function_traverse(PyObject *obj, visitproc visit, void *arg) {
  auto *self = reinterpret_cast<FunctionObject *>(obj);
  Py_VISIT(Py_TYPE(obj));
  Py_VISIT(self->dict);
  Py_VISIT(self->signature);
  if (self->data) {
    for (const Param &p : self->data->info.signature.params) Py_VISIT(p.default_value.ptr());
  }
  return 0;
}

int function_clear(PyObject *obj) {
  auto *self = reinterpret_cast<FunctionObject *>(obj);
  Py_CLEAR(self->dict);
  Py_CLEAR(self->signature);
  return 0;
}

void function_dealloc(PyObject *obj) {
  auto *self = reinterpret_cast<FunctionObject *>(obj);
  PyTypeObject *type = Py_TYPE(obj);
  PyObject_GC_UnTrack(obj);
  if (self->weakrefs) PyObject_ClearWeakRefs(obj);
  function_clear(obj);
  delete self->data;
  self->data = nullptr;
  type->tp_free(obj);
  Py_DECREF(type);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject *get_function_type() {
  if (function_type) return function_type;
  PyType_Slot slots[] = {
      {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
      {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
      {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
      {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
      {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
      {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
      {Py_tp_getset, function_getset},
      {Py_tp_members, function_members},
      {0, nullptr},
  };
  PyType_Spec spec = {
      "zentra_lumara_gov.native_function",
      sizeof(FunctionObject),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
          Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  PyObject *type = PyType_FromSpec(&spec);
  if (!type) throw nb::python_error();
  function_type = reinterpret_cast<PyTypeObject *>(type);  // kept for the life of the process
  return function_type;
}

nb::object new_function(std::unique_ptr<FunctionData> data) {
  FunctionData &d = *data;
  if (d.info.qualname.empty()) d.info.qualname = d.info.name;
  const auto &params = d.info.signature.params;
  bool seen_default = false;
  for (size_t i = 0; i < params.size(); ++i) {
    const Param &p = params[i];
    PyObject *name = PyUnicode_InternFromString(p.name.c_str());
    if (!name) throw nb::python_error();
    d.names.push_back(nb::steal(name));
    switch (p.kind) {
      case ParamKind::positional_only:
      case ParamKind::positional_or_keyword:
        if (d.var_positional >= 0 || d.keyword_only_given) {
          raise(PyExc_ValueError, "positional parameter after *args or keyword-only: " + p.name);
        }
        ++d.positional_count;
        if (p.default_value.is_valid()) {
          seen_default = true;
          ++d.positional_defaults;
        } else if (seen_default) {
          raise(PyExc_ValueError, "non-default parameter follows default parameter: " + p.name);
        }
        break;
      case ParamKind::var_positional: d.var_positional = static_cast<Py_ssize_t>(i); break;
      case ParamKind::keyword_only: ++d.keyword_only_given; break;
      case ParamKind::var_keyword: d.var_keyword = static_cast<Py_ssize_t>(i); break;
    }
  }

  PyTypeObject *type = get_function_type();
  auto *self = PyObject_GC_New(FunctionObject, type);
  if (!self) throw nb::python_error();
  self->vectorcall = function_vectorcall;
  self->data = data.release();
  self->dict = nullptr;
  self->signature = nullptr;
  self->weakrefs = nullptr;
  nb::object result = nb::steal(reinterpret_cast<PyObject *>(self));
  PyObject_GC_Track(self);

  nb::dict attributes;
  attributes["__module__"] = self->data->info.module.empty()
                                 ? nb::none()
                                 : nb::object(nb::str(self->data->info.module.c_str()));
  attributes["__doc__"] =
      self->data->info.doc.empty() ? nb::none() : nb::object(nb::str(self->data->info.doc.c_str()));
  self->dict = attributes.release().ptr();
  if (self->data->is_coroutine) {
    // inspect.iscoroutinefunction then answers true, as for `async def`.
    nb::module_::import_("inspect").attr("markcoroutinefunction")(result);
  }
  return result;
}

}  // namespace

nb::object make_function(FunctionInfo info, Impl impl) {
  auto data = std::make_unique<FunctionData>();
  data->info = std::move(info);
  data->impl = std::move(impl);
  return new_function(std::move(data));
}

nb::object make_coroutine_function(FunctionInfo info, CoroutineImpl impl) {
  auto data = std::make_unique<FunctionData>();
  data->info = std::move(info);
  data->coroutine_impl = std::move(impl);
  data->is_coroutine = true;
  return new_function(std::move(data));
}

nb::object static_method(nb::handle fn) {
  PyObject *method = PyStaticMethod_New(fn.ptr());
  if (!method) throw nb::python_error();
  return nb::steal(method);
}

std::string mangle(std::string_view class_name, std::string_view name) {
  if (name.size() < 2 || name.substr(0, 2) != "__" ||
      (name.size() >= 4 && name.substr(name.size() - 2) == "__")) {
    return std::string(name);
  }
  size_t start = class_name.find_first_not_of('_');
  if (start == std::string_view::npos) return std::string(name);
  std::string mangled;
  mangled.reserve(1 + class_name.size() - start + name.size());
  mangled.push_back('_');
  mangled.append(class_name.substr(start));
  mangled.append(name);
  return mangled;
}

namespace {

// Gives a native function defined in a class body the qualified name Python
// would give it ("Class.method").
void qualify(nb::handle value, const std::string &class_qualname) {
  PyObject *target = value.ptr();
  if (Py_IS_TYPE(target, &PyStaticMethod_Type) || Py_IS_TYPE(target, &PyClassMethod_Type)) {
    target = PyObject_GetAttrString(target, "__func__");
    if (!target) throw nb::python_error();
    Py_DECREF(target);  // still owned by the wrapper
  }
  if (!function_type || !Py_IS_TYPE(target, function_type)) return;
  FunctionData &d = *reinterpret_cast<FunctionObject *>(target)->data;
  if (d.info.qualname == d.info.name) d.info.qualname = class_qualname + "." + d.info.name;
}

}  // namespace

nb::object make_class(const std::string &name, const std::string &module, nb::tuple bases,
                      nb::dict ns) {
  if (!ns.contains("__module__")) ns["__module__"] = nb::str(module.c_str());
  if (!ns.contains("__qualname__")) ns["__qualname__"] = nb::str(name.c_str());
  std::string qualname = str(ns["__qualname__"]);
  for (auto [key, value] : ns) qualify(value, qualname);
  nb::handle metaclass =
      nb::len(bases) > 0 ? nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(bases[0].ptr())))
                         : nb::handle(reinterpret_cast<PyObject *>(&PyType_Type));
  return metaclass(nb::str(name.c_str()), bases, ns);
}

nb::object global(nb::handle module_dict, const char *name) {
  PyObject *value = PyDict_GetItemString(module_dict.ptr(), name);  // borrowed
  if (value) return nb::borrow(value);
  PyObject *builtins = PyEval_GetBuiltins();  // borrowed
  value = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
  if (value) return nb::borrow(value);
  PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  throw nb::python_error();
}

nb::object global(nb::handle module_dict, nb::handle name) {
  PyObject *value = PyDict_GetItemWithError(module_dict.ptr(), name.ptr());  // borrowed
  if (!value && !PyErr_Occurred()) {
    PyObject *builtins = PyEval_GetBuiltins();  // borrowed
    value = builtins ? PyDict_GetItemWithError(builtins, name.ptr()) : nullptr;
    if (!value && !PyErr_Occurred()) {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
    }
  }
  if (!value) throw nb::python_error();
  return nb::borrow(value);
}

void Globals::bind(nb::handle module) {
  PyObject *dict = PyModule_GetDict(module.ptr());  // borrowed
  if (!dict) throw nb::python_error();
  dict_ = nb::handle(dict).inc_ref();  // never released, see the header
}

}  // namespace zlg
