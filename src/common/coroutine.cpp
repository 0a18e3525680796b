#include "common/coroutine.h"

#include <string>
#include <vector>

#include "common/errors.h"
#include "common/pyops.h"

namespace zlg {

namespace {

// Where a coroutine object is in its life. Set before anything that may run
// Python code, so that code always sees the state it is in.
enum class State : unsigned char {
  created,    // not started: the frame waits at its initial suspension
  suspended,  // waiting at a co_await
  running,    // inside send/throw/close
  closed,     // finished, failed or closed; the frame is gone or going
};

// The Python object that owns a C++ coroutine frame.
struct CoroutineObject {
  PyObject_HEAD
  Coroutine::handle_type frame;  // null once the frame is destroyed
  PyObject *name;
  PyObject *qualname;
  PyObject *weakrefs;
  State state;
  bool finalized;  // its finalizer has run (it runs once, as for any object)
};

// What `coroutine.__await__()` gives: the iterator `await` drives, as
// CPython's coroutine_wrapper.
struct WrapperObject {
  PyObject_HEAD
  PyObject *coroutine;
};

struct SharedTypes {
  PyTypeObject *coroutine;
  PyTypeObject *wrapper;
};
const SharedTypes &shared_types();
PyTypeObject *get_coroutine_type() { return shared_types().coroutine; }

CoroutineObject *as_coroutine(PyObject *obj) { return reinterpret_cast<CoroutineObject *>(obj); }

Coroutine::promise_type &promise_of(CoroutineObject *self) { return self->frame.promise(); }

void destroy_frame(CoroutineObject *self) {
  // Closed first: destroying the frame releases its locals, which may run
  // arbitrary Python code, and that code may reach this coroutine.
  self->state = State::closed;
  if (self->frame) {
    Coroutine::handle_type frame = std::exchange(self->frame, {});
    frame.destroy();
  }
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

// The interpreter's generator and coroutine types, and the code flag of a
// generator function marked with types.coroutine; kept for the life of the
// process.
struct InterpreterTypes {
  PyTypeObject *generator;
  PyTypeObject *coroutine;
  long iterable_coroutine_flag;
};
const InterpreterTypes &interpreter_types() {
  static const InterpreterTypes types = [] {
    nb::module_ types_module = nb::module_::import_("types");
    return InterpreterTypes{
        reinterpret_cast<PyTypeObject *>(nb::object(types_module.attr("GeneratorType")).release().ptr()),
        reinterpret_cast<PyTypeObject *>(nb::object(types_module.attr("CoroutineType")).release().ptr()),
        nb::cast<long>(nb::module_::import_("inspect").attr("CO_ITERABLE_COROUTINE")),
    };
  }();
  return types;
}

bool is_python_coroutine(PyObject *obj) { return Py_IS_TYPE(obj, interpreter_types().coroutine); }

// A generator marked with types.coroutine: awaitable as it is.
bool is_generator_coroutine(PyObject *obj) {
  if (!Py_IS_TYPE(obj, interpreter_types().generator)) return false;
  static const nb::handle code_name = intern("gi_code").release();
  static const nb::handle flags_name = intern("co_flags").release();
  nb::object code = checked(PyObject_GetAttr(obj, code_name.ptr()));
  long flags = PyLong_AsLong(checked(PyObject_GetAttr(code.ptr(), flags_name.ptr())).ptr());
  if (flags == -1 && PyErr_Occurred()) throw nb::python_error();
  return (flags & interpreter_types().iterable_coroutine_flag) != 0;
}

bool is_any_coroutine(PyObject *obj) {
  return is_python_coroutine(obj) || Py_IS_TYPE(obj, get_coroutine_type()) ||
         is_generator_coroutine(obj);
}

// A coroutine suspended in an await of its own belongs to its awaiter.
bool awaited_already(PyObject *obj) {
  if (Py_IS_TYPE(obj, get_coroutine_type())) {
    CoroutineObject *other = as_coroutine(obj);
    return other->state == State::suspended && promise_of(other).delegate;
  }
  if (!is_python_coroutine(obj)) return false;
  static const nb::handle cr_await = intern("cr_await").release();
  nb::object awaited = checked(PyObject_GetAttr(obj, cr_await.ptr()));
  return !awaited.is_none();
}

// The type's __await__ as the interpreter calls it (its am_await slot, which
// a class defining __await__ fills), or null.
unaryfunc await_slot_of(PyTypeObject *type) {
  return reinterpret_cast<unaryfunc>(PyType_GetSlot(type, Py_am_await));
}

// The iterator `await obj` would delegate to, as the interpreter gets it: a
// coroutine (of Python, of this package, or a generator marked with
// types.coroutine) is its own, anything else gives it from __await__.
nb::object awaitable_iterator(nb::handle obj) {
  PyObject *awaitable = obj.ptr();
  PyTypeObject *type = Py_TYPE(awaitable);
  if (is_any_coroutine(awaitable)) {
    if (awaited_already(awaitable)) raise(PyExc_RuntimeError, "coroutine is being awaited already");
    return nb::borrow(obj);
  }
  unaryfunc await_slot = await_slot_of(type);
  if (!await_slot) {
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                 type_text(type).c_str());
    throw nb::python_error();
  }
  nb::object iterator = checked(await_slot(awaitable));
  if (is_any_coroutine(iterator.ptr())) raise(PyExc_TypeError, "__await__() returned a coroutine");
  if (!PyIter_Check(iterator.ptr())) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 type_text_of(iterator).c_str());
    throw nb::python_error();
  }
  return iterator;
}

