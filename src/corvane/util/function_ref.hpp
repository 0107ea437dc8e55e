// A non-owning reference to something callable: what a function that only
// calls its argument before returning needs, without std::function's copy
// (and its possible heap allocation) of the callable.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace corvane {

template <typename Signature>
class function_ref;

template <typename R, typename... Args>
class function_ref<R(Args...)> {
 public:
  // `callable` must outlive every call made through this reference.
  template <typename F, typename = std::enable_if_t<!std::is_same_v<std::remove_cvref_t<F>, function_ref> &&
                                                    std::is_invocable_r_v<R, F&, Args...>>>
  function_ref(F&& callable) noexcept  // NOLINT: implicit, as a std::function parameter is
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
        call_([](void* object, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace corvane
