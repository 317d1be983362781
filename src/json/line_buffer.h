// The buffer an engine builds its log lines in, one after another. Unlike a
// std::string, which zero-fills every byte it grows by even where its
// capacity is already there, this buffer keeps the bytes it has held: making
// room for the next line inside storage it already has writes nothing. Only
// the first size() bytes are the line; what lies beyond is left over.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace vorm_zel {

class LineBuffer {
public:
    // The line so far; valid until the buffer is next changed.
    [[nodiscard]] std::string_view view() const noexcept { return {storage_.data(), size_}; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] char* data() noexcept { return storage_.data(); }
    // The storage held: the most the buffer has ever been resized to.
    [[nodiscard]] std::size_t capacity() const noexcept { return storage_.size(); }

    // Starts a new line, keeping the storage.
    void clear() noexcept { size_ = 0; }
    // Gives the storage back.
    void release() noexcept {
        std::string().swap(storage_);
        size_ = 0;
    }
    // Makes the line n bytes long; bytes past the old size are unspecified
    // until written. Grows the storage (the only time anything is filled)
    // when n is beyond it.
    void resize(std::size_t n) {
        reserve(n);
        size_ = n;
    }
    void reserve(std::size_t n) {
        if (n > storage_.size()) {
            storage_.resize(n);
        }
    }
    void append(const char* text, std::size_t n) {
        const std::size_t at = size_;
        resize(size_ + n);
        std::memcpy(storage_.data() + at, text, n);
    }
    LineBuffer& operator+=(std::string_view text) {
        append(text.data(), text.size());
        return *this;
    }

private:
    std::string storage_;
    std::size_t size_ = 0;
};

}  // namespace vorm_zel
