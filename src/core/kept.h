// What the library keeps for its callers: a result handed out by pointer,
// valid until the next call of the same operation replaces it.  Two kinds:
//
//   Kept<T>       a value of any type (a heap string, a list of names, a
//                 procedure's decoded answer, a reader's text) with the
//                 function that releases it; storing the next value
//                 releases the one before.
//   KeptText<N>   a text cut to N - 1 characters, in a buffer of its own
//                 that lives as long as the process: for the operations
//                 whose interface promises a buffer of that size, whose
//                 address callers may keep (the next call writes over it).
//
// Both take their own lock for the replacement, so that two threads never
// release one value twice or interleave two texts; what a caller reads
// through the pointer afterwards is, as the interface says, valid until the
// next call.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

namespace qd {

template <class T>
class Kept {
public:
    using Release = void (*)(T&);

    explicit Kept(Release release) : release_(release) {}
    ~Kept() { release_(value_); }
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;

    // Releases the kept value, keeps `fresh` instead and returns what
    // `read(kept)` returns, read while no other thread can replace it.
    template <class Read>
    auto replace(T fresh, Read&& read)
    {
        std::lock_guard<std::mutex> hold(lock_);
        release_(value_);
        value_ = std::move(fresh);
        return read(value_);
    }

private:
    std::mutex lock_;
    T value_{};
    Release release_;
};

template <std::size_t N>
class KeptText {
public:
    KeptText() = default;
    // Starts out holding `initial`.
    explicit KeptText(const char* initial) { copy_cut(initial); }
    KeptText(const KeptText&) = delete;
    KeptText& operator=(const KeptText&) = delete;

    // The buffer, for the caller to read.
    const char* text() const { return text_; }

    // Writes `from` as plain text (NULL as ""), cut to N - 1 characters.
    const char* replace(const char* from)
    {
        std::lock_guard<std::mutex> hold(lock_);
        copy_cut(from);
        return text_;
    }

    // Writes the formatted text, cut to N - 1 characters.
    const char* format(const char* format, ...) __attribute__((format(printf, 2, 3)))
    {
        std::lock_guard<std::mutex> hold(lock_);
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(text_, N, format, arguments);
        va_end(arguments);
        return text_;
    }

private:
    void copy_cut(const char* from)
    {
        const std::size_t n = from ? strnlen(from, N - 1) : 0;
        std::memcpy(text_, from ? from : "", n);
        text_[n] = '\0';
    }

    std::mutex lock_;
    char text_[N] = {};
};

}  // namespace qd
