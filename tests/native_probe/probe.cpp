// Small coroutines and functions built with the native toolkit, so the tests
// can drive every path of the bridge from Python.
#include <nanobind/nanobind.h>

#include "common/sha256.h"
#include "common/zlg.h"

namespace nb = nanobind;
using zlg::Args;
using zlg::Coroutine;
using zlg::FunctionInfo;
using zlg::Param;

namespace {

zlg::Globals global;

// Awaits each awaitable in turn; returns the list of results.
Coroutine await_each(nb::object awaitables) {
  nb::list results;
  for (nb::handle awaitable : awaitables) results.append(co_await awaitable);
  co_return results;
}

// Awaits one awaitable and returns its result; holds nothing else.
Coroutine await_one(nb::object awaitable) { co_return co_await awaitable; }

// Returns its argument without awaiting anything.
Coroutine give_back(nb::object value) { co_return value; }

// Awaits `factory()` `count` times; returns how many awaits completed.
Coroutine await_repeatedly(nb::object factory, nb::object count) {
  size_t n = nb::cast<size_t>(count);
  size_t done = 0;
  for (size_t i = 0; i < n; ++i) {
    co_await factory();
    ++done;
  }
  co_return nb::int_(done);
}

// Awaits `awaitable`; on any failure records it in `log`, awaits
// `cleanup()` (a coroutine function) and lets the failure go on.
Coroutine await_with_cleanup(nb::object awaitable, nb::object cleanup, nb::object log) {
  std::exception_ptr failure;
  nb::object result;
  try {
    result = co_await awaitable;
  } catch (nb::python_error &e) {
    log.attr("append")(nb::make_tuple("caught", nb::borrow(e.type())));
    failure = std::current_exception();
  }
  co_await cleanup();
  log.attr("append")(nb::str("cleaned up"));
  if (failure) std::rethrow_exception(failure);
  co_return result;
}

// Awaits `awaitable`; an exception of the Exception family becomes the value.
Coroutine await_catching(nb::object awaitable) {
  try {
    co_return co_await awaitable;
  } catch (nb::python_error &e) {
    if (!e.matches(PyExc_Exception)) throw;
    co_return nb::make_tuple(nb::str("caught"), nb::borrow(e.value()));
  }
}

// The body of with_manager's `async with`: await body(entered); extra: (body,).
Coroutine call_body(nb::object entered, nb::tuple extra) {
  nb::object body = extra[0];
  co_return co_await body(entered);
}

// async with manager as entered: return await body(entered)
Coroutine with_manager(nb::object manager, nb::object body) {
  co_return co_await zlg::async_with(manager, call_body, nb::make_tuple(body));
}

// Raises a C++ exception from inside the frame.
Coroutine fail_in_cpp(nb::object kind) {
  std::string which = zlg::str(kind);
  if (which == "runtime") throw std::runtime_error("native failure");
  if (which == "value") throw nb::value_error("bad value");
  if (which == "stop") zlg::raise(PyExc_StopIteration, "stopped");
  co_return nb::none();
}

// Calls fn(); wraps an Exception-family failure as the named chaining asks.
nb::object wrap_failure(nb::handle fn, nb::handle how) {
  try {
    return fn();
  } catch (nb::python_error &e) {
    if (!e.matches(PyExc_Exception)) throw;
    std::string message = "Wrapped: " + zlg::str(e.value());
    if (zlg::str(how) == "cause") zlg::raise_from(PyExc_Exception, message, e);
    zlg::raise_in_handler(PyExc_Exception, message, e);
  }
}

// Converts the handled error, then rethrows the original.
nb::object convert_then_rethrow(nb::handle fn) {
  try {
    return fn();
  } catch (nb::python_error &) {
    nb::python_error converted = zlg::current_python_error();
    if (!converted.matches(PyExc_Exception)) throw;
    throw;
  }
}

// with manager: return ("done", body()) -- or ("swallowed",) when __exit__
// swallowed the body's exception.
nb::object run_with_block(nb::handle manager, nb::handle body) {
  nb::object result = zlg::with_block(manager, [body] { return body(); });
  if (!result.is_valid()) return nb::make_tuple("swallowed");
  return nb::make_tuple("done", result);
}

// fn(**keywords, **extra), the given dict left as it is.
nb::object call_unpacking(nb::handle fn, nb::handle keywords, nb::handle extra) {
  nb::dict copy;
  copy.update(keywords);
  return zlg::call_with_keywords(fn, copy, extra);
}

FunctionInfo info(const char *name, zlg::Signature signature, const char *doc = "") {
  return FunctionInfo{name, "", "zlg_probe", doc, std::move(signature)};
}

}  // namespace

