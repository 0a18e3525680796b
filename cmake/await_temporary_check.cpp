// Does the compiler destroy a temporary created inside a co_await
// expression exactly once? g++ 12 destroys a lambda's by-value captures, a
// braced aggregate or a `?:` temporary there one time too many, which in the
// extension modules means a Python reference released twice. Exits 0 when
// every temporary below is destroyed once.
#include <coroutine>
#include <cstdio>
#include <functional>
#include <utility>

namespace {

int live = 0;

struct Counted {
  Counted() { ++live; }
  Counted(const Counted &) { ++live; }
  Counted(Counted &&) noexcept { ++live; }
  Counted &operator=(const Counted &) = default;
  ~Counted() { --live; }
};

struct Task {
  struct promise_type {
    Task get_return_object() { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() {}
  };
};

std::coroutine_handle<> parked;

struct Parks {
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> handle) noexcept { parked = handle; }
  void await_resume() const noexcept {}
};

struct Aggregate {
  Counted counted;
};

Parks take_function(std::function<int()> fn) {
  fn();
  return {};
}
Parks take_aggregate(const Aggregate &) { return {}; }
Parks take_counted(const Counted &) { return {}; }

Task with_lambda() {
  Counted counted;
  co_await take_function([counted] { return 0; });
}
Task with_aggregate() { co_await take_aggregate(Aggregate{}); }
Task with_conditional(bool which) { co_await take_counted(which ? Counted() : Counted()); }

bool destroyed_once(const char *what, Task (*start)()) {
  live = 0;
  start();
  while (parked) std::exchange(parked, {}).resume();
  if (live != 0) std::printf("%s: %d objects alive after the coroutine ended\n", what, live);
  return live == 0;
}

}  // namespace

int main() {
  bool ok = destroyed_once("lambda capture", with_lambda);
  ok = destroyed_once("braced aggregate", with_aggregate) && ok;
  ok = destroyed_once("conditional", [] { return with_conditional(true); }) && ok;
  return ok ? 0 : 1;
}
