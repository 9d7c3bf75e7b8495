#include "value_rule.h"

#include <algorithm>
#include <iterator>

namespace {
constexpr unsigned char kOn[] = {'y', 'e', 's', '\0'};
constexpr unsigned char kOff[] = {'n', 'o', '\0'};
}  // namespace

std::uint32_t NextInlineImagesValue(ValueBuffer& value)
{
    // The NUL takes part in the compare: "yesterday" or "yes " is not "yes".
    if (std::equal(std::begin(kOn), std::end(kOn), std::begin(value))) {
        std::copy(std::begin(kOff), std::end(kOff), std::begin(value));
        return sizeof kOff;
    }
    std::copy(std::begin(kOn), std::end(kOn), std::begin(value));
    return sizeof kOn;
}
