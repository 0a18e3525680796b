#include "common/function.h"

#include <array>
#include <memory>
#include <string>
#include <utility>

#include "common/coroutine.h"
#include "common/errors.h"
#include "common/pyops.h"

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

// "__builtins__", interned once and kept.
PyObject *intern_builtins() {
  static PyObject *name = intern("__builtins__").release().ptr();
  return name;
}

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
  PyObject *signature;    // built on first request
  PyObject *annotations;  // __annotations__, a dict of ours or the caller's
  PyObject *globals;      // __globals__: the dict of the module `info.module` names
  PyObject *weakrefs;
};

// The namespaces bound by Globals::bind, by module name: a function takes its
// __globals__ from here (its module is bound before its functions are made).
std::vector<std::pair<std::string, PyObject *>> &bound_namespaces() {
  static std::vector<std::pair<std::string, PyObject *>> namespaces;  // references never given back
  return namespaces;
}

// The namespace of the module named `module`: bound by Globals::bind, or else
// the dict of that module as imported; null with no error when there is none.
PyObject *namespace_of(const std::string &module) {
  for (const auto &[name, dict] : bound_namespaces()) {
    if (name == module) return Py_NewRef(dict);
  }
  if (module.empty()) return nullptr;
  PyObject *modules = PyImport_GetModuleDict();  // borrowed
  PyObject *found = PyDict_GetItemString(modules, module.c_str());  // borrowed
  if (!found || !PyModule_Check(found)) return nullptr;
  return Py_NewRef(PyModule_GetDict(found));
}

PyTypeObject *function_type = nullptr;

