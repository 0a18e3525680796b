// Native callables that tell the truth to Python.
//
// A zlg function behaves like a function written in Python: it binds its
// arguments by the same rules in the same order (same TypeError texts),
// pickles and copies by reference (module and qualified name), has
// __globals__ and one __annotations__ dict, exposes __signature__
// with real parameter names, kinds, defaults and annotations, binds to
// instances through the descriptor protocol (so `instance.method` is a bound
// method and `inspect.signature` drops `self`), and a coroutine function
// answers true to inspect.iscoroutinefunction.
//
// Classes are built with Python's own type() (or the metaclass of the first
// base), so class attributes are ordinary attributes, looked up at call time,
// and private names are mangled as Python would mangle them.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace zlg {

namespace nb = nanobind;

class Coroutine;

enum class ParamKind {
  positional_only,
  positional_or_keyword,
  var_positional,
  keyword_only,
  var_keyword,
};

struct Param {
  std::string name;
  ParamKind kind = ParamKind::positional_or_keyword;
  nb::object default_value;  // null handle: the parameter is required
  std::string annotation;    // empty: no annotation; shown as a string, as
                             // with `from __future__ import annotations`

  // Shorthands: Param::required("x"), Param::optional("x", nb::none()),
  // Param::var_keyword("kwargs").
  static Param required(std::string name, std::string annotation = {});
  static Param optional(std::string name, nb::object default_value, std::string annotation = {});
  static Param keyword_only(std::string name, nb::object default_value = {},
                            std::string annotation = {});
  static Param var_positional(std::string name, std::string annotation = {});
  static Param var_keyword(std::string name, std::string annotation = {});
};

struct Signature {
  Signature() = default;
  Signature(std::vector<Param> parameters, std::string returns = {})
      : params(std::move(parameters)), return_annotation(std::move(returns)) {}
  Signature(std::initializer_list<Param> parameters, std::string returns = {})
      : params(parameters), return_annotation(std::move(returns)) {}

  std::vector<Param> params;
  std::string return_annotation;  // empty: none
};

// The bound arguments of one call: one slot per parameter in declaration
// order. A *args slot holds a tuple, a **kwargs slot a dict (never null).
class Args {
 public:
  Args(PyObject *const *slots, size_t count) : slots_(slots), count_(count) {}
  nb::handle operator[](size_t index) const { return slots_[index]; }
  size_t size() const { return count_; }

 private:
  PyObject *const *slots_;
  size_t count_;
};

using Impl = std::function<nb::object(const Args &)>;
using CoroutineImpl = std::function<Coroutine(const Args &)>;

struct FunctionInfo {
  std::string name;
  std::string qualname;  // defaults to name
  std::string module;    // __module__
  std::string doc;       // empty: __doc__ is None
  Signature signature;
};

// A plain function (or a method, when placed in a class namespace).
nb::object make_function(FunctionInfo info, Impl impl);

// A coroutine function: calling it binds the arguments, runs `impl` to create
// the C++ coroutine (suspended before its first statement) and returns it as
// a Python coroutine object named after the function.
//
// The C++ coroutine must own everything it uses: take nb::object parameters
// by value (they are copied into the coroutine frame). Never capture the
// Args or references to them.
nb::object make_coroutine_function(FunctionInfo info, CoroutineImpl impl);

// staticmethod(fn)
nb::object static_method(nb::handle fn);

// Python's private-name mangling: mangle("TallyxProvider", "__compute") ->
// "_TallyxProvider__compute".
std::string mangle(std::string_view class_name, std::string_view name);

// Builds a class with the metaclass of its first base (type for none):
// metaclass(name, bases, namespace). The namespace gets __module__ and
// __qualname__ when it lacks them.
nb::object make_class(const std::string &name, const std::string &module, nb::tuple bases,
                      nb::dict ns);

// Looks a module-level name up at call time, as Python code reads a global:
// the module dict first, then the module's own builtins (its __builtins__,
// set by Globals::bind; the running code's builtins only for a namespace
// without one); NameError when neither has it.
nb::object global(nb::handle module_dict, const char *name);
// The same for a name held as a str: for hot paths, with an interned name
// (zlg::intern) kept by the caller, so no text object is made per lookup.
nb::object global(nb::handle module_dict, nb::handle name);

// A module's namespace, whose globals its functions read at call time:
//
//   zlg::Globals global;                       // namespace scope
//   NB_MODULE(name, m) { global.bind(m); ... }
//   ... global("pd").attr("DataFrame")(...) ...
//
// bind() gives the namespace the builtins of the importing code as its
// __builtins__ (as a Python module gets them), unless it has its own, and
// makes it the __globals__ of the module's functions. It takes a reference
// to the module's dict that is never given back:
// the namespace must outlive every function of the module (which may be kept
// after the module itself is dropped), and nothing may be released after the
// interpreter has gone. Holding only a handle, a Globals is trivially
// destructible.
class Globals {
 public:
  void bind(nb::handle module);
  nb::object operator()(const char *name) const { return global(dict_, name); }
  nb::object operator()(nb::handle name) const { return global(dict_, name); }
  nb::handle dict() const { return dict_; }

 private:
  nb::handle dict_;
};

}  // namespace zlg
