#pragma once
// A value-semantics box: one heap object behind a pointer that copies deeply. Cells of rare,
// big kinds (formulas with their companions, text cells) and the entry lists of the
// multi-cell records live behind one, so that the common cell costs no more than its kind.

#include <memory>
#include <utility>

namespace tabulix::cells {

template <class T>
class Boxed {
 public:
  Boxed() = default;
  explicit Boxed(T value) : item_(std::make_unique<T>(std::move(value))) {}
  Boxed(const Boxed& other) : item_(other.item_ ? std::make_unique<T>(*other.item_) : nullptr) {}
  Boxed& operator=(const Boxed& other) {
    if (this != &other) item_ = other.item_ ? std::make_unique<T>(*other.item_) : nullptr;
    return *this;
  }
  Boxed(Boxed&&) noexcept = default;
  Boxed& operator=(Boxed&&) noexcept = default;
  ~Boxed() = default;

  // The held object, made (default) when there is none yet.
  T& Get() {
    if (!item_) item_ = std::make_unique<T>();
    return *item_;
  }
  T* get() { return item_.get(); }
  const T* get() const { return item_.get(); }
  T* operator->() { return item_.get(); }
  const T* operator->() const { return item_.get(); }
  T& operator*() { return *item_; }
  const T& operator*() const { return *item_; }
  explicit operator bool() const { return item_ != nullptr; }
  void reset() { item_.reset(); }

 private:
  std::unique_ptr<T> item_;
};

}  // namespace tabulix::cells