nb::str qualname_of(const FunctionData &d) {
  return nb::str(d.info.qualname.data(), d.info.qualname.size());
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's listing of
// missing arguments (each name given by its repr()).
nb::object listed(const std::vector<nb::handle> &names) {
  nb::list reprs;
  for (nb::handle name : names) reprs.append(checked(PyObject_Repr(name.ptr())));
  const auto count = static_cast<Py_ssize_t>(names.size());
  auto item = [&](Py_ssize_t index) { return PyList_GetItem(reprs.ptr(), index); };  // borrowed
  if (count == 1) return nb::borrow(item(0));
  if (count == 2) return format_text("%U and %U", item(0), item(1));
  nb::object head = checked(PyList_GetSlice(reprs.ptr(), 0, count - 2));
  nb::object joined = checked(PyUnicode_Join(nb::str(", ").ptr(), head.ptr()));
  return format_text("%U, %U, and %U", joined.ptr(), item(count - 2), item(count - 1));
}

[[noreturn]] void missing_arguments(const FunctionData &d, const std::vector<nb::handle> &names,
                                    const char *kind) {
  const size_t count = names.size();
  raise(PyExc_TypeError, format_text("%U() missing %zd required %s argument%s: %U",
                                     qualname_of(d).ptr(), static_cast<Py_ssize_t>(count), kind,
                                     count == 1 ? "" : "s", listed(names).ptr()));
}

// The interpreter's "takes N positional arguments but M were given", with
// "(and K keyword-only arguments)" when some were given.
[[noreturn]] void too_many_positional(const FunctionData &d, PyObject *const *slots,
                                      size_t given) {
  Py_ssize_t keyword_only_given = 0;
  for (size_t i = 0; i < d.info.signature.params.size(); ++i) {
    if (d.info.signature.params[i].kind == ParamKind::keyword_only && slots[i]) {
      ++keyword_only_given;
    }
  }
  const auto count = static_cast<Py_ssize_t>(d.positional_count);
  const auto defaults = static_cast<Py_ssize_t>(d.positional_defaults);
  nb::str expected = defaults ? format_text("from %zd to %zd", count - defaults, count)
                              : format_text("%zd", count);
  const bool plural = defaults || count != 1;
  nb::str keyword_only = keyword_only_given
                             ? format_text(" positional argument%s (and %zd keyword-only argument%s)",
                                           given != 1 ? "s" : "", keyword_only_given,
                                           keyword_only_given != 1 ? "s" : "")
                             : nb::str("");
  raise(PyExc_TypeError,
        format_text("%U() takes %U positional argument%s but %zd%U %s given", qualname_of(d).ptr(),
                    expected.ptr(), plural ? "s" : "", static_cast<Py_ssize_t>(given),
                    keyword_only.ptr(), given == 1 && !keyword_only_given ? "was" : "were"));
}

// The interpreter's complaint about positional-only parameters given by
// keyword: every such keyword, in the order of the parameters. False when
// there is none (the caller then reports an unexpected keyword).
bool positional_only_passed_as_keyword(const FunctionData &d, PyObject *kwnames) {
  nb::list conflicts;
  for (size_t i = 0; i < d.info.signature.params.size(); ++i) {
    if (d.info.signature.params[i].kind != ParamKind::positional_only) continue;
    for (Py_ssize_t k = 0; k < PyTuple_Size(kwnames); ++k) {
      PyObject *key = PyTuple_GetItem(kwnames, k);
      if (key == d.names[i].ptr() || equals(d.names[i], key)) conflicts.append(nb::handle(key));
    }
  }
  if (nb::len(conflicts) == 0) return false;
  nb::object joined = checked(PyUnicode_Join(nb::str(", ").ptr(), conflicts.ptr()));
  raise(PyExc_TypeError, format_text("%U() got some positional-only arguments passed as keyword "
                                     "arguments: '%U'",
                                     qualname_of(d).ptr(), joined.ptr()));
}

// The slot of the parameter a keyword names (positional-only ones excluded),
// or -1: by identity first (names are interned), then by equality.
Py_ssize_t keyword_slot(const FunctionData &d, PyObject *key) {
  const auto &params = d.info.signature.params;
  auto nameable = [&](size_t i) {
    const ParamKind kind = params[i].kind;
    return kind == ParamKind::positional_or_keyword || kind == ParamKind::keyword_only;
  };
  for (size_t i = 0; i < params.size(); ++i) {
    if (nameable(i) && d.names[i].ptr() == key) return static_cast<Py_ssize_t>(i);
  }
  for (size_t i = 0; i < params.size(); ++i) {
    if (nameable(i) && equals(key, d.names[i])) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

// Binds a vectorcall's arguments into one slot per parameter, exactly as the
// interpreter binds a Python function's arguments: positional arguments,
// then keywords, then the count of positional ones, then the defaults and
// what is still missing, with the same TypeError texts at each step.
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

  // Positional arguments, the surplus to *args.
  const size_t taken = given < d.positional_count ? given : d.positional_count;
  for (size_t i = 0; i < taken; ++i) slots[i] = args[i];
  if (d.var_keyword >= 0) {
    extra_keywords = checked(PyDict_New());
    slots[d.var_keyword] = extra_keywords.ptr();
  }
  if (d.var_positional >= 0) {
    const size_t extra = given - taken;
    extra_positional = checked(PyTuple_New(static_cast<Py_ssize_t>(extra)));
    for (size_t i = 0; i < extra; ++i) {
      PyTuple_SetItem(extra_positional.ptr(), static_cast<Py_ssize_t>(i), Py_NewRef(args[taken + i]));
    }
    slots[d.var_positional] = extra_positional.ptr();
  }

  // Keyword arguments.
  if (kwnames) {
    const Py_ssize_t keywords = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      PyObject *key = PyTuple_GetItem(kwnames, k);
      PyObject *value = args[given + static_cast<size_t>(k)];
      if (!PyUnicode_Check(key)) {
        raise(PyExc_TypeError, format_text("%U() keywords must be strings", qualname_of(d).ptr()));
      }
      const Py_ssize_t found = keyword_slot(d, key);
      if (found < 0) {
        if (d.var_keyword < 0) {
          positional_only_passed_as_keyword(d, kwnames);
          raise(PyExc_TypeError, format_text("%U() got an unexpected keyword argument '%S'",
                                             qualname_of(d).ptr(), key));
        }
        if (PyDict_SetItem(extra_keywords.ptr(), key, value) < 0) throw nb::python_error();
        continue;
      }
      if (slots[found]) {
        raise(PyExc_TypeError, format_text("%U() got multiple values for argument '%S'",
                                           qualname_of(d).ptr(), key));
      }
      slots[found] = value;
    }
  }

  if (given > d.positional_count && d.var_positional < 0) too_many_positional(d, slots, given);

  // Defaults, then what is still missing: positional parameters first.
  std::vector<nb::handle> missing;
  for (size_t i = 0; i < d.positional_count; ++i) {
    if (!slots[i] && !params[i].default_value.is_valid()) missing.push_back(d.names[i]);
  }
  if (!missing.empty()) missing_arguments(d, missing, "positional");
  for (size_t i = 0; i < count; ++i) {
    if (slots[i]) continue;
    if (params[i].default_value.is_valid()) {
      slots[i] = params[i].default_value.ptr();
    } else {
      missing.push_back(d.names[i]);  // keyword-only: the rest are filled
    }
  }
  if (!missing.empty()) missing_arguments(d, missing, "keyword-only");

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

PyObject *get_text(const std::string &text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
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
    PyObject *built = nullptr;
    try {
      built = build_signature(*self->data).release().ptr();
    } catch (...) {
      restore_current_exception();
      return nullptr;
    }
    // Building runs Python code, so another thread may have stored one
    // meanwhile: the first one stored stays, the other is dropped.
    if (self->signature) {
      Py_DECREF(built);
    } else {
      self->signature = built;
    }
  }
  return Py_NewRef(self->signature);
}

nb::object annotations_of(const FunctionData &d) {
  nb::dict annotations;
  for (const Param &p : d.info.signature.params) {
    if (!p.annotation.empty()) annotations[p.name.c_str()] = nb::str(p.annotation.c_str());
  }
  const std::string &ret = d.info.signature.return_annotation;
  if (!ret.empty()) annotations["return"] = nb::str(ret.c_str());
  return annotations;
}

// One dict for the life of the function, as for a Python function: what is
// stored in it or assigned to __annotations__ stays; after `del` it is a new
// empty dict.
PyObject *get_annotations(PyObject *obj, void *) {
  auto *self = reinterpret_cast<FunctionObject *>(obj);
  if (!self->annotations) {
    self->annotations = PyDict_New();
    if (!self->annotations) return nullptr;
  }
  return Py_NewRef(self->annotations);
}

int set_annotations(PyObject *obj, PyObject *value, void *) {
  auto *self = reinterpret_cast<FunctionObject *>(obj);
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  PyObject *previous = self->annotations;
  self->annotations = Py_XNewRef(value);
  Py_XDECREF(previous);
  return 0;
}

PyObject *get_globals(PyObject *obj, void *) {
  auto *self = reinterpret_cast<FunctionObject *>(obj);
  if (!self->globals) self->globals = namespace_of(self->data->info.module);
  if (!self->globals) {
    PyErr_Format(PyExc_AttributeError, "no module named '%s' is loaded to give __globals__",
                 self->data->info.module.c_str());
    return nullptr;
  }
  return Py_NewRef(self->globals);
}

// Pickled by reference, as a Python function is: pickle finds the function
// again as `__qualname__` in the module `__module__` (copy and deepcopy give
// the function itself).
PyObject *function_reduce(PyObject *obj, PyObject *) {
  return get_text(reinterpret_cast<FunctionObject *>(obj)->data->info.qualname);
}


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
  const char *text = PyUnicode_AsUTF8AndSize(value, nullptr);
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

// A builtin type by its name in builtins (staticmethod, classmethod) or
// in types (MethodType), kept for the life of the process.
PyObject *kept_type(const char *module, const char *name) {
  nb::object type = nb::module_::import_(module).attr(name);
  return type.release().ptr();
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  static PyObject *method_type = nullptr;
  if (!method_type) {
    try {
      method_type = kept_type("types", "MethodType");
    } catch (...) {
      restore_current_exception();
      return nullptr;
    }
  }
  PyObject *args[] = {self, obj};
  return PyObject_Vectorcall(method_type, args, 2, nullptr);
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
  Py_VISIT(self->annotations);
  Py_VISIT(self->globals);
  if (self->data) {
    for (const Param &p : self->data->info.signature.params) Py_VISIT(p.default_value.ptr());
  }
  return 0;
}

int function_clear(PyObject *obj) {
  auto *self = reinterpret_cast<FunctionObject *>(obj);
  Py_CLEAR(self->dict);
  Py_CLEAR(self->signature);
  Py_CLEAR(self->annotations);
  Py_CLEAR(self->globals);
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
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
  Py_DECREF(type);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
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
      {Py_tp_methods, function_methods},
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
  self->annotations = nullptr;
  self->globals = namespace_of(self->data->info.module);
  self->weakrefs = nullptr;
  nb::object result = nb::steal(reinterpret_cast<PyObject *>(self));
  PyObject_GC_Track(self);
  self->annotations = annotations_of(*self->data).release().ptr();

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
  static PyObject *staticmethod_type = kept_type("builtins", "staticmethod");
  return checked(call_one_arg(staticmethod_type, fn.ptr()));
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
  static PyObject *staticmethod_type = kept_type("builtins", "staticmethod");
  static PyObject *classmethod_type = kept_type("builtins", "classmethod");
  PyObject *target = value.ptr();
  if (Py_IS_TYPE(target, reinterpret_cast<PyTypeObject *>(staticmethod_type)) ||
      Py_IS_TYPE(target, reinterpret_cast<PyTypeObject *>(classmethod_type))) {
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

namespace {

// The builtins a function of the module reads, as the interpreter finds
// them: the module's `__builtins__` (a module stands for its dict), or the
// running code's builtins when the module has none. Borrowed.
PyObject *builtins_of(nb::handle module_dict) {
  PyObject *builtins = PyDict_GetItemWithError(module_dict.ptr(), intern_builtins());
  if (!builtins) {
    if (PyErr_Occurred()) throw nb::python_error();
    return PyEval_GetBuiltins();
  }
  return PyModule_Check(builtins) ? PyModule_GetDict(builtins) : builtins;
}

// builtins[name], or null with no error when absent (a builtins mapping
// that is no dict is read with [] as the interpreter reads it).
PyObject *builtin(PyObject *builtins, PyObject *name) {
  if (PyDict_CheckExact(builtins)) {
    PyObject *value = PyDict_GetItemWithError(builtins, name);
    if (!value && PyErr_Occurred()) throw nb::python_error();
    return Py_XNewRef(value);
  }
  PyObject *value = PyObject_GetItem(builtins, name);
  if (!value && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
  if (!value && PyErr_Occurred()) throw nb::python_error();
  return value;
}

}  // namespace

nb::object global(nb::handle module_dict, const char *name) {
  PyObject *value = PyDict_GetItemString(module_dict.ptr(), name);  // borrowed
  if (value) return nb::borrow(value);
  return global(module_dict, nb::str(name));
}

nb::object global(nb::handle module_dict, nb::handle name) {
  PyObject *value = PyDict_GetItemWithError(module_dict.ptr(), name.ptr());  // borrowed
  if (value) return nb::borrow(value);
  if (PyErr_Occurred()) throw nb::python_error();
  PyObject *builtins = builtins_of(module_dict);
  value = builtins ? builtin(builtins, name.ptr()) : nullptr;
  if (value) return nb::steal(value);
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
  throw nb::python_error();
}

void Globals::bind(nb::handle module) {
  PyObject *dict = PyModule_GetDict(module.ptr());  // borrowed
  if (!dict) throw nb::python_error();
  dict_ = nb::handle(dict).inc_ref();  // never released, see the header
  // As a Python module gets them when its code runs: the builtins of the
  // importing code, unless the namespace names its own.
  if (!PyDict_GetItemWithError(dict, intern_builtins())) {
    if (PyErr_Occurred()) throw nb::python_error();
    if (PyDict_SetItem(dict, intern_builtins(), PyEval_GetBuiltins()) < 0) throw nb::python_error();
  }
  std::string name = str(module.attr("__name__"));
  bound_namespaces().emplace_back(std::move(name), nb::handle(dict).inc_ref().ptr());
}

}  // namespace zlg
