#pragma once

#include <string>
#include <string_view>

namespace kivo {

inline constexpr std::string_view kMaskedSecret = "****";

// The connection string with the value of every Password or PWD item (any letter case)
// replaced by kMaskedSecret. Quoted values ("...", '...', {...}) are masked whole, so a
// quoted ";" cannot leave part of a password in view; after an unbalanced quote the rest of
// the text is masked.
std::string MaskPasswords(std::string_view connectionString);

}  // namespace kivo
