// Conversions between UTF-8 and Windows-1257 (Baltic), the code page the reader falls
// back to for text that is not valid UTF-8. Pure functions, safe from any thread.
#pragma once

#include <string>
#include <string_view>

bool isValidUtf8(std::string_view text);

// Characters that Windows-1257 lacks become '?'; invalid UTF-8 sequences too.
std::string utf8ToWindows1257(std::string_view text);

std::string windows1257ToUtf8(std::string_view text);

// Text as UTF-8: unchanged when valid UTF-8, else read as Windows-1257.
std::string asUtf8(std::string_view text);

// The characters (code points) of UTF-8 text; a byte that starts no valid character counts
// as one character of its own.
std::u32string utf8CodePoints(std::string_view text);
