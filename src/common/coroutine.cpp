#include "common/coroutine.h"

#include <structmember.h>

#include <string>

#include "common/errors.h"
#include "common/pyops.h"

namespace zlg {

namespace {

// The Python object that owns a C++ coroutine frame.
struct CoroutineObject {
  PyObject_HEAD
  Coroutine::handle_type frame;  // null once the frame is destroyed
  PyObject *name;
  PyObject *qualname;
  PyObject *weakrefs;
  bool started;
  bool running;
  bool finished;
};

PyTypeObject *coroutine_type = nullptr;
PyTypeObject *get_coroutine_type();

CoroutineObject *as_coroutine(PyObject *obj) { return reinterpret_cast<CoroutineObject *>(obj); }

Coroutine::promise_type &promise_of(CoroutineObject *self) { return self->frame.promise(); }

void destroy_frame(CoroutineObject *self) {
  if (self->frame) {
    // Destroying the frame releases its locals, which may run arbitrary
    // Python code; detach it first so nothing sees a half-destroyed frame.
    Coroutine::handle_type frame = self->frame;
    self->frame = {};
    frame.destroy();
  }
  self->finished = true;
}

// getattr(obj, name, None) that still reports errors other than AttributeError.
int get_optional_attr(PyObject *obj, const char *name, PyObject **result) {
  *result = PyObject_GetAttrString(obj, name);
  if (*result) return 1;
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return 0;
  }
  return -1;
}

// The iterator `await obj` would delegate to (what CPython's
// _PyCoro_GetAwaitableIter does).
nb::object awaitable_iterator(nb::handle obj) {
  PyTypeObject *type = Py_TYPE(obj.ptr());
  if (PyCoro_CheckExact(obj.ptr()) || type == get_coroutine_type()) return nb::borrow(obj);
  if (PyGen_CheckExact(obj.ptr())) {
    // A generator-based coroutine (types.coroutine) is awaitable as is.
    nb::object flags = obj.attr("gi_code").attr("co_flags");
    if (nb::cast<long>(flags) & CO_ITERABLE_COROUTINE) return nb::borrow(obj);
  }
  unaryfunc await_slot = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
  if (!await_slot) {
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                 type->tp_name);
    throw nb::python_error();
  }
  PyObject *iterator = await_slot(obj.ptr());
  if (!iterator) throw nb::python_error();
  if (PyCoro_CheckExact(iterator)) {
    Py_DECREF(iterator);
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    throw nb::python_error();
  }
  if (!PyIter_Check(iterator)) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 Py_TYPE(iterator)->tp_name);
    Py_DECREF(iterator);
    throw nb::python_error();
  }
  return nb::steal(iterator);
}

// Raises the error the frame left (or the StopIteration of its value).
PySendResult finish(CoroutineObject *self, PyObject **result) {
  Coroutine::promise_type &promise = promise_of(self);
  PyObject *error = promise.error;
  PyObject *value = promise.result;
  promise.error = nullptr;
  promise.result = nullptr;
  destroy_frame(self);
  if (error) {
    if (PyErr_GivenExceptionMatches(error, PyExc_StopIteration)) {
      // As PEP 479: a StopIteration leaving a coroutine becomes a RuntimeError.
      PyObject *replacement =
          PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration");
      if (replacement) {
        PyException_SetCause(replacement, Py_NewRef(error));
        PyException_SetContext(replacement, error);
        PyErr_SetRaisedException(replacement);
      } else {
        Py_DECREF(error);
      }
      Py_XDECREF(value);
      return PYGEN_ERROR;
    }
    Py_XDECREF(value);
    PyErr_SetRaisedException(error);
    return PYGEN_ERROR;
  }
  *result = value ? value : Py_NewRef(Py_None);
  return PYGEN_RETURN;
}

