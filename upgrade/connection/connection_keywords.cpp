#include "upgrade/connection/connection_keywords.h"

#include <array>

#include "base/ascii.h"

namespace kivo {
namespace {

using enum KeywordMeaning;

constexpr std::array kKeywords = {
    ConnectionKeyword{"provider", kProvider, {}, {}},
    ConnectionKeyword{"data source", kServer, {}, "DSN"},
    ConnectionKeyword{"server", kServer, {}, {}},
    ConnectionKeyword{"address", kServer, {}, {}},
    ConnectionKeyword{"addr", kServer, {}, {}},
    ConnectionKeyword{"network address", kServer, {}, {}},
    ConnectionKeyword{"initial catalog", kDatabase, {}, "DATABASE"},
    ConnectionKeyword{"database", kDatabase, {}, {}},
    ConnectionKeyword{"application name", kDriverAttribute, "APP", {}},
    ConnectionKeyword{"workstation id", kDriverAttribute, "WSID", {}},
    ConnectionKeyword{"current language", kDriverAttribute, "Language", {}},
    ConnectionKeyword{"initial file name", kDriverAttribute, "AttachDBFileName", {}},
    ConnectionKeyword{"attachdbfilename", kDriverAttribute, "AttachDBFileName", {}},
    ConnectionKeyword{"connect timeout", kConnectTimeout, {}, {}},
    ConnectionKeyword{"connection timeout", kConnectTimeout, {}, {}},
    ConnectionKeyword{"encrypt", kEncrypt, {}, {}},
    ConnectionKeyword{"use encryption for data", kEncrypt, {}, {}},
    ConnectionKeyword{"trustservercertificate", kTrustServerCertificate, {}, {}},
    ConnectionKeyword{"trust server certificate", kTrustServerCertificate, {}, {}},
    ConnectionKeyword{"persist security info", kOleDbOnly, {}, {}},
    ConnectionKeyword{"user id", kCredential, {}, {}},
    ConnectionKeyword{"uid", kCredential, {}, {}},
    ConnectionKeyword{"password", kCredential, {}, {}},
    ConnectionKeyword{"pwd", kCredential, {}, {}},
    ConnectionKeyword{"integrated security", kCredential, {}, {}},
    ConnectionKeyword{"trusted_connection", kCredential, {}, {}},
    ConnectionKeyword{"driver", kDriverManager, {}, {}},
    ConnectionKeyword{"dsn", kDriverManager, {}, {}},
    ConnectionKeyword{"filedsn", kDriverManager, {}, {}},
    ConnectionKeyword{"port", kOther, {}, {}},
    ConnectionKeyword{"extended properties", kOther, {}, {}},
};

}  // namespace

const ConnectionKeyword* FindConnectionKeyword(std::string_view name) {
  const std::string lowered = LowerAscii(TrimAscii(name));
  for (const ConnectionKeyword& keyword : kKeywords) {
    if (keyword.name == lowered) return &keyword;
  }
  return nullptr;
}

std::string ItemLabel(std::string_view name) {
  if (FindConnectionKeyword(name) == nullptr) return "an item";
  return "the item \"" + std::string(TrimAscii(name)) + "\"";
}

}  // namespace kivo
