#include "common/errors.h"

#include <new>
#include <stdexcept>

#include "common/pyops.h"

namespace zlg {

nb::object new_exception(nb::handle exc_type, nb::handle message) {
  PyObject *exc = call_one_arg(exc_type.ptr(), message.ptr());
  if (!exc) throw nb::python_error();
  return nb::steal(exc);
}

nb::object new_exception(nb::handle exc_type, std::string_view message) {
  return new_exception(exc_type, nb::str(message.data(), message.size()));
}

void throw_exception(nb::handle exc) {
  PyErr_SetRaisedException(nb::borrow(exc).release().ptr());
  throw nb::python_error();
}

void raise(nb::handle exc_type, std::string_view message) {
  throw_exception(new_exception(exc_type, message));
}

void raise(nb::handle exc_type, nb::handle message) {
  throw_exception(new_exception(exc_type, message));
}

namespace {

[[noreturn]] void throw_in_handler(nb::handle exc, const nb::python_error &caught) {
  // PyException_SetContext steals its argument.
  PyException_SetContext(exc.ptr(), nb::borrow(caught.value()).release().ptr());
  throw_exception(exc);
}

[[noreturn]] void throw_from(nb::handle exc, const nb::python_error &caught) {
  PyException_SetContext(exc.ptr(), nb::borrow(caught.value()).release().ptr());
  // Sets __suppress_context__ as `raise ... from` does.
  PyException_SetCause(exc.ptr(), nb::borrow(caught.value()).release().ptr());
  throw_exception(exc);
}

}  // namespace

void raise_in_handler(nb::handle exc_type, std::string_view message,
                      const nb::python_error &caught) {
  throw_in_handler(new_exception(exc_type, message), caught);
}

void raise_in_handler(nb::handle exc_type, nb::handle message, const nb::python_error &caught) {
  throw_in_handler(new_exception(exc_type, message), caught);
}

void raise_from(nb::handle exc_type, std::string_view message, const nb::python_error &caught) {
  throw_from(new_exception(exc_type, message), caught);
}

void raise_from(nb::handle exc_type, nb::handle message, const nb::python_error &caught) {
  throw_from(new_exception(exc_type, message), caught);
}

void chain_context(const nb::python_error &raised, nb::handle context) {
  PyObject *exc = raised.value().ptr();
  if (exc == context.ptr()) return;
  PyObject *existing = PyException_GetContext(exc);  // new reference
  if (existing) {
    Py_DECREF(existing);
    return;
  }
  // The interpreter's walk (Floyd's cycle detection, so a cycle made
  // elsewhere ends the walk instead of hanging it): a link from the chain of
  // `context` back to `exc` is cut, as that link would close a cycle.
  PyObject *link = context.ptr();
  PyObject *slow = link;
  bool advance_slow = false;
  while (PyObject *next = PyException_GetContext(link)) {  // new reference
    Py_DECREF(next);  // still held by `link`
    if (next == exc) {
      PyException_SetContext(link, nullptr);
      break;
    }
    link = next;
    if (link == slow) break;  // a cycle that does not pass through `exc`
    if (advance_slow) {
      slow = PyException_GetContext(slow);
      Py_DECREF(slow);
    }
    advance_slow = !advance_slow;
  }
  // PyException_SetContext steals its argument.
  PyException_SetContext(exc, nb::borrow(context).release().ptr());
}

std::string str(nb::handle obj) {
  nb::str text = nb::str(obj);
  Py_ssize_t size = 0;
  const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw nb::python_error();
  return std::string(data, static_cast<size_t>(size));
}

namespace {

// Sets the error indicator for one C++ exception.
void set_error_from(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (nb::python_error &e) {
    // Set a new reference, leaving `e` intact: the caller may still rethrow it.
    PyErr_SetRaisedException(nb::borrow(e.value()).release().ptr());
  } catch (nb::builtin_exception &e) {
    PyObject *type = nullptr;
    switch (e.type()) {
      case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
      case nb::exception_type::index_error: type = PyExc_IndexError; break;
      case nb::exception_type::key_error: type = PyExc_KeyError; break;
      case nb::exception_type::value_error: type = PyExc_ValueError; break;
      case nb::exception_type::type_error: type = PyExc_TypeError; break;
      case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
      case nb::exception_type::import_error: type = PyExc_ImportError; break;
      case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
      case nb::exception_type::next_overload: type = PyExc_TypeError; break;
      default: type = PyExc_RuntimeError; break;
    }
    PyErr_SetString(type, e.what());
  } catch (std::bad_alloc &) {
    PyErr_NoMemory();
  } catch (std::invalid_argument &e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (std::out_of_range &e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (std::exception &e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
}

}  // namespace

nb::object exception_object(std::exception_ptr error) {
  set_error_from(error);
  return nb::steal(PyErr_GetRaisedException());
}

nb::python_error current_python_error() {
  set_error_from(std::current_exception());
  return nb::python_error();
}

void restore_current_exception() { set_error_from(std::current_exception()); }

}  // namespace zlg
