#include "common/RuntimeError.h"

RuntimeError::RuntimeError(ErrorKind kind, const std::string& message)
    : std::runtime_error(message), mKind(kind)
{
}
