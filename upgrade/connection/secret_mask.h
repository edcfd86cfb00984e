#pragma once

#include <string>
#include <string_view>

namespace kivo {

inline constexpr std::string_view kMaskedSecret = "****";

// The OLE DB connection string with the value of every Password or PWD item (any letter case)
// replaced by kMaskedSecret, read by the same parser that reads it for connecting, so that what
// it takes for a password is what is hidden, quotes and all. A value that holds a password item
// of its own (a nested connection string) is hidden whole. Where the parser gives up, everything
// from there on is hidden, as nobody can say what part of it is a password, unless the text
// holds nothing written like a password item (a text that is no connection string at all).
std::string MaskPasswords(std::string_view connectionString);

// Whether a value holds something written like a password item ("pwd=", "Password =", any
// letter case), which a reader of that value as a connection string would take for one.
bool MentionsPasswordItem(std::string_view value);

}  // namespace kivo