// Raises the error the frame left (or the StopIteration of its value).
PySendResult finish(CoroutineObject *self, PyObject **result) {
  Coroutine::promise_type &promise = promise_of(self);
  PyObject *error = std::exchange(promise.error, nullptr);
  PyObject *value = std::exchange(promise.result, nullptr);
  destroy_frame(self);
  if (error) {
    Py_XDECREF(value);
    if (PyErr_GivenExceptionMatches(error, PyExc_StopIteration)) {
      // As PEP 479: a StopIteration leaving a coroutine becomes a RuntimeError.
      PyObject *replacement =
          PyObject_CallFunction(PyExc_RuntimeError, "s", "coroutine raised StopIteration");
      if (!replacement) {
        Py_DECREF(error);
        return PYGEN_ERROR;
      }
      PyException_SetCause(replacement, Py_NewRef(error));
      PyException_SetContext(replacement, error);
      error = replacement;
    }
    PyErr_SetRaisedException(error);
    return PYGEN_ERROR;
  }
  *result = value ? value : Py_NewRef(Py_None);
  return PYGEN_RETURN;
}

// What the awaitable's throw() gave: a value it yields, its return value
// (taken from StopIteration into *out), or an error.
PySendResult throw_status(PyObject **out) {
  if (*out) return PYGEN_NEXT;
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return PYGEN_ERROR;
  PyObject *stop = PyErr_GetRaisedException();
  *out = PyObject_GetAttrString(stop, "value");
  Py_DECREF(stop);
  return *out ? PYGEN_RETURN : PYGEN_ERROR;
}

// Throws `thrown` (owned) into the awaitable the frame waits on. Returns
// true when the awaitable handled it (status and *out are then set), false
// when it is to be raised at the co_await (promise.thrown is then set).
bool throw_into_delegate(Coroutine::promise_type &promise, PyObject *thrown, PySendResult *status,
                         PyObject **out) {
  PyObject *delegate = promise.delegate;
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
    return false;
  }
  PyObject *throw_method = nullptr;
  if (get_optional_attr(delegate, "throw", &throw_method) < 0) {
    Py_DECREF(thrown);
    thrown = PyErr_GetRaisedException();
  }
  if (!throw_method) {
    // The awaitable cannot take it: raise it at the co_await.
    Py_CLEAR(promise.delegate);
    promise.thrown = thrown;
    return false;
  }
  *out = call_one_arg(throw_method, thrown);
  Py_DECREF(throw_method);
  Py_DECREF(thrown);
  *status = throw_status(out);
  return true;
}

PyObject *exception_to_throw(PyObject *const *args, Py_ssize_t nargs);

