// UTF-8 and UTF-16 text on the host side: the driver speaks UTF-16 (char16_t), tools and tests
// print UTF-8. Also the case folding the registry and the object names use.
#pragma once

#include <string>
#include <string_view>

namespace host {

// Invalid sequences become U+FFFD rather than failing: these texts are for people.
std::u16string widen(std::string_view utf8);
std::string narrow(std::u16string_view utf16);

// Names in the registry and the object namespace compare without regard to ASCII case.
std::u16string foldCase(std::u16string_view text);
bool equalsIgnoreCase(std::u16string_view a, std::u16string_view b);

// A terminated UTF-16 string from the driver, as a view (empty for nullptr).
std::u16string_view viewOf(const char16_t* text);

}  // namespace host
