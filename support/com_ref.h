// An owning COM interface pointer for the tools and the tests.
#ifndef QSSTORAGE_SUPPORT_COM_REF_H_
#define QSSTORAGE_SUPPORT_COM_REF_H_

namespace qss_support {

// Holds one reference to its object and releases it when it goes, so that
// an early return or a failed assertion leaks nothing.
template <class T>
class Ref {
 public:
  Ref() = default;
  // Takes over the reference `p` carries.
  explicit Ref(T* p) : p_(p) {}
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Reset();
      p_ = other.p_;
      other.p_ = nullptr;
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Reset(); }

  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  // For an out parameter: releases the current object first.
  T** Out() {
    Reset();
    return &p_;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

}  // namespace qss_support

#endif  // QSSTORAGE_SUPPORT_COM_REF_H_