// throw() with its arguments as given (an owned tuple), into a coroutine
// that waits on an awaitable: they go on to the awaitable's throw() as they
// are, as the interpreter passes them on. Returns 1 when the awaitable took
// them (status and *out set), 0 when they are to be raised at the co_await
// (promise.thrown set), -1 on an error that leaves the coroutine as it was.
int throw_arguments_into_delegate(Coroutine::promise_type &promise, PyObject *arguments,
                                  PySendResult *status, PyObject **out) {
  nb::object owned = nb::steal(arguments);
  PyObject *throw_method = nullptr;
  if (get_optional_attr(promise.delegate, "throw", &throw_method) < 0) return -1;
  if (!throw_method) {
    PyObject *items[3] = {};  // throw() takes at most three
    const Py_ssize_t count = PyTuple_Size(arguments);
    for (Py_ssize_t i = 0; i < count && i < 3; ++i) items[i] = PyTuple_GetItem(arguments, i);
    PyObject *exc = exception_to_throw(items, count);
    if (!exc) return -1;
    Py_CLEAR(promise.delegate);
    promise.thrown = exc;
    return 0;
  }
  *out = PyObject_Call(throw_method, arguments, nullptr);
  Py_DECREF(throw_method);
  *status = throw_status(out);
  return 1;
}

