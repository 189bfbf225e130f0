// A fixed-size array of zero bytes for trivially copyable records (the places
// of a hash table, the states of the suffix automaton). Large ones come
// straight from the operating system, so that untouched parts cost nothing,
// and are offered huge pages: such arrays are read at random, and with 4 KiB
// pages nearly every read would also miss the TLB.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace orvel::text {

template <typename T>
class ZeroedArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    ZeroedArray() = default;
    explicit ZeroedArray(std::size_t count) : count_(count) {
        std::size_t bytes = count * sizeof(T);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (bytes >= kHugePage) {
            // Over-allocate so that the array can start on a huge-page boundary.
            mapped_bytes_ = bytes + kHugePage;
            void* mapped = mmap(nullptr, mapped_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (mapped == MAP_FAILED) throw std::bad_alloc();
            mapped_ = mapped;
            auto address = reinterpret_cast<std::uintptr_t>(mapped);
            auto aligned = (address + kHugePage - 1) & ~std::uintptr_t(kHugePage - 1);
            madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);  // advice only
            data_ = reinterpret_cast<T*>(aligned);
            return;
        }
#endif
        data_ = static_cast<T*>(::operator new(bytes == 0 ? 1 : bytes, kAlignment));
        std::memset(static_cast<void*>(data_), 0, bytes);
    }
    ZeroedArray(ZeroedArray&& other) noexcept { swap(other); }
    ZeroedArray& operator=(ZeroedArray&& other) noexcept {
        ZeroedArray(std::move(other)).swap(*this);
        return *this;
    }
    ~ZeroedArray() {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (mapped_ != nullptr) {
            munmap(mapped_, mapped_bytes_);
            return;
        }
#endif
        if (data_ != nullptr) ::operator delete(data_, kAlignment);
    }

    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    std::size_t size() const { return count_; }
    T* data() { return data_; }

private:
    static constexpr std::size_t kHugePage = std::size_t(2) << 20;
    // Whole cache lines, and never less than the records ask for.
    static constexpr std::align_val_t kAlignment{std::max<std::size_t>(64, alignof(T))};

    void swap(ZeroedArray& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(count_, other.count_);
        std::swap(mapped_, other.mapped_);
        std::swap(mapped_bytes_, other.mapped_bytes_);
    }

    T* data_ = nullptr;
    std::size_t count_ = 0;
    void* mapped_ = nullptr;
    std::size_t mapped_bytes_ = 0;
};

}  // namespace orvel::text
