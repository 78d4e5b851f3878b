// A read-only array that either owns its elements (a vector, as a build fills it) or views
// elements that live elsewhere, such as a memory-mapped index file, kept alive by a shared
// owner for as long as any column refers to them.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace mesk {

template <class T>
class IndexArray {
public:
    IndexArray() = default;
    // Owns the elements of `values`.
    IndexArray(std::vector<T> values) : owned_(std::move(values)), data_(owned_.data()), size_(owned_.size()) {}
    // Views `size` elements at `data`; `keeper` keeps that memory valid.
    IndexArray(const T *data, size_t size, std::shared_ptr<const void> keeper)
        : keeper_(std::move(keeper)), data_(size ? data : nullptr), size_(size) {}

    IndexArray(const IndexArray &other) : owned_(other.owned_), keeper_(other.keeper_), size_(other.size_) {
        data_ = keeper_ ? other.data_ : owned_.data();
    }
    // A moved vector keeps its buffer, so the pointer stays valid.
    IndexArray(IndexArray &&other) noexcept
        : owned_(std::move(other.owned_)), keeper_(std::move(other.keeper_)), data_(other.data_), size_(other.size_) {
        other.data_ = nullptr;
        other.size_ = 0;
    }
    IndexArray &operator=(IndexArray other) noexcept {
        swap(other);
        return *this;
    }
    void swap(IndexArray &other) noexcept {
        owned_.swap(other.owned_);
        keeper_.swap(other.keeper_);
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
    }

    const T *data() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T &operator[](size_t i) const { return data_[i]; }
    const T *begin() const { return data_; }
    const T *end() const { return data_ + size_; }
    // Whether the elements live in memory this column does not own (a mapped file).
    bool is_view() const { return keeper_ != nullptr; }
    // Heap bytes the column owns (none for a view).
    size_t heap_bytes() const { return owned_.capacity() * sizeof(T); }

private:
    std::vector<T> owned_;
    std::shared_ptr<const void> keeper_;
    const T *data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace mesk
