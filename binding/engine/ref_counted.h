#pragma once

#include <atomic>
#include <utility>

namespace vorla::engine {

// A reference-counted engine object. The count starts at zero, changes
// atomically (the engine may take references from any thread), and the object
// deletes itself when the last reference goes. Never deleted directly.
class RefCounted {
 public:
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void AddRef() const { m_count.fetch_add(1, std::memory_order_relaxed); }
  // True when this released the last reference and the object is gone.
  bool Release() const {
    if (m_count.fetch_sub(1, std::memory_order_acq_rel) != 1)
      return false;
    delete this;
    return true;
  }
  bool HasOneRef() const { return m_count.load(std::memory_order_acquire) == 1; }

 protected:
  RefCounted() = default;
  virtual ~RefCounted() = default;

 private:
  mutable std::atomic<int> m_count{0};
};

// A smart reference: adds one reference while it holds the object.
template <class T>
class RefPtr {
 public:
  RefPtr() = default;
  RefPtr(std::nullptr_t) {}
  RefPtr(T* object) : m_object(object) {
    if (m_object)
      m_object->AddRef();
  }
  RefPtr(const RefPtr& other) : RefPtr(other.m_object) {}
  template <class U>
  RefPtr(const RefPtr<U>& other) : RefPtr(other.get()) {}
  RefPtr(RefPtr&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
  ~RefPtr() {
    if (m_object)
      m_object->Release();
  }
  RefPtr& operator=(RefPtr other) noexcept {
    std::swap(m_object, other.m_object);
    return *this;
  }

  T* get() const { return m_object; }
  T* operator->() const { return m_object; }
  T& operator*() const { return *m_object; }
  explicit operator bool() const { return m_object != nullptr; }
  friend bool operator==(const RefPtr& a, const RefPtr& b) { return a.m_object == b.m_object; }

 private:
  T* m_object = nullptr;
};

}  // namespace vorla::engine
