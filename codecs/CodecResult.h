#pragma once
// How a decoder reports failure: a kind the caller can act on (try another
// reader, give up on the file, stop quietly) and a message for the log.
// Nothing of Qt or of the program, so that the shipped plug-ins use it too.
#include <string>
#include <utility>
#include <variant>

namespace codec {

enum class ErrorKind {
    NotThisFormat, // the bytes are not this format, or not the part of it this reader takes
    Unsupported,   // this format, but a feature the decoder does not read
    Damaged,       // damaged or cut short
    TooLarge,      // more pixels or bytes than the caller allows
    OutOfMemory,
    ReadFailed,    // the file itself could not be read
    Stopped,       // the caller asked the decode to stop
};

const char* KindName(ErrorKind kind);

struct Error {
    ErrorKind kind = ErrorKind::Damaged;
    std::string message;

    // "damaged: <message>", for logs and error texts.
    std::string Describe() const { return std::string(KindName(kind)) + ": " + message; }
};

// A value or the error that kept it from being made.
template <class T> class [[nodiscard]] Result {
public:
    Result(T value) : mState(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : mState(std::in_place_index<1>, std::move(error)) {}

    bool has_value() const { return mState.index() == 0; }
    explicit operator bool() const { return has_value(); }
    T& operator*() { return std::get<0>(mState); }
    const T& operator*() const { return std::get<0>(mState); }
    T* operator->() { return &std::get<0>(mState); }
    const T* operator->() const { return &std::get<0>(mState); }
    const Error& error() const { return std::get<1>(mState); }

private:
    std::variant<T, Error> mState;
};

// Success without a value.
template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : mError(std::move(error)), mFailed(true) {}

    bool has_value() const { return !mFailed; }
    explicit operator bool() const { return has_value(); }
    const Error& error() const { return mError; }

private:
    Error mError;
    bool mFailed = false;
};

inline Error Fail(ErrorKind kind, std::string message) { return Error{kind, std::move(message)}; }

inline const char* KindName(ErrorKind kind)
{
    switch (kind) {
    case ErrorKind::NotThisFormat: return "not this format";
    case ErrorKind::Unsupported: return "unsupported";
    case ErrorKind::Damaged: return "damaged";
    case ErrorKind::TooLarge: return "too large";
    case ErrorKind::OutOfMemory: return "out of memory";
    case ErrorKind::ReadFailed: return "read failed";
    case ErrorKind::Stopped: return "stopped";
    }
    return "error";
}

} // namespace codec