void add_binding_probes(nb::module_ &m);    // defined at the end of the file
void add_coroutine_probes(nb::module_ &m);  // defined at the end of the file

NB_MODULE(zlg_probe, m) {
  add_coroutine_probes(m);
  global.bind(m);
  auto coroutine_of_one = [](const char *name, Coroutine (*body)(nb::object)) {
    return zlg::make_coroutine_function(info(name, {{Param::required("value")}}),
                                        [body](const Args &a) { return body(nb::borrow(a[0])); });
  };
  m.attr("await_each") = coroutine_of_one("await_each", await_each);
  m.attr("await_one") = coroutine_of_one("await_one", await_one);
  m.attr("give_back") = coroutine_of_one("give_back", give_back);
  m.attr("await_catching") = coroutine_of_one("await_catching", await_catching);
  m.attr("fail_in_cpp") = coroutine_of_one("fail_in_cpp", fail_in_cpp);
  m.attr("await_repeatedly") = zlg::make_coroutine_function(
      info("await_repeatedly", {{Param::required("factory"), Param::required("count")}}),
      [](const Args &a) { return await_repeatedly(nb::borrow(a[0]), nb::borrow(a[1])); });
  m.attr("await_with_cleanup") = zlg::make_coroutine_function(
      info("await_with_cleanup",
           {{Param::required("awaitable"), Param::required("cleanup"), Param::required("log")}}),
      [](const Args &a) {
        return await_with_cleanup(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2]));
      });
  m.attr("with_manager") = zlg::make_coroutine_function(
      info("with_manager", {{Param::required("manager"), Param::required("body")}}),
      [](const Args &a) { return with_manager(nb::borrow(a[0]), nb::borrow(a[1])); });
  m.attr("wrap_failure") = zlg::make_function(
      info("wrap_failure", {{Param::required("fn"), Param::optional("how", nb::str("context"))}}),
      [](const Args &a) { return wrap_failure(a[0], a[1]); });

  m.attr("convert_then_rethrow") = zlg::make_function(
      info("convert_then_rethrow", {{Param::required("fn")}}),
      [](const Args &a) { return convert_then_rethrow(a[0]); });

  // SHA-256 of bytes as hex, through the processor's instructions where it has them or the
  // portable rounds; and round() of a float.
  m.attr("sha256_hex") = zlg::make_function(
      info("sha256_hex", {{Param::required("data"), Param::required("portable")}}), [](const Args &a) {
        char *raw = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(a[0].ptr(), &raw, &size) != 0) throw nb::python_error();
        std::string_view bytes(raw, static_cast<std::size_t>(size));
        zlg::Sha256Digest digest = zlg::truthy(a[1]) ? zlg::sha256_portable(bytes) : zlg::sha256(bytes);
        std::string hex;
        for (auto byte : digest) {
          hex.push_back("0123456789abcdef"[byte >> 4]);
          hex.push_back("0123456789abcdef"[byte & 15]);
        }
        return nb::object(nb::str(hex.c_str()));
      });
  m.attr("round_float") = zlg::make_function(
      info("round_float", {{Param::required("x"), Param::required("ndigits")}}), [](const Args &a) {
        return nb::object(nb::float_(zlg::round_float(nb::cast<double>(a[0]), nb::cast<int>(a[1]))));
      });

  // The Python-semantics helpers, one function each.
  m.attr("unpack_pair") =
      zlg::make_function(info("unpack_pair", {{Param::required("value")}}), [](const Args &a) {
        auto [first, second] = zlg::unpack_pair(a[0]);
        return nb::object(nb::make_tuple(first, second));
      });
  m.attr("call_unpacking") = zlg::make_function(
      info("call_unpacking",
           {{Param::required("fn"), Param::required("keywords"), Param::required("extra")}}),
      [](const Args &a) { return call_unpacking(a[0], a[1], a[2]); });
  m.attr("function_str") =
      zlg::make_function(info("function_str", {{Param::required("fn")}}), [](const Args &a) {
        return nb::object(nb::str(zlg::function_str(a[0]).c_str()));
      });
  m.attr("has_attribute") = zlg::make_function(
      info("has_attribute", {{Param::required("obj"), Param::required("name")}}),
      [](const Args &a) {
        return nb::object(nb::bool_(zlg::hasattr(a[0], zlg::str(a[1]).c_str())));
      });
  m.attr("attribute_or") = zlg::make_function(
      info("attribute_or",
           {{Param::required("obj"), Param::required("name"), Param::required("fallback")}}),
      [](const Args &a) { return zlg::getattr_or(a[0], a[1], a[2]); });
  m.attr("with_block") = zlg::make_function(
      info("with_block", {{Param::required("manager"), Param::required("body")}}),
      [](const Args &a) { return run_with_block(a[0], a[1]); });
  m.attr("read_global") =
      zlg::make_function(info("read_global", {{Param::required("name")}}),
                         [](const Args &a) { return global(a[0]); });
  m.attr("PROBE_CONSTANT") = nb::int_(7);

  // Every parameter kind, to check binding and signatures against Python's.
  m.attr("all_kinds") = zlg::make_function(
      info("all_kinds",
           {{Param{"a", zlg::ParamKind::positional_only, {}, "int"},
             Param::required("b", "str"), Param::optional("c", nb::none(), "list[str] | None"),
             Param::var_positional("args"), Param::keyword_only("d", nb::int_(4)),
             Param::keyword_only("e"), Param::var_keyword("kwargs")},
            "dict"},
           "Binds every kind of parameter and returns what it got."),
      [](const Args &a) {
        nb::dict got;
        const char *names[] = {"a", "b", "c", "args", "d", "e", "kwargs"};
        for (size_t i = 0; i < a.size(); ++i) got[names[i]] = a[i];
        return nb::object(got);
      });
  nb::list shared_default;
  m.attr("three_to_five") = zlg::make_function(
      info("three_to_five",
           {{Param::required("x"), Param::required("y"), Param::required("z"),
             Param::optional("u", nb::none()), Param::optional("w", shared_default),
             Param::var_keyword("kwargs")}}),
      [](const Args &a) { return nb::object(nb::make_tuple(a[0], a[1], a[2], a[3], a[4], a[5])); });

  // A class built the Python way, with a method, a private method, a
  // coroutine method and a static method.
  nb::dict ns;
  ns["LABEL"] = nb::str("class attribute");
  ns["describe"] = zlg::make_function(
      info("describe", {{Param::required("self"), Param::required("value")}}), [](const Args &a) {
        nb::handle self = a[0];
        return self.attr(zlg::mangle("Widget", "__label").c_str())(nb::arg("value") = a[1]);
      });
  ns[zlg::mangle("Widget", "__label").c_str()] = zlg::make_function(
      info("__label", {{Param::required("self"), Param::required("value")}}), [](const Args &a) {
        nb::handle self = a[0];
        return nb::object(nb::str("{}: {}").format(self.attr("LABEL"), a[1]));
      });
  ns["later"] = zlg::make_coroutine_function(
      info("later", {{Param::required("self"), Param::required("value")}}),
      [](const Args &a) { return give_back(nb::borrow(a[1])); });
  ns["double"] = zlg::static_method(zlg::make_function(
      info("double", {{Param::required("n")}}),
      [](const Args &a) { return nb::object(a[0] + a[0]); }));
  m.attr("Widget") = zlg::make_class("Widget", "zlg_probe", nb::make_tuple(), ns);
  add_binding_probes(m);
}

