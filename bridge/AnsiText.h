#pragma once
// windows-1251 <-> UTF-8 for the bridge. The bank library speaks windows-1251
// and so does the kiosk reading our output; our own texts are UTF-8. A table
// of our own keeps the bridge free of Qt and of the system's iconv modules.

#include <string>
#include <string_view>

namespace bridge {

// Every byte maps to one character; 0x98, unassigned in the code page, maps
// to U+0098 so that any byte string survives a round trip.
std::string ansiToUtf8(std::string_view bytes);
// Characters outside the code page and malformed UTF-8 become "?".
std::string utf8ToAnsi(std::string_view text);

}  // namespace bridge