// Runs the C++ frame until it waits on an awaitable or ends; then drives the
// awaitable until it yields a value to the caller or finishes. `value` is
// what to send in; `thrown` (owned, may be null) is an exception to throw in.
PySendResult step(CoroutineObject *self, PyObject *value, PyObject *thrown, PyObject **result) {
  Coroutine::promise_type &promise = promise_of(self);
  bool resume_frame = false;

  if (!self->started) {
    self->started = true;
    resume_frame = true;
    if (thrown) {
      // Nothing has run yet: the exception comes straight back out and the
      // coroutine is finished, as for a Python coroutine.
      destroy_frame(self);
      PyErr_SetRaisedException(thrown);
      return PYGEN_ERROR;
    }
  }

  for (;;) {
    if (!resume_frame) {
      // Drive the awaitable the frame waits on.
      PyObject *delegate = promise.delegate;
      PyObject *out = nullptr;
      PySendResult status;
      if (thrown) {
        if (PyErr_GivenExceptionMatches(thrown, PyExc_GeneratorExit)) {
          // Closing: close the awaitable first, then raise in our frame.
          PyObject *close = nullptr;
          if (get_optional_attr(delegate, "close", &close) < 0) {
            Py_DECREF(thrown);
            thrown = PyErr_GetRaisedException();
          } else if (close) {
            PyObject *closed = PyObject_CallNoArgs(close);
            Py_DECREF(close);
            if (closed) {
              Py_DECREF(closed);
            } else {
              Py_DECREF(thrown);
              thrown = PyErr_GetRaisedException();
            }
          }
          Py_CLEAR(promise.delegate);
          promise.thrown = thrown;
          thrown = nullptr;
          resume_frame = true;
          continue;
        }
        PyObject *throw_method = nullptr;
        if (get_optional_attr(delegate, "throw", &throw_method) < 0) {
          Py_DECREF(thrown);
          thrown = PyErr_GetRaisedException();
          throw_method = nullptr;
        }
        if (!throw_method) {
          // The awaitable cannot take it: raise it at the co_await.
          Py_CLEAR(promise.delegate);
          promise.thrown = thrown;
          thrown = nullptr;
          resume_frame = true;
          continue;
        }
        out = PyObject_CallOneArg(throw_method, thrown);
        Py_DECREF(throw_method);
        Py_CLEAR(thrown);
        if (out) {
          status = PYGEN_NEXT;
        } else if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
          PyObject *stop = PyErr_GetRaisedException();
          out = PyObject_GetAttrString(stop, "value");
          Py_DECREF(stop);
          status = out ? PYGEN_RETURN : PYGEN_ERROR;
        } else {
          status = PYGEN_ERROR;
        }
      } else {
        status = PyIter_Send(delegate, value, &out);
      }
      if (status == PYGEN_NEXT) {
        *result = out;
        return PYGEN_NEXT;
      }
      Py_CLEAR(promise.delegate);
      if (status == PYGEN_RETURN) {
        promise.sent_value = out;
      } else {
        promise.thrown = PyErr_GetRaisedException();
      }
      value = Py_None;
    } else if (thrown) {
      promise.thrown = thrown;
      thrown = nullptr;
    }

    self->frame.resume();
    if (self->frame.done()) return finish(self, result);
    // The frame now waits on promise.delegate; start driving it. When no
    // iterator could be had, the failure is raised at the co_await at once.
    resume_frame = promise.delegate == nullptr;
    value = Py_None;
  }
}

PySendResult send_checked(CoroutineObject *self, PyObject *value, PyObject *thrown,
                          PyObject **result) {
  if (self->running) {
    Py_XDECREF(thrown);
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
  }
  if (self->finished) {
    if (thrown) {
      PyErr_SetRaisedException(thrown);
    } else {
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    }
    return PYGEN_ERROR;
  }
  if (!self->started && !thrown && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return PYGEN_ERROR;
  }
  self->running = true;
  PySendResult status = step(self, value, thrown, result);
  self->running = false;
  return status;
}

// Raises StopIteration(value), built explicitly so that a tuple or an
// exception as the value is not taken apart.
PyObject *raise_stop_iteration(PyObject *value) {
  PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, value);
  Py_DECREF(value);
  if (stop) PyErr_SetRaisedException(stop);
  return nullptr;
}

PyObject *to_iterator_result(PySendResult status, PyObject *result) {
  if (status == PYGEN_NEXT) return result;
  if (status == PYGEN_RETURN) return raise_stop_iteration(result);
  return nullptr;
}

PySendResult coroutine_am_send(PyObject *obj, PyObject *arg, PyObject **result) {
  return send_checked(as_coroutine(obj), arg, nullptr, result);
}

