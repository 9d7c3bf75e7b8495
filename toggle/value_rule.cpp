#include "value_rule.h"

#include <cstring>

namespace {
constexpr unsigned char kOn[] = {'y', 'e', 's', '\0'};
constexpr unsigned char kOff[] = {'n', 'o', '\0'};
}  // namespace

std::uint32_t NextInlineImagesValue(ValueBuffer& value)
{
    // The NUL takes part in the compare: "yesterday" or "yes " is not "yes".
    if (std::memcmp(value, kOn, sizeof kOn) == 0) {
        std::memcpy(value, kOff, sizeof kOff);
        return sizeof kOff;
    }
    std::memcpy(value, kOn, sizeof kOn);
    return sizeof kOn;
}
