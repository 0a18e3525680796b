// Turning Python errors into C++ values and back.
//
// Inside the modules every Python error travels as nb::python_error (nanobind
// throws it whenever a call into Python fails). These helpers raise new
// exceptions the way a Python `raise` inside an `except` block would: with the
// caught exception as __context__, or as __cause__ for `raise ... from`.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <string>
#include <string_view>

namespace zlg {

namespace nb = nanobind;

// A new exception object `exc_type(message)` (not raised). The message is
// UTF-8 text, or a Python str (any str, lone surrogates included).
nb::object new_exception(nb::handle exc_type, std::string_view message);
nb::object new_exception(nb::handle exc_type, nb::handle message);

// PyUnicode_FromFormat as an owned str, for messages that quote caller text:
// %S is str(obj), %R repr(obj), %U a str, %s UTF-8 text. The caller's objects
// are joined as Python strings, never converted through UTF-8, so a message
// holds whatever they hold (text decoded with surrogateescape included), as
// an f-string would.
//
//   zlg::raise(PyExc_ValueError, zlg::format_text("cannot score %S", answer.ptr()));
template <typename... Values>
nb::str format_text(const char *format, Values... values) {
  PyObject *text = PyUnicode_FromFormat(format, values...);
  if (!text) throw nb::python_error();
  return nb::steal<nb::str>(text);
}

// Throws `exc` as nb::python_error. `exc` must be an exception instance.
[[noreturn]] void throw_exception(nb::handle exc);

// raise exc_type(message)
[[noreturn]] void raise(nb::handle exc_type, std::string_view message);
[[noreturn]] void raise(nb::handle exc_type, nb::handle message);

// raise exc_type(message), from inside the handler of `caught`: the caught
// exception becomes the new one's __context__ and keeps its own traceback.
[[noreturn]] void raise_in_handler(nb::handle exc_type, std::string_view message,
                                   const nb::python_error &caught);
[[noreturn]] void raise_in_handler(nb::handle exc_type, nb::handle message,
                                   const nb::python_error &caught);

// raise exc_type(message) from caught: __cause__ (and __context__) are the
// caught exception, __suppress_context__ is set.
[[noreturn]] void raise_from(nb::handle exc_type, std::string_view message,
                             const nb::python_error &caught);
[[noreturn]] void raise_from(nb::handle exc_type, nb::handle message,
                             const nb::python_error &caught);

// Chains `raised` to `context` as the interpreter chains an exception raised
// while another is being handled (the __exit__ of a with block, a message
// built inside `except`): `context` becomes raised.__context__, unless raised
// already has a context or is `context` itself. As the interpreter does, a
// link back to `raised` found in the context chain of `context` is cut first,
// so no __context__ cycle is made. Rethrow `raised` afterwards.
void chain_context(const nb::python_error &raised, nb::handle context);

// str(obj) as UTF-8; what f"{obj}" gives for exceptions and values.
std::string str(nb::handle obj);

// The exception object carried by the C++ exception `error`, translating
// nanobind's builtin exceptions and the standard ones the way nanobind does
// at a function boundary (bad_alloc -> MemoryError, invalid_argument ->
// ValueError, out_of_range -> IndexError, everything else -> RuntimeError).
nb::object exception_object(std::exception_ptr error);

// Converts the C++ exception being handled (call only inside `catch`) into a
// python_error, so callers can treat every failure uniformly. The exception
// being handled is left intact, so `throw;` still works afterwards.
nb::python_error current_python_error();

// Sets the Python error indicator from the C++ exception being handled. Used
// at the edge where C++ returns to the interpreter.
void restore_current_exception();

}  // namespace zlg
