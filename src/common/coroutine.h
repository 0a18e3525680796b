// C++20 coroutines that are real Python coroutines.
//
//   zlg::Coroutine fetch(nb::object session, nb::object url) {
//       nb::object response = co_await session.attr("get")(url);   // any awaitable
//       nb::object body = co_await response.attr("json")();
//       co_return body;
//   }
//
// Turned into a Python object with to_python() (make_coroutine_function does
// it for you), the frame behaves like a coroutine written in Python:
//
// * `co_await x` on any Python awaitable delegates like `yield from
//   x.__await__()`: values the awaitable yields go out to the event loop,
//   send() and throw() go to the awaitable, its return value comes back as the
//   result of co_await and its exception is thrown at the co_await as
//   nb::python_error.
// * the return value leaves through StopIteration(value) (built explicitly,
//   so tuples and exception objects come through intact), or through am_send
//   without any exception at all when driven by asyncio.
// * send, throw (single and deprecated three-argument forms), close,
//   __await__, __next__; it is a collections.abc.Coroutine; re-entry raises
//   ValueError("coroutine already executing"); dropping it unstarted warns
//   "coroutine '...' was never awaited"; dropping it suspended closes it.
// * it takes part in garbage collection: the awaitable it waits on and the
//   nb::object parameters of the coroutine function are traversed. Locals of
//   the frame are not visible to the collector: an object that may close a
//   reference cycle back to the coroutine belongs in a parameter.
//
// A C++ `catch` block cannot co_await. For awaited cleanup, remember the
// failure in the handler and await after it (async_with does this for you):
//
//   std::exception_ptr failure;
//   try { ... co_await ...; } catch (...) { failure = std::current_exception(); }
//   co_await cleanup();
//   if (failure) std::rethrow_exception(failure);
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace zlg {

namespace nb = nanobind;

class Coroutine {
 public:
  struct promise_type;
  using handle_type = std::coroutine_handle<promise_type>;

  // What the C++ frame is waiting for, and how it is to be resumed.
  struct promise_type {
    PyObject *delegate = nullptr;      // iterator of the awaited awaitable (owned)
    PyObject *sent_value = nullptr;    // result of the finished awaitable (owned)
    PyObject *thrown = nullptr;        // exception to raise at the co_await (owned)
    PyObject *result = nullptr;        // value of co_return (owned)
    PyObject *error = nullptr;         // exception that left the frame (owned)
    std::vector<nb::object *> frame_objects;  // parameters copied into the frame

    promise_type() = default;
    template <typename... Ts>
    explicit promise_type(Ts &...params) {
      (remember(params), ...);
    }
    ~promise_type();

    Coroutine get_return_object() { return Coroutine(handle_type::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(nb::object value) { result = value.release().ptr(); }
    void unhandled_exception() noexcept;

    struct PyAwaiter {
      nb::object awaitable;
      promise_type *promise;
      bool await_ready() const noexcept { return false; }
      void await_suspend(handle_type) noexcept;
      nb::object await_resume();
    };
    PyAwaiter await_transform(nb::handle awaitable) {
      return PyAwaiter{nb::borrow(awaitable), this};
    }
    PyAwaiter await_transform(Coroutine &&inner);

   private:
    void remember(nb::object &o) { frame_objects.push_back(&o); }
    template <typename T>
    void remember(T &) {}
  };

  Coroutine(Coroutine &&other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Coroutine &operator=(Coroutine &&other) noexcept;
  Coroutine(const Coroutine &) = delete;
  Coroutine &operator=(const Coroutine &) = delete;
  ~Coroutine();

  // Hands the frame to a new Python coroutine object named name/qualname.
  nb::object to_python(const std::string &name, const std::string &qualname) &&;

 private:
  explicit Coroutine(handle_type handle) : handle_(handle) {}
  handle_type handle_;
};

// `async with manager as entered: return await body(entered)`, from C++:
// __aenter__ is awaited, then body's coroutine; __aexit__ is always awaited,
// with the exception in flight (type, value, traceback) or three Nones. A
// true result of __aexit__ swallows the exception and yields None. An error
// raised by __aexit__ gets the body's exception as its __context__.
Coroutine async_with(nb::object manager, std::function<Coroutine(nb::object)> body);

// Type checks and creation without going through the module.
bool is_native_coroutine(nb::handle obj);

}  // namespace zlg
