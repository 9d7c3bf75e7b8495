#include "value_rule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

namespace {

using namespace std::string_literals;

// Stands for whatever the buffer held before the read: never NUL, never a letter.
constexpr unsigned char kStale = 0xAB;

struct RuleCase {
    const char* name;
    std::string read;      // bytes the registry read left at the buffer's start
    std::string written;   // the new text with its NUL
};

const RuleCase kRuleCases[] = {
    {"yes", "yes\0"s, "no\0"s},
    {"no", "no\0"s, "yes\0"s},
    {"empty text", "\0"s, "yes\0"s},
    {"capital Yes", "Yes\0"s, "yes\0"s},
    {"upper case YES", "YES\0"s, "yes\0"s},
    {"yes and a blank", "yes \0"s, "yes\0"s},
    {"yesterday", "yesterday\0"s, "yes\0"s},
    {"yesno", "yesno\0"s, "yes\0"s},
    {"yes, NUL, more text", "yes\0more text\0"s, "no\0"s},
    {"binary yes and NUL", "yes\0\xff\xfe\x01"s, "no\0"s},
    {"32-bit number 1", "\x01\0\0\0"s, "yes\0"s},
    {"yes without its NUL", "yes"s, "yes\0"s},
    {"nothing read", ""s, "yes\0"s},
};

TEST(NextInlineImagesValue, WritesTheNextTextAndLeavesTheRestOfTheBuffer)
{
    for (const RuleCase& c : kRuleCases) {
        SCOPED_TRACE(c.name);
        ValueBuffer value;
        std::fill(std::begin(value), std::end(value), kStale);
        std::memcpy(value, c.read.data(), c.read.size());
        ValueBuffer before;
        std::memcpy(before, value, sizeof value);

        const std::uint32_t size = NextInlineImagesValue(value);

        ASSERT_EQ(size, c.written.size());
        EXPECT_EQ(std::string(value, value + size), c.written);
        EXPECT_TRUE(std::equal(value + size, std::end(value), before + size))
            << "a byte after the new text's NUL changed";
    }
}

TEST(NextInlineImagesValue, AlternatesWhenAppliedToItsOwnResult)
{
    ValueBuffer value = {'y', 'e', 's', '\0'};
    for (const char* expected : {"no", "yes", "no", "yes"}) {
        SCOPED_TRACE(expected);
        const std::uint32_t size = NextInlineImagesValue(value);
        EXPECT_EQ(size, std::strlen(expected) + 1);
        EXPECT_STREQ(reinterpret_cast<const char*>(value), expected);
    }
}

}  // namespace
