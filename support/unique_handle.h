#pragma once
// unique_handle: the one owner type for operating-system and C runtime handles.
// Each handle kind supplies a traits type naming its handle type, its own invalid
// value and how it is closed, so nothing is closed twice or leaked.

#include <utility>

template <typename Traits> class unique_handle {
  public:
    using pointer = typename Traits::pointer;

    unique_handle() noexcept = default;
    explicit unique_handle(pointer handle) noexcept : handle_(handle) {}
    ~unique_handle() { reset(); }

    unique_handle(unique_handle&& other) noexcept : handle_(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;

    pointer get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::invalid(); }

    // Gives up ownership without closing.
    pointer release() noexcept { return std::exchange(handle_, Traits::invalid()); }

    void reset(pointer handle = Traits::invalid()) noexcept {
        pointer old = std::exchange(handle_, handle);
        if (old != Traits::invalid())
            Traits::close(old);
    }

  private:
    pointer handle_ = Traits::invalid();
};
