#pragma once

// Storage for a process-wide object that is built on first use and never
// destroyed. Logging singletons use it: a static object in another file may
// still log from its destructor at exit, after an ordinary function-local
// static would already be gone.

#include <new>
#include <utility>

namespace plat {

template <typename T>
class NoDestructor {
public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T& operator*() { return *get(); }
  T* operator->() { return get(); }
  T* get() { return std::launder(reinterpret_cast<T*>(storage_)); }

private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

} // namespace plat