PyObject *coroutine_send(PyObject *obj, PyObject *arg) {
  PyObject *result = nullptr;
  PySendResult status = send_checked(as_coroutine(obj), arg, nullptr, &result);
  return to_iterator_result(status, result);
}

PyObject *coroutine_iternext(PyObject *obj) { return coroutine_send(obj, Py_None); }

// throw(value) or the deprecated throw(type[, value[, traceback]]), with the
// interpreter's checks and normalisation.
PyObject *coroutine_throw(PyObject *obj, PyObject *const *args, Py_ssize_t nargs) {
  if (nargs < 1 || nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    if (nargs > 3)
      PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    return nullptr;
  }
  if (nargs > 1) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, "
                     "use the single-arg signature instead.",
                     1) < 0) {
      return nullptr;
    }
  }
  PyObject *type = args[0];
  PyObject *value = nargs > 1 ? args[1] : Py_None;
  PyObject *traceback = nargs > 2 ? args[2] : Py_None;
  if (traceback != Py_None && !PyTraceBack_Check(traceback)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  PyObject *exc = nullptr;
  if (PyExceptionClass_Check(type)) {
    if (value != Py_None && PyObject_IsInstance(value, type) == 1) {
      exc = Py_NewRef(value);
    } else if (value == Py_None) {
      exc = PyObject_CallNoArgs(type);
    } else if (PyTuple_Check(value)) {
      exc = PyObject_Call(type, value, nullptr);
    } else {
      exc = PyObject_CallOneArg(type, value);
    }
    if (!exc) return nullptr;
    if (!PyExceptionInstance_Check(exc)) {
      PyErr_Format(PyExc_TypeError,
                   "calling %R should have returned an instance of BaseException, not %s", type,
                   Py_TYPE(exc)->tp_name);
      Py_DECREF(exc);
      return nullptr;
    }
  } else if (PyExceptionInstance_Check(type)) {
    if (value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Py_NewRef(type);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return nullptr;
  }
  if (traceback != Py_None && PyException_SetTraceback(exc, traceback) < 0) {
    Py_DECREF(exc);
    return nullptr;
  }
  PyObject *result = nullptr;
  PySendResult status = send_checked(as_coroutine(obj), Py_None, exc, &result);
  return to_iterator_result(status, result);
}

// close(): raise GeneratorExit inside; the frame must not go on awaiting.
PyObject *coroutine_close(PyObject *obj, PyObject *) {
  CoroutineObject *self = as_coroutine(obj);
  if (self->finished) Py_RETURN_NONE;
  if (!self->started) {
    destroy_frame(self);
    self->started = true;
    Py_RETURN_NONE;
  }
  if (self->running) {
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return nullptr;
  }
  PyObject *exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
  if (!exit) return nullptr;
  PyObject *result = nullptr;
  PySendResult status = send_checked(self, Py_None, exit, &result);
  if (status == PYGEN_NEXT) {
    Py_DECREF(result);
    PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
    return nullptr;
  }
  if (status == PYGEN_RETURN) {
    Py_DECREF(result);
    Py_RETURN_NONE;
  }
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

PyObject *coroutine_await(PyObject *obj) { return Py_NewRef(obj); }

void coroutine_finalize(PyObject *obj) {
  CoroutineObject *self = as_coroutine(obj);
  if (self->finished || !self->frame) return;
  PyObject *saved = PyErr_GetRaisedException();
  if (!self->started) {
    // Never awaited: tell the user as the interpreter does, then drop it.
    PyObject *warnings = PyImport_ImportModule("warnings");
    PyObject *warned = warnings ? PyObject_CallMethod(warnings, "_warn_unawaited_coroutine", "O", obj)
                                : nullptr;
    Py_XDECREF(warnings);
    if (warned) {
      Py_DECREF(warned);
    } else {
      PyErr_WriteUnraisable(obj);
    }
    destroy_frame(self);
  } else {
    PyObject *closed = coroutine_close(obj, nullptr);
    if (closed) {
      Py_DECREF(closed);
    } else {
      PyErr_WriteUnraisable(obj);
    }
  }
  PyErr_SetRaisedException(saved);
}

int coroutine_traverse(PyObject *obj, visitproc visit, void *arg) {
  CoroutineObject *self = as_coroutine(obj);
  Py_VISIT(Py_TYPE(obj));
  Py_VISIT(self->name);
  Py_VISIT(self->qualname);
  if (self->frame) {
    Coroutine::promise_type &promise = promise_of(self);
    Py_VISIT(promise.delegate);
    Py_VISIT(promise.sent_value);
    Py_VISIT(promise.thrown);
    Py_VISIT(promise.result);
    Py_VISIT(promise.error);
    for (nb::object *held : promise.frame_objects) Py_VISIT(held->ptr());
  }
  return 0;
}

int coroutine_clear(PyObject *obj) {
  CoroutineObject *self = as_coroutine(obj);
  destroy_frame(self);
  return 0;
}

void coroutine_dealloc(PyObject *obj) {
  CoroutineObject *self = as_coroutine(obj);
  PyTypeObject *type = Py_TYPE(obj);
  if (PyObject_CallFinalizerFromDealloc(obj) < 0) return;  // resurrected
  PyObject_GC_UnTrack(obj);
  if (self->weakrefs) PyObject_ClearWeakRefs(obj);
  destroy_frame(self);
  Py_CLEAR(self->name);
  Py_CLEAR(self->qualname);
  type->tp_free(obj);
  Py_DECREF(type);
}

PyObject *coroutine_repr(PyObject *obj) {
  return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(obj)->qualname, obj);
}

PyObject *get_running(PyObject *obj, void *) { return PyBool_FromLong(as_coroutine(obj)->running); }
PyObject *get_suspended(PyObject *obj, void *) {
  CoroutineObject *self = as_coroutine(obj);
  return PyBool_FromLong(self->started && !self->running && !self->finished);
}
PyObject *get_await(PyObject *obj, void *) {
  CoroutineObject *self = as_coroutine(obj);
  if (self->frame && promise_of(self).delegate) return Py_NewRef(promise_of(self).delegate);
  Py_RETURN_NONE;
}
PyObject *get_none(PyObject *, void *) { Py_RETURN_NONE; }
PyObject *get_name(PyObject *obj, void *) { return Py_NewRef(as_coroutine(obj)->name); }
PyObject *get_qualname(PyObject *obj, void *) { return Py_NewRef(as_coroutine(obj)->qualname); }

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next "
     "iterated value or raise StopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroutineObject, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject *get_coroutine_type() {
  if (coroutine_type) return coroutine_type;
  PyType_Slot slots[] = {
      {Py_am_await, reinterpret_cast<void *>(coroutine_await)},
      {Py_am_send, reinterpret_cast<void *>(coroutine_am_send)},
      {Py_tp_iternext, reinterpret_cast<void *>(coroutine_iternext)},
      {Py_tp_finalize, reinterpret_cast<void *>(coroutine_finalize)},
      {Py_tp_traverse, reinterpret_cast<void *>(coroutine_traverse)},
      {Py_tp_clear, reinterpret_cast<void *>(coroutine_clear)},
      {Py_tp_dealloc, reinterpret_cast<void *>(coroutine_dealloc)},
      {Py_tp_repr, reinterpret_cast<void *>(coroutine_repr)},
      {Py_tp_getset, coroutine_getset},
      {Py_tp_methods, coroutine_methods},
      {Py_tp_members, coroutine_members},
      {0, nullptr},
  };
  PyType_Spec spec = {
      "zentra_lumara_gov.native_coroutine",
      sizeof(CoroutineObject),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
          Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  PyObject *type = PyType_FromSpec(&spec);
  if (!type) throw nb::python_error();
  coroutine_type = reinterpret_cast<PyTypeObject *>(type);  // kept for the life of the process
  // asyncio and inspect recognise it through collections.abc.Coroutine.
  nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(nb::handle(type));
  return coroutine_type;
}

}  // namespace