// Runs the C++ frame until it waits on an awaitable or ends; then drives the
// awaitable until it yields a value to the caller or finishes. `value` is
// what to send in; `thrown` (owned, may be null) is an exception to throw in,
// `thrown_arguments` (owned, may be null) throw()'s arguments for the awaitable.
PySendResult step(CoroutineObject *self, PyObject *value, PyObject *thrown,
                  PyObject *thrown_arguments, PyObject **result) {
  Coroutine::promise_type &promise = promise_of(self);
  bool resume_frame = promise.delegate == nullptr;

  if (self->state == State::created && thrown) {
    // Nothing has run yet: the exception comes straight back out and the
    // coroutine is finished, as for a Python coroutine.
    destroy_frame(self);
    PyErr_SetRaisedException(thrown);
    return PYGEN_ERROR;
  }
  self->state = State::running;

  for (;;) {
    if (!resume_frame) {
      // Drive the awaitable the frame waits on.
      PyObject *out = nullptr;
      PySendResult status;
      if (thrown_arguments) {
        int taken = throw_arguments_into_delegate(promise, thrown_arguments, &status, &out);
        thrown_arguments = nullptr;
        if (taken < 0) return PYGEN_ERROR;
        if (taken == 0) {
          resume_frame = true;
          continue;
        }
      } else if (thrown) {
        bool handled = throw_into_delegate(promise, thrown, &status, &out);
        thrown = nullptr;
        if (!handled) {
          resume_frame = true;
          continue;
        }
      } else {
        status = PyIter_Send(promise.delegate, value, &out);
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
      promise.thrown = std::exchange(thrown, nullptr);
    }

    self->frame.resume();
    if (self->frame.done()) return finish(self, result);
    // The frame now waits on promise.delegate; start driving it. When no
    // iterator could be had, the failure is raised at the co_await at once.
    resume_frame = promise.delegate == nullptr;
    value = Py_None;
  }
}

// While the frame runs, the exception it handles (see HandlingException) is
// the thread's handled exception, as for a Python frame in an `except`
// block: sys.exc_info() in the code it awaits shows it, and what that code
// raises gets it as __context__. What the thread held before comes back when
// the frame suspends or ends.
class ExceptionStateScope {
 public:
  explicit ExceptionStateScope(Coroutine::promise_type &promise) {
    promise.exception_state = this;
    if (promise.handled) show(promise.handled);
  }
  ~ExceptionStateScope() {
    if (!saved_) return;
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
  }
  ExceptionStateScope(const ExceptionStateScope &) = delete;
  ExceptionStateScope &operator=(const ExceptionStateScope &) = delete;

  // `exc` handled from now on; null: none of the frame's own.
  void show(PyObject *exc) {
    if (!saved_) {
      if (!exc) return;
      previous_ = innermost_handled_exception();
      saved_ = true;
    }
    PyErr_SetHandledException(exc ? exc : previous_);
  }

 private:
  bool saved_ = false;
  PyObject *previous_ = nullptr;  // owned
};

PySendResult send_checked(CoroutineObject *self, PyObject *value, PyObject *thrown,
                          PyObject **result, PyObject *thrown_arguments = nullptr) {
  if (self->state == State::created && !thrown && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
    return PYGEN_ERROR;
  }
  if (self->state == State::running) {
    Py_XDECREF(thrown);
    Py_XDECREF(thrown_arguments);
    PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return PYGEN_ERROR;
  }
  if (self->state == State::closed) {
    Py_XDECREF(thrown);
    Py_XDECREF(thrown_arguments);
    PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    return PYGEN_ERROR;
  }
  // Each await of a native coroutine by another is a level of C recursion.
  if (Py_EnterRecursiveCall("")) {
    Py_XDECREF(thrown);
    Py_XDECREF(thrown_arguments);
    return PYGEN_ERROR;
  }
  PySendResult status;
  {
    ExceptionStateScope exception_state(promise_of(self));
    status = step(self, value, thrown, thrown_arguments, result);
    if (self->state == State::running) {
      self->state = State::suspended;
      promise_of(self).exception_state = nullptr;
    }
  }
  Py_LeaveRecursiveCall();
  return status;
}

// Raises StopIteration(value), built explicitly so that a tuple or an
// exception as the value is not taken apart.
PyObject *raise_stop_iteration(PyObject *value) {
  PyObject *stop = call_one_arg(PyExc_StopIteration, value);
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

// `type(value)` as the interpreter normalises a thrown (type, value) pair:
// value itself when it is already an instance of a subclass of type.
PyObject *normalized_exception(PyObject *type, PyObject *value) {
  if (PyExceptionInstance_Check(value)) {
    int is_subclass = PyObject_IsSubclass(PyExceptionInstance_Class(value), type);
    if (is_subclass < 0) return nullptr;
    if (is_subclass) return Py_NewRef(value);
  }
  PyObject *exc;
  if (value == Py_None) {
    exc = PyObject_CallNoArgs(type);
  } else if (PyTuple_Check(value)) {
    exc = PyObject_Call(type, value, nullptr);
  } else {
    exc = call_one_arg(type, value);
  }
  if (exc && !PyExceptionInstance_Check(exc)) {
    std::string returned;
    try {
      returned = type_text_of(exc);
    } catch (...) {
      Py_DECREF(exc);
      restore_current_exception();
      return nullptr;
    }
    PyErr_Format(PyExc_TypeError,
                 "calling %R should have returned an instance of BaseException, not %s", type,
                 returned.c_str());
    Py_CLEAR(exc);
  }
  return exc;
}

// The argument checks of throw(value) / the deprecated
// throw(type[, value[, traceback]]), made before anything else.
bool throw_call_allowed(Py_ssize_t nargs) {
  if (nargs < 1) {
    PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    return false;
  }
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    return false;
  }
  return nargs == 1 || PyErr_WarnEx(PyExc_DeprecationWarning,
                                    "the (type, exc, tb) signature of throw() is deprecated, "
                                    "use the single-arg signature instead.",
                                    1) == 0;
}

// The exception throw()'s arguments stand for, normalised as the
// interpreter does. Returns it owned, or null with an error set.
PyObject *exception_to_throw(PyObject *const *args, Py_ssize_t nargs) {
  PyObject *type = args[0];
  PyObject *value = nargs > 1 ? args[1] : Py_None;
  PyObject *traceback = nargs > 2 ? args[2] : Py_None;
  if (traceback != Py_None && !PyTraceBack_Check(traceback)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  PyObject *exc = nullptr;
  if (PyExceptionClass_Check(type)) {
    exc = normalized_exception(type, value);
    if (!exc) return nullptr;
  } else if (PyExceptionInstance_Check(type)) {
    if (value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Py_NewRef(type);
  } else {
    std::string given;
    try {
      given = type_text_of(type);
    } catch (...) {
      restore_current_exception();
      return nullptr;
    }
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 given.c_str());
    return nullptr;
  }
  if (traceback != Py_None && PyException_SetTraceback(exc, traceback) < 0) {
    Py_DECREF(exc);
    return nullptr;
  }
  return exc;
}

PyObject *coroutine_throw(PyObject *obj, PyObject *const *args, Py_ssize_t nargs) {
  if (!throw_call_allowed(nargs)) return nullptr;
  CoroutineObject *self = as_coroutine(obj);
  PyObject *result = nullptr;
  PySendResult status;
  if (self->state == State::suspended && promise_of(self).delegate &&
      !PyErr_GivenExceptionMatches(args[0], PyExc_GeneratorExit)) {
    PyObject *arguments = PyTuple_New(nargs);
    if (!arguments) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SetItem(arguments, i, Py_NewRef(args[i]));
    status = send_checked(self, Py_None, nullptr, &result, arguments);
  } else {
    PyObject *exc = exception_to_throw(args, nargs);
    if (!exc) return nullptr;
    status = send_checked(self, Py_None, exc, &result);
  }
  return to_iterator_result(status, result);
}

// close(): raise GeneratorExit inside; the frame must not go on awaiting.
PyObject *coroutine_close(PyObject *obj, PyObject *) {
  CoroutineObject *self = as_coroutine(obj);
  if (self->state == State::closed) Py_RETURN_NONE;
  if (self->state == State::created) {
    destroy_frame(self);
    Py_RETURN_NONE;
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

// `await coroutine`: an iterator over the coroutine, refused when another
// awaiter already drives it.
PyObject *coroutine_await(PyObject *obj) {
  if (awaited_already(obj)) {
    PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
    return nullptr;
  }
  auto *wrapper = PyObject_GC_New(WrapperObject, shared_types().wrapper);
  if (!wrapper) return nullptr;
  wrapper->coroutine = Py_NewRef(obj);
  PyObject_GC_Track(wrapper);
  return reinterpret_cast<PyObject *>(wrapper);
}

void coroutine_finalize(PyObject *obj) {
  CoroutineObject *self = as_coroutine(obj);
  self->finalized = true;
  if (self->state == State::closed) return;
  PyObject *saved = PyErr_GetRaisedException();
  if (self->state == State::created) {
    // Never awaited: tell the user as the interpreter does, then drop it.
    self->state = State::closed;
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
    Py_VISIT(promise.handled);
    for (nb::object *held : promise.frame_objects) Py_VISIT(held->ptr());
  }
  return 0;
}

int coroutine_clear(PyObject *obj) {
  destroy_frame(as_coroutine(obj));
  return 0;
}

// Releasing a coroutine releases the one it awaits, so a long chain of
// coroutines awaiting each other would be released by as deep a recursion.
// Past this depth the rest waits until the outermost release is done.
constexpr int kReleaseDepth = 50;
thread_local int release_depth = 0;
thread_local std::vector<PyObject *> put_off;

void release_coroutine(PyObject *obj) {
  CoroutineObject *self = as_coroutine(obj);
  PyTypeObject *type = Py_TYPE(obj);
  if (self->weakrefs) PyObject_ClearWeakRefs(obj);
  if (!self->finalized) {
    // Alive again while its finalizer runs; dropped once more afterwards,
    // which comes back here to free it, unless that code kept a reference.
    PyObject_GC_Track(obj);
    Py_INCREF(obj);
    coroutine_finalize(obj);
    Py_DECREF(obj);
    return;
  }
  destroy_frame(self);
  Py_CLEAR(self->name);
  Py_CLEAR(self->qualname);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
  Py_DECREF(type);
}

void coroutine_dealloc(PyObject *obj) {
  PyObject_GC_UnTrack(obj);
  if (release_depth >= kReleaseDepth) {
    put_off.push_back(obj);
    return;
  }
  ++release_depth;
  release_coroutine(obj);
  if (release_depth == 1) {
    while (!put_off.empty()) {
      PyObject *next = put_off.back();
      put_off.pop_back();
      release_coroutine(next);
    }
  }
  --release_depth;
}

PyObject *coroutine_repr(PyObject *obj) {
  return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coroutine(obj)->qualname, obj);
}

PyObject *get_running(PyObject *obj, void *) {
  return PyBool_FromLong(as_coroutine(obj)->state == State::running);
}
PyObject *get_suspended(PyObject *obj, void *) {
  return PyBool_FromLong(as_coroutine(obj)->state == State::suspended);
}
PyObject *get_await(PyObject *obj, void *) {
  CoroutineObject *self = as_coroutine(obj);
  if (self->frame && promise_of(self).delegate) return Py_NewRef(promise_of(self).delegate);
  Py_RETURN_NONE;
}
// A frame object standing for the C++ frame while there is one (None once
// closed, as inspect.getcoroutinestate expects): the frame of a generator
// that never runs, its code named after the coroutine, in file "<native>".
nb::object frame_standing_for(nb::handle qualname) {
  static const nb::handle code = [] {
    nb::module_ builtins = nb::module_::import_("builtins");
    nb::dict scope;
    builtins.attr("exec")(builtins.attr("compile")("def native():\n    yield\n", "<native>", "exec"),
                          scope);
    return nb::object(scope["native"].attr("__code__")).release();
  }();
  static const nb::handle function_type =
      nb::object(nb::module_::import_("types").attr("FunctionType")).release();
  nb::object named = code.attr("replace")(nb::arg("co_name") = qualname,
                                          nb::arg("co_qualname") = qualname);
  nb::object generator = function_type(named, nb::dict())();
  return generator.attr("gi_frame");
}
PyObject *get_frame(PyObject *obj, void *) {
  CoroutineObject *self = as_coroutine(obj);
  if (self->state == State::closed) Py_RETURN_NONE;
  try {
    return frame_standing_for(self->qualname).release().ptr();
  } catch (...) {
    restore_current_exception();
    return nullptr;
  }
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
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyCFunction as_method(PyObject *(*fastcall)(PyObject *, PyObject *const *, Py_ssize_t)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fastcall));
}

const char kSendDoc[] =
    "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration.";
const char kThrowDoc[] =
    "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next "
    "iterated value or raise StopIteration.";
const char kCloseDoc[] = "close() -> raise GeneratorExit inside coroutine.";

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, kSendDoc},
    {"throw", as_method(coroutine_throw), METH_FASTCALL, kThrowDoc},
    {"close", coroutine_close, METH_NOARGS, kCloseDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroutineObject, weakrefs), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The iterator of `await coroutine`: every call goes to the coroutine.
PyObject *wrapped(PyObject *obj) { return reinterpret_cast<WrapperObject *>(obj)->coroutine; }

PySendResult wrapper_am_send(PyObject *obj, PyObject *arg, PyObject **result) {
  return coroutine_am_send(wrapped(obj), arg, result);
}
PyObject *wrapper_iternext(PyObject *obj) { return coroutine_send(wrapped(obj), Py_None); }
PyObject *wrapper_send(PyObject *obj, PyObject *arg) { return coroutine_send(wrapped(obj), arg); }
PyObject *wrapper_throw(PyObject *obj, PyObject *const *args, Py_ssize_t nargs) {
  return coroutine_throw(wrapped(obj), args, nargs);
}
PyObject *wrapper_close(PyObject *obj, PyObject *) { return coroutine_close(wrapped(obj), nullptr); }

int wrapper_traverse(PyObject *obj, visitproc visit, void *arg) {
  Py_VISIT(Py_TYPE(obj));
  Py_VISIT(reinterpret_cast<WrapperObject *>(obj)->coroutine);
  return 0;
}

int wrapper_clear(PyObject *obj) {
  Py_CLEAR(reinterpret_cast<WrapperObject *>(obj)->coroutine);
  return 0;
}

void wrapper_dealloc(PyObject *obj) {
  PyTypeObject *type = Py_TYPE(obj);
  PyObject_GC_UnTrack(obj);
  wrapper_clear(obj);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
  Py_DECREF(type);
}

PyMethodDef wrapper_methods[] = {
    {"send", wrapper_send, METH_O, kSendDoc},
    {"throw", as_method(wrapper_throw), METH_FASTCALL, kThrowDoc},
    {"close", wrapper_close, METH_NOARGS, kCloseDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject *new_type(const char *name, int basicsize, PyType_Slot *slots) {
  PyType_Spec type_spec = {
      name,
      basicsize,
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
          Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  return reinterpret_cast<PyTypeObject *>(checked(PyType_FromSpec(&type_spec)).release().ptr());
}

SharedTypes create_types() {
  PyType_Slot coroutine_slots[] = {
      {Py_am_await, reinterpret_cast<void *>(coroutine_await)},
      {Py_am_send, reinterpret_cast<void *>(coroutine_am_send)},
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
  PyType_Slot wrapper_slots[] = {
      {Py_am_send, reinterpret_cast<void *>(wrapper_am_send)},
      {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void *>(wrapper_iternext)},
      {Py_tp_traverse, reinterpret_cast<void *>(wrapper_traverse)},
      {Py_tp_clear, reinterpret_cast<void *>(wrapper_clear)},
      {Py_tp_dealloc, reinterpret_cast<void *>(wrapper_dealloc)},
      {Py_tp_methods, wrapper_methods},
      {0, nullptr},
  };
  SharedTypes types{
      new_type("zentra_lumara_gov.native_coroutine", sizeof(CoroutineObject), coroutine_slots),
      new_type("zentra_lumara_gov.native_coroutine_wrapper", sizeof(WrapperObject),
               wrapper_slots),
  };
  // asyncio and inspect recognise it through collections.abc.Coroutine.
  nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(
      nb::handle(reinterpret_cast<PyObject *>(types.coroutine)));
  return types;
}

// Every module of the package links its own copy of this file; the first
// one loaded makes the types and leaves them in the interpreter's shared
// dict, where the others find them. The key carries the layout, so a module
// built differently never shares frames it cannot read.
const SharedTypes &shared_types() {
  static const SharedTypes types = [] {
    // Looked up here, where a failure can still be raised, and not first in
    // a slot function, where it could not.
    interpreter_types();
    std::string key = "zentra_lumara_gov.native_coroutine:" __VERSION__ ":" +
                      std::to_string(sizeof(CoroutineObject)) + ":" +
                      std::to_string(sizeof(Coroutine::promise_type));
    PyObject *shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!shared) throw nb::python_error();
    nb::str name(key.c_str());
    if (PyObject *found = PyDict_GetItemWithError(shared, name.ptr())) {
      // Kept for the life of the process, as the dict keeps them.
      return SharedTypes{reinterpret_cast<PyTypeObject *>(Py_NewRef(PyTuple_GetItem(found, 0))),
                         reinterpret_cast<PyTypeObject *>(Py_NewRef(PyTuple_GetItem(found, 1)))};
    }
    if (PyErr_Occurred()) throw nb::python_error();
    SharedTypes created = create_types();
    nb::object pair = nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(created.coroutine)),
                                     nb::handle(reinterpret_cast<PyObject *>(created.wrapper)));
    if (PyDict_SetItem(shared, name.ptr(), pair.ptr()) < 0) throw nb::python_error();
    return created;
  }();
  return types;
}

}  // namespace

Coroutine::promise_type::~promise_type() {
  Py_CLEAR(delegate);
  Py_CLEAR(sent_value);
  Py_CLEAR(thrown);
  Py_CLEAR(result);
  Py_CLEAR(error);
  Py_CLEAR(handled);
}

void Coroutine::promise_type::unhandled_exception() noexcept {
  PyObject *saved = PyErr_GetRaisedException();
  error = exception_object(std::current_exception()).release().ptr();
  PyErr_SetRaisedException(saved);
}

void Coroutine::promise_type::PyAwaiter::await_suspend(handle_type) noexcept {
  // Obtaining the iterator may fail; the failure is raised at the co_await.
  try {
    // Moved out of the awaiter: only the promise, which the collector
    // traverses, holds what the frame waits on.
    nb::object held = std::move(awaitable);
    promise->delegate = awaitable_iterator(held).release().ptr();
  } catch (...) {
    promise->thrown = exception_object(std::current_exception()).release().ptr();
  }
}

nb::object Coroutine::promise_type::PyAwaiter::await_resume() {
  awaitable.reset();
  if (promise->thrown) {
    PyErr_SetRaisedException(std::exchange(promise->thrown, nullptr));
    throw nb::python_error();
  }
  PyObject *value = std::exchange(promise->sent_value, nullptr);
  return value ? nb::steal(value) : nb::none();
}

Coroutine::promise_type::PyAwaiter Coroutine::promise_type::await_transform(Coroutine &&inner) {
  static const nb::handle name = intern("<native>").release();
  return PyAwaiter{std::move(inner).to_python(name, name), this};
}

std::suspend_never Coroutine::promise_type::await_transform(HandlingException &&handling) {
  nb::object exception = handling.take();
  PyObject *previous = handled;
  handled = exception.is_valid() ? exception.release().ptr() : nullptr;
  Py_XDECREF(previous);
  if (exception_state) static_cast<ExceptionStateScope *>(exception_state)->show(handled);
  return {};
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
  nb::str name_text(name.data(), name.size());
  nb::str qualname_text(qualname.data(), qualname.size());
  return std::move(*this).to_python(name_text, qualname_text);
}

nb::object Coroutine::to_python(nb::handle name, nb::handle qualname) && {
  PyTypeObject *type = get_coroutine_type();
  auto *self = PyObject_GC_New(CoroutineObject, type);
  if (!self) throw nb::python_error();
  self->frame = std::exchange(handle_, {});
  self->name = Py_NewRef(name.ptr());
  self->qualname = Py_NewRef(qualname.ptr());
  self->weakrefs = nullptr;
  self->state = State::created;
  self->finalized = false;
  PyObject_GC_Track(self);
  return nb::steal(reinterpret_cast<PyObject *>(self));
}

bool is_native_coroutine(nb::handle obj) { return Py_IS_TYPE(obj.ptr(), get_coroutine_type()); }

namespace {

// The awaitable an `async with` got from __aenter__ or __aexit__, checked as
// the interpreter checks it.
nb::object require_awaitable(nb::object obj, const char *method) {
  PyTypeObject *type = Py_TYPE(obj.ptr());
  if (!is_any_coroutine(obj.ptr()) && !await_slot_of(type)) {
    PyErr_Format(PyExc_TypeError,
                 "'async with' received an object from %s that does not implement __await__: "
                 "%.100s",
                 method, type_text(type).c_str());
    throw nb::python_error();
  }
  return obj;
}

}  // namespace

Coroutine async_with(nb::object manager, AsyncWithBody body, nb::tuple extra) {
  static const nb::handle aenter_name = intern("__aenter__").release();
  static const nb::handle aexit_name = intern("__aexit__").release();
  nb::object aenter = lookup_special(manager, aenter_name);
  const char *unsupported = "'%.200s' object does not support the asynchronous context manager protocol";
  if (!aenter.is_valid()) {
    PyErr_Format(PyExc_TypeError, unsupported, type_text_of(manager).c_str());
    throw nb::python_error();
  }
  nb::object aexit = lookup_special(manager, aexit_name);
  if (!aexit.is_valid()) {
    std::string missed = std::string(unsupported) + " (missed __aexit__ method)";
    PyErr_Format(PyExc_TypeError, missed.c_str(), type_text_of(manager).c_str());
    throw nb::python_error();
  }
  nb::object entered = co_await require_awaitable(aenter(), "__aenter__");

  nb::object result;
  nb::object in_flight;  // the body's exception, as a Python object
  try {
    result = co_await body(std::move(entered), extra);
  } catch (...) {
    in_flight = exception_object(std::current_exception());
  }

  if (!in_flight.is_valid()) {
    co_await require_awaitable(aexit(nb::none(), nb::none(), nb::none()), "__aexit__");
    co_return result;
  }

  bool swallowed = false;
  co_await HandlingException(in_flight);
  try {
    nb::handle in_flight_type(reinterpret_cast<PyObject *>(Py_TYPE(in_flight.ptr())));
    nb::object traceback = nb::steal(PyException_GetTraceback(in_flight.ptr()));
    if (!traceback.is_valid()) traceback = nb::none();
    // __aexit__ is called and awaited as in the handler: sys.exc_info() shows
    // in_flight, and what it raises is chained to it.
    nb::object exiting = aexit(in_flight_type, in_flight, traceback);
    swallowed = truthy(co_await require_awaitable(std::move(exiting), "__aexit__"));
  } catch (nb::python_error &exit_error) {
    chain_context(exit_error, in_flight);
    throw;
  }
  co_await HandlingException(nb::object());
  if (swallowed) co_return nb::none();
  throw_exception(in_flight);
}

}  // namespace zlg
