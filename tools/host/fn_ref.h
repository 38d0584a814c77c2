// A call to a callable that outlives it, with no allocation: the host's threads
// run work whose caller waits, so nothing needs to own it.
#pragma once

#include <concepts>
#include <type_traits>

namespace mvhost {

class FnRef {
  public:
    template <typename F>
    requires(!std::same_as<std::remove_cvref_t<F>, FnRef> && std::invocable<F &>) FnRef(F &f)
        : object_(&f), call_([](void *o) { (*static_cast<F *>(o))(); }) {}

    void operator()() const { call_(object_); }

  private:
    void *object_;
    void (*call_)(void *);
};

} // namespace mvhost