Coroutine::promise_type::~promise_type() {
  Py_CLEAR(delegate);
  Py_CLEAR(sent_value);
  Py_CLEAR(thrown);
  Py_CLEAR(result);
  Py_CLEAR(error);
}

void Coroutine::promise_type::unhandled_exception() noexcept {
  PyObject *saved = PyErr_GetRaisedException();
  error = exception_object(std::current_exception()).release().ptr();
  PyErr_SetRaisedException(saved);
}

void Coroutine::promise_type::PyAwaiter::await_suspend(handle_type) noexcept {
  // Obtaining the iterator may fail; the failure is raised at the co_await.
  try {
    promise->delegate = awaitable_iterator(awaitable).release().ptr();
    // The iterator keeps what it needs; a reference held here would be
    // invisible to the garbage collector.
    awaitable.reset();
  } catch (...) {
    promise->thrown = exception_object(std::current_exception()).release().ptr();
  }
}

nb::object Coroutine::promise_type::PyAwaiter::await_resume() {
  awaitable.reset();
  if (promise->thrown) {
    PyErr_SetRaisedException(promise->thrown);
    promise->thrown = nullptr;
    throw nb::python_error();
  }
  PyObject *value = promise->sent_value;
  promise->sent_value = nullptr;
  return value ? nb::steal(value) : nb::none();
}

