#pragma once

#include <cstddef>
#include <cstdint>

// Bytes read from the "Display Inline Images" value, as the registry read left them.
constexpr std::size_t kValueBufferSize = 260;
using ValueBuffer = unsigned char[kValueBufferSize];

// Replaces the text at the start of `value` with the option's next setting:
// "no" when it begins with exactly "yes" and its NUL, otherwise "yes".
// Returns the new text's size including its NUL (3 or 4); bytes after that NUL are untouched.
std::uint32_t NextInlineImagesValue(ValueBuffer& value);
