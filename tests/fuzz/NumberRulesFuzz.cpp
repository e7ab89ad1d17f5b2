// Number rules on any text: no crash, and a whole number that converts
// gives itself back from its own decimal text.
#include "platform/NumberRules.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<std::int32_t> whole = VarI4FromStr(text);
    if (whole && VarI4FromStr(QString::number(*whole)) != whole) {
        std::fprintf(stderr, "VarI4FromStr does not read back %d\n", *whole);
        std::abort();
    }
    const std::optional<double> real = VarR8FromStr(text);
    if (real && whole && std::fabs(*real - *whole) > 0.5 + 1e-9 * std::fabs(*real)) {
        std::fprintf(stderr, "VarR8FromStr %g and VarI4FromStr %d disagree\n", *real, *whole);
        std::abort();
    }
    if (std::isnan(Val(text))) {
        std::fprintf(stderr, "Val gave NaN\n");
        std::abort();
    }
    return 0;
}
