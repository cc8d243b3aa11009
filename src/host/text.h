// Text helpers over Windows-1251 strings: trimming, letter case, number
// conversion with the host's rules, and the Windows file-mask match.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// Removes the bytes up to and including the space from both ends.
std::string Trim(std::string_view s);

// Letter case for Windows-1251, Cyrillic included.
char UpperChar(char c);
char LowerChar(char c);
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
bool SameText(std::string_view a, std::string_view b);
bool StartsText(std::string_view prefix, std::string_view s);
bool EndsText(std::string_view suffix, std::string_view s);

// Decimal with at least `min_digits` digits, zero-padded after the sign
// (the printf form %.Nd).
std::string IntToStr(std::int64_t value, int min_digits = 0);

// The host's integer conversion: leading spaces, an optional sign, decimal
// digits or a hexadecimal number after "$", "x" or "0x"; nothing may
// follow. Fails on overflow of the target type.
bool TryStrToInt(std::string_view s, std::int32_t& value);
bool TryStrToInt64(std::string_view s, std::int64_t& value);
// Raise EConvertError "'<s>' is not a valid integer value".
std::int32_t StrToInt(std::string_view s);
std::int64_t StrToInt64(std::string_view s);
std::int32_t StrToIntDef(std::string_view s, std::int32_t def);

// Windows wildcard match of a file name against a mask ("*" any run, "?"
// any one character), letter case ignored. "*.*" matches every name, as on
// Windows, also names without a dot.
bool MatchesMask(std::string_view name, std::string_view mask);

// Splits at every separator; empty pieces are kept.
std::vector<std::string> SplitString(std::string_view s, char separator);

// Replaces the first occurrence of `what` (case-sensitive); returns whether
// one was found.
bool ReplaceFirst(std::string& s, std::string_view what, std::string_view with);

}  // namespace korvel
