// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "assertion_report.h"

namespace plinth {

// The one process-wide T, created on first use and never destroyed. T derives from
// AutoCreateSingleton<T> and lets it construct T (friend); T's constructor may throw.
template <typename T>
class AutoCreateSingleton {
 public:
  // The instance, created on the first call (thread-safe). When T's constructor throws, the
  // exception leaves here, no instance exists and a later call tries again.
  static T* GetInstance();

  AutoCreateSingleton(const AutoCreateSingleton&) = delete;
  AutoCreateSingleton& operator=(const AutoCreateSingleton&) = delete;

 protected:
  // A second instance is a broken invariant (report, then abort). The instance is published in
  // sm_instance once its construction has finished.
  AutoCreateSingleton();
  // The instance lives until the process ends: destroying it is a broken invariant, except while
  // a constructor that threw is being unwound.
  ~AutoCreateSingleton();

  // Read without a lock on the common path, so atomic: whoever sees it set also sees the
  // finished object.
  static std::atomic<T*> sm_instance;

 private:
  static void Create();

  // True while GetInstance constructs the instance.
  static bool sm_creating;
  // True once an instance has been built (or is being built).
  static bool sm_constructed;
};

namespace singleton_detail {

// Where the reports of this header say they come from. The numbers are fixed rather than
// __LINE__, so that tools matching assertion records keep matching when this header changes.
constexpr char kSource[] = "lib/platform/singleton";
constexpr unsigned kSecondInstanceLine = 116;
constexpr unsigned kConstructedAtInvalidAddressLine = 117;
constexpr unsigned kDestroyedLine = 124;
constexpr unsigned kInvalidInstanceLine = 145;
// Addresses below one page are never objects: such a pointer is memory corruption.
constexpr std::uintptr_t kLowestValidAddress = 4096;

inline bool IsValidPointer(const void* pointer) {
  return reinterpret_cast<std::uintptr_t>(pointer) >= kLowestValidAddress;
}

}  // namespace singleton_detail

template <typename T>
std::atomic<T*> AutoCreateSingleton<T>::sm_instance{nullptr};

template <typename T>
bool AutoCreateSingleton<T>::sm_creating = false;

template <typename T>
bool AutoCreateSingleton<T>::sm_constructed = false;

template <typename T>
AutoCreateSingleton<T>::AutoCreateSingleton() {
  using namespace singleton_detail;
  if (sm_constructed || sm_instance.load(std::memory_order_acquire) != nullptr) {
    ReportAssertion(kSource, kSecondInstanceLine, __PRETTY_FUNCTION__, "sm_instance == __null");
    std::abort();
  }
  if (!IsValidPointer(this)) {
    ReportAssertionMessage(kSource, kConstructedAtInvalidAddressLine, __PRETTY_FUNCTION__,
                           "Invalid pointer", "Pointer=%p", static_cast<void*>(this));
    std::abort();
  }
  sm_constructed = true;
}

template <typename T>
AutoCreateSingleton<T>::~AutoCreateSingleton() {
  if (sm_creating) {
    // T's constructor threw after this base was built: there is no instance after all.
    sm_constructed = false;
    return;
  }
  ReportAssertion(singleton_detail::kSource, singleton_detail::kDestroyedLine, __PRETTY_FUNCTION__,
                  "false");
  std::abort();
}

template <typename T>
void AutoCreateSingleton<T>::Create() {
  sm_creating = true;
  T* created = nullptr;
  try {
    created = new T();  // never deleted
  } catch (...) {
    sm_creating = false;
    throw;
  }
  sm_creating = false;
  // Published only once T is complete: until then there is no T to point at.
  sm_instance.store(created, std::memory_order_release);
}

template <typename T>
T* AutoCreateSingleton<T>::GetInstance() {
  using namespace singleton_detail;
  static std::once_flag once_flag;
  T* instance = sm_instance.load(std::memory_order_acquire);
  if (instance == nullptr) {
    // A creation that threw leaves the flag unset, so the next caller tries again.
    std::call_once(once_flag, &AutoCreateSingleton::Create);
    instance = sm_instance.load(std::memory_order_acquire);
  }
  if (!IsValidPointer(instance)) {
    ReportAssertionMessage(kSource, kInvalidInstanceLine, __PRETTY_FUNCTION__, "Invalid pointer",
                           "Pointer=%p", static_cast<void*>(instance));
    std::abort();
  }
  return instance;
}

}  // namespace plinth