// ---------------------------------------------------------------------------
// Binding, special-method lookup and exception chaining probes.

void add_binding_probes(nb::module_ &m) {
  auto tuple_of_all = [](const Args &a) {
    nb::list values;
    for (size_t i = 0; i < a.size(); ++i) values.append(a[i]);
    return nb::object(nb::tuple(values));
  };
  // strict(a, /, b, c=3, *, d, e=5), one(x), pair(a, b, /, c), four(a, b, c, d)
  m.attr("strict") = zlg::make_function(
      info("strict", {{Param{"a", zlg::ParamKind::positional_only, {}, {}}, Param::required("b"),
                       Param::optional("c", nb::int_(3)), Param::keyword_only("d"),
                       Param::keyword_only("e", nb::int_(5))}}),
      tuple_of_all);
  m.attr("one") = zlg::make_function(info("one", {{Param::required("x")}}), tuple_of_all);
  m.attr("pair") = zlg::make_function(
      info("pair", {{Param{"a", zlg::ParamKind::positional_only, {}, {}},
                     Param{"b", zlg::ParamKind::positional_only, {}, {}}, Param::required("c")}}),
      tuple_of_all);
  m.attr("four") = zlg::make_function(
      info("four", {{Param::required("a"), Param::required("b"), Param::required("c"),
                     Param::required("d")}}),
      tuple_of_all);
  // special_method(obj, name) -> (True, bound) or (False, None)
  m.attr("special_method") = zlg::make_function(
      info("special_method", {{Param::required("obj"), Param::required("name")}}),
      [](const Args &a) {
        nb::object found = zlg::lookup_special(a[0], a[1]);
        return found.is_valid() ? nb::make_tuple(true, found) : nb::make_tuple(false, nb::none());
      });
  // chain_context(raised, context) -> raised, chained as after an __exit__
  m.attr("chain_context") = zlg::make_function(
      info("chain_context", {{Param::required("raised"), Param::required("context")}}),
      [](const Args &a) {
        PyErr_SetRaisedException(nb::borrow(a[0]).release().ptr());
        nb::python_error raised;
        zlg::chain_context(raised, a[1]);
        return nb::borrow(raised.value());
      });
}

// --- Coroutine protocol probes -------------------------------------------------------------
// (kept together at the end so that other additions to this file stay apart)

namespace {

// with_manager's body when it needs more than one object: await body(entered, extra).
Coroutine call_body_with(nb::object entered, nb::tuple extra) {
  nb::object body = extra[0];
  co_return co_await body(entered, extra[1]);
}

// async with manager as entered: return await body(entered, extra)
Coroutine with_manager_and(nb::object manager, nb::object body, nb::object extra) {
  co_return co_await zlg::async_with(manager, call_body_with, nb::make_tuple(body, extra));
}

}  // namespace

void add_coroutine_probes(nb::module_ &m) {
  m.attr("with_manager_and") = zlg::make_coroutine_function(
      info("with_manager_and",
           {{Param::required("manager"), Param::required("body"), Param::required("extra")}}),
      [](const Args &a) {
        return with_manager_and(nb::borrow(a[0]), nb::borrow(a[1]), nb::borrow(a[2]));
      });
  m.attr("is_native_coroutine") = zlg::make_function(
      info("is_native_coroutine", {{Param::required("obj")}}),
      [](const Args &a) { return nb::object(nb::bool_(zlg::is_native_coroutine(a[0]))); });
}