Coroutine::promise_type::PyAwaiter Coroutine::promise_type::await_transform(Coroutine &&inner) {
  return PyAwaiter{std::move(inner).to_python("<native>", "<native>"), this};
}

Coroutine &Coroutine::operator=(Coroutine &&other) noexcept {
  if (this != &other) {
    if (handle_) handle_.destroy();
    handle_ = std::exchange(other.handle_, {});
  }
  return *this;
}

Coroutine::~Coroutine() {
  if (handle_) handle_.destroy();
}

nb::object Coroutine::to_python(const std::string &name, const std::string &qualname) && {
  PyTypeObject *type = get_coroutine_type();
  auto *self = PyObject_GC_New(CoroutineObject, type);
  if (!self) throw nb::python_error();
  self->frame = std::exchange(handle_, {});
  self->name = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  self->qualname =
      PyUnicode_FromStringAndSize(qualname.data(), static_cast<Py_ssize_t>(qualname.size()));
  self->weakrefs = nullptr;
  self->started = false;
  self->running = false;
  self->finished = false;
  nb::object result = nb::steal(reinterpret_cast<PyObject *>(self));
  if (!self->name || !self->qualname) throw nb::python_error();
  PyObject_GC_Track(self);
  return result;
}

bool is_native_coroutine(nb::handle obj) {
  return coroutine_type && Py_IS_TYPE(obj.ptr(), coroutine_type);
}

namespace {

// Exception type, value and traceback of a python_error, as __aexit__ takes them.
nb::object exit_args_call(nb::handle aexit, nb::handle manager, nb::handle exc) {
  nb::handle type(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())));
  nb::object traceback = nb::steal(PyException_GetTraceback(exc.ptr()));
  if (!traceback) traceback = nb::none();
  return aexit(manager, type, exc, traceback);
}

}  // namespace

Coroutine async_with(nb::object manager, std::function<Coroutine(nb::object)> body) {
  nb::handle manager_type(reinterpret_cast<PyObject *>(Py_TYPE(manager.ptr())));
  nb::object aenter = getattr(manager_type, "__aenter__", nb::handle());
  nb::object aexit = getattr(manager_type, "__aexit__", nb::handle());
  if (!aenter.is_valid() || !aexit.is_valid()) {
    raise(PyExc_TypeError, std::string("'") + Py_TYPE(manager.ptr())->tp_name +
                               "' object does not support the asynchronous context manager "
                               "protocol");
  }
  nb::object entered = co_await aenter(manager);

  nb::object result;
  nb::object in_flight;  // the body's exception, as a Python object
  try {
    result = co_await body(entered);
  } catch (...) {
    in_flight = exception_object(std::current_exception());
  }

  if (!in_flight) {
    co_await aexit(manager, nb::none(), nb::none(), nb::none());
    co_return result;
  }

  bool swallowed = false;
  try {
    swallowed = truthy(co_await exit_args_call(aexit, manager, in_flight));
  } catch (nb::python_error &exit_error) {
    // Raised while the body's exception was being handled.
    chain_context(exit_error, in_flight);
    throw;
  }
  if (swallowed) co_return nb::none();
  throw_exception(in_flight);
}

}  // namespace zlg
