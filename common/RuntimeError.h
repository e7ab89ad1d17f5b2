#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

// The error kinds that the program's logic raises and that reach the
// uncaught-error report when nobody handles them.
enum class ErrorKind {
    IndexOutOfRange,
    Overflow,
    DivisionByZero,
    TypeMismatch,
    LibraryNotFound,
    EntryPointNotFound,
    PluginFailed,
};

class RuntimeError : public std::runtime_error {
public:
    RuntimeError(ErrorKind kind, const std::string& message);
    ErrorKind Kind() const { return mKind; }

private:
    ErrorKind mKind;
};

