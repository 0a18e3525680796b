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
// * send, throw (single and deprecated three-argument forms), close and
//   __await__ (an iterator, as for `async def`; the coroutine itself is not
//   one); it is a collections.abc.Coroutine; re-entry raises ValueError
//   ("coroutine already executing"), a second awaiter RuntimeError
//   ("coroutine is being awaited already"), a too deep await chain
//   RecursionError; dropping it unstarted warns "coroutine '...' was never
//   awaited"; dropping it suspended closes it. All modules of the package
//   share one coroutine type.
// * it takes part in garbage collection: the object it waits on and the
//   nb::object parameters of the coroutine function are traversed. `co_await`
//   of a temporary (`co_await f()`) moves it there; `co_await std::move(x)`
//   does the same for a local. Other locals of the frame are not visible to
//   the collector: an object that may close a reference cycle back to the
//   coroutine belongs in a parameter, or must be released before the frame
//   suspends.
//
// A C++ `catch` block cannot co_await. For awaited cleanup, remember the
// failure in the handler and await after it (async_with does this for you):
//
//   std::exception_ptr failure;
//   try { ... co_await ...; } catch (...) { failure = std::current_exception(); }
//   co_await cleanup();
//   if (failure) std::rethrow_exception(failure);
//
// Never build a lambda with captures, a braced aggregate or a `?:` temporary
// inside a co_await expression: g++ 12 destroys such a temporary twice (the
// build refuses a compiler that does, see cmake/AwaitTemporaryCheck.cmake).
// The API below takes plain function pointers and Python objects only.
#pragma once

#include <nanobind/nanobind.h>

#include <concepts>
#include <coroutine>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace zlg {

namespace nb = nanobind;

// The exception a native coroutine is handling while it awaits: shown by
// sys.exc_info() to the code it awaits, and the __context__ of what that code
// raises. `co_await HandlingException(exc)`; an invalid object ends it.
class HandlingException {
 public:
  explicit HandlingException(nb::object exception) : exception_(std::move(exception)) {}
  nb::object take() { return std::move(exception_); }

 private:
  nb::object exception_;
};

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
    PyObject *handled = nullptr;       // exception being handled (owned), see HandlingException
    void *exception_state = nullptr;   // the thread's exc_info entry while the frame runs
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
    // A temporary (or std::move'd) object is moved into the awaiter, so no
    // reference stays in the frame where the collector cannot see it.
    template <typename T>
      requires std::derived_from<std::remove_cvref_t<T>, nb::handle>
    PyAwaiter await_transform(T &&awaitable) {
      if constexpr (std::is_base_of_v<nb::object, std::remove_cvref_t<T>> &&
                    std::is_rvalue_reference_v<T &&> && !std::is_const_v<std::remove_reference_t<T>>)
        return PyAwaiter{nb::steal(awaitable.release()), this};
      else
        return PyAwaiter{nb::borrow(nb::handle(awaitable)), this};
    }
    PyAwaiter await_transform(Coroutine &&inner);
    std::suspend_never await_transform(HandlingException &&handling);

   private:
    template <typename T>
    void remember(T &param) {
      if constexpr (std::is_base_of_v<nb::object, T>) frame_objects.push_back(&param);
    }
  };

  Coroutine(Coroutine &&other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Coroutine &operator=(Coroutine &&other) noexcept;
  Coroutine(const Coroutine &) = delete;
  Coroutine &operator=(const Coroutine &) = delete;
  ~Coroutine();

  // Hands the frame to a new Python coroutine object named name/qualname.
  nb::object to_python(const std::string &name, const std::string &qualname) &&;
  nb::object to_python(nb::handle name, nb::handle qualname) &&;  // str objects

 private:
  explicit Coroutine(handle_type handle) : handle_(handle) {}
  handle_type handle_;
};

// The body of an `async with`: a coroutine function taking what __aenter__
// gave and the `extra` objects passed to async_with. A plain function, not a
// lambda with captures: what it needs travels in `extra`, where the collector
// sees it.
using AsyncWithBody = Coroutine (*)(nb::object entered, nb::tuple extra);

// `async with manager as entered: return await body(entered, extra)`, from
// C++, as the interpreter runs it: __aenter__ and __aexit__ are looked up on
// the manager's type and bound to it (a manager without them raises
// TypeError "'X' object does not support the asynchronous context manager
// protocol"); __aexit__ is always awaited, with the exception in flight
// (type, value, traceback) or three Nones. While it runs with an exception,
// sys.exc_info() shows that exception and an error it raises gets it as
// __context__. A true result of __aexit__ swallows the exception and yields
// None.
//
//   co_return co_await zlg::async_with(std::move(session), send_all,
//                                      nb::make_tuple(self, payloads));
Coroutine async_with(nb::object manager, AsyncWithBody body, nb::tuple extra = nb::tuple());

// True for a coroutine object made by any module of the package.
bool is_native_coroutine(nb::handle obj);

}  // namespace zlg
