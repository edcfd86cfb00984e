#include "upgrade/connection/connection_translation.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <utility>

#include "base/ascii.h"
#include "base/error.h"
#include "upgrade/connection/connection_keywords.h"
#include "upgrade/connection/odbc_connection_string.h"
#include "upgrade/connection/oledb_connection_string.h"
#include "upgrade/connection/sql_server_drivers.h"

namespace kivo {
namespace {

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

std::string ChooseDriver(const std::vector<std::string>& installed,
                         std::string_view driverOverride) {
  if (!driverOverride.empty()) return std::string(driverOverride);
  for (const SqlServerDriver& wanted : SqlServerDrivers()) {
    for (const std::string& name : installed) {
      if (EqualsIgnoringAsciiCase(name, wanted.name)) return name;
    }
  }
  if (kWindows) {
    ThrowInvalidArgument(
        "No ODBC driver for SQL Server is installed. Install Microsoft's \"ODBC Driver 18 for SQL "
        "Server\", or name an installed driver in the environment variable KIVO_ODBC_DRIVER.");
  }
  ThrowInvalidArgument(
      "No ODBC driver for SQL Server is installed. Install FreeTDS (on Debian: apt-get install "
      "tdsodbc) or Microsoft's \"ODBC Driver 18 for SQL Server\", or name an installed driver in "
      "the environment variable KIVO_ODBC_DRIVER.");
}

// OLE DB reads numbers as C does: decimal, "0x" hexadecimal or "0" octal.
int ParseTimeout(std::string_view value, std::string_view name) {
  const std::string text(TrimAscii(value));
  const std::string complaint =
      "In the connection value, " + ItemLabel(name) + " is not a number of seconds.";
  if (text.empty() || !(text[0] >= '0' && text[0] <= '9')) ThrowInvalidArgument(complaint);
  errno = 0;
  char* end = nullptr;
  const long long seconds = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || seconds > INT_MAX) ThrowInvalidArgument(complaint);
  return static_cast<int>(seconds);
}

std::string ParseEncrypt(std::string_view value) {
  const std::string v = LowerAscii(TrimAscii(value));
  if (IsOneOf(v, {"yes", "true", "mandatory"})) return "yes";
  if (IsOneOf(v, {"no", "false", "optional"})) return "no";
  if (v == "strict") return "strict";
  ThrowInvalidArgument("The connection value's item \"Encrypt\" is neither yes, no nor strict.");
}

bool ParseYesNo(std::string_view value, std::string_view name) {
  const std::string v = LowerAscii(TrimAscii(value));
  if (IsOneOf(v, {"yes", "true"})) return true;
  if (IsOneOf(v, {"no", "false"})) return false;
  ThrowInvalidArgument("In the connection value, " + ItemLabel(name) + " is neither yes nor no.");
}

struct ServerAddress {
  std::string server;
  std::string port;
};

// Data Source is "[tcp:]host[\instance][,port]"; an empty host, "." and "(local)" mean this
// machine.
ServerAddress ParseServer(std::string_view value, const SqlServerDriver& driver) {
  std::string_view rest = TrimAscii(value);
  if (rest.size() >= 4 && EqualsIgnoringAsciiCase(rest.substr(0, 4), "tcp:")) {
    rest = TrimAscii(rest.substr(4));
  }
  ServerAddress address;
  if (const size_t comma = rest.rfind(','); comma != std::string_view::npos) {
    const std::string_view port = TrimAscii(rest.substr(comma + 1));
    const bool digits =
        !port.empty() && port.size() <= 5 &&
        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoi(std::string(port)) < 1 || std::stoi(std::string(port)) > 65535) {
      ThrowInvalidArgument(
          "The port in the connection value's server item is not a number from 1 to 65535.");
    }
    address.port = std::string(port);
    rest = TrimAscii(rest.substr(0, comma));
  }
  std::string_view host = rest;
  std::string_view instance;
  if (const size_t slash = rest.find('\\'); slash != std::string_view::npos) {
    host = TrimAscii(rest.substr(0, slash));
    instance = TrimAscii(rest.substr(slash + 1));
  }
  const bool local = host.empty() || host == "." || EqualsIgnoringAsciiCase(host, "(local)");
  if (local) {
    host = (kWindows && driver.sharedMemory && address.port.empty()) ? "(local)" : "localhost";
  }
  address.server = std::string(host);
  if (!instance.empty() && (driver.instanceWithPort || address.port.empty())) {
    address.server += '\\';
    address.server += instance;
  }
  return address;
}

enum class ProviderKind { kSqlServer, kOdbc };

ProviderKind ClassifyProvider(std::optional<std::string_view> provider) {
  if (!provider || TrimAscii(*provider).empty()) return ProviderKind::kOdbc;  // ADO's default
  const std::string_view name = TrimAscii(*provider);
  // A ProgID may carry a version: "SQLOLEDB.1".
  const std::string base = LowerAscii(name.substr(0, name.find('.')));
  if (IsOneOf(base,
              {"sqloledb", "sqlncli", "sqlncli10", "sqlncli11", "msoledbsql", "msoledbsql19"})) {
    return ProviderKind::kSqlServer;
  }
  if (base == "msdasql") return ProviderKind::kOdbc;
  ThrowInvalidArgument(
      "The connection value names the provider \"" + std::string(name) +
      "\". Only SQL Server's providers (SQLOLEDB, SQLNCLI, MSOLEDBSQL) and the provider for "
      "ODBC drivers (MSDASQL) can be used.");
}

ConnectionTarget TranslateForSqlServer(const std::vector<OleDbItem>& items, std::string driver) {
  ConnectionTarget target;
  target.driver = std::move(driver);
  const SqlServerDriver& rules = SqlServerDriverFor(target.driver);

  // Later items win over earlier ones, as with OLE DB.
  std::string server;
  std::optional<std::string> encrypt;
  std::optional<bool> trustServerCertificate;
  std::vector<std::pair<std::string, std::string>> named;  // APP, WSID, ... in a fixed order
  auto setNamed = [&named](std::string_view keyword, std::string value) {
    for (auto& item : named) {
      if (item.first == keyword) {
        item.second = std::move(value);
        return;
      }
    }
    named.emplace_back(keyword, std::move(value));
  };
  for (const OleDbItem& item : items) {
    const ConnectionKeyword* keyword = FindConnectionKeyword(item.name);
    // Everything else (Provider, Persist Security Info, credentials, Packet Size, Auto
    // Translate, ...) means nothing to an ODBC driver.
    switch (keyword ? keyword->meaning : KeywordMeaning::kOther) {
      case KeywordMeaning::kServer:
        server = item.value;
        break;
      case KeywordMeaning::kDatabase:
        target.database = item.value;
        break;
      case KeywordMeaning::kDriverAttribute:
        setNamed(keyword->sqlServerKeyword, item.value);
        break;
      case KeywordMeaning::kConnectTimeout:
        target.loginTimeoutSeconds = ParseTimeout(item.value, item.name);
        break;
      case KeywordMeaning::kEncrypt:
        encrypt = ParseEncrypt(item.value);
        break;
      case KeywordMeaning::kTrustServerCertificate:
        trustServerCertificate = ParseYesNo(item.value, item.name);
        break;
      default:
        break;
    }
  }

  const ServerAddress address = ParseServer(server, rules);
  target.server = address.server;
  target.port = address.port;
  target.items = std::move(named);
  const std::string_view encryptValue = !encrypt            ? rules.encryptUnset
                                        : *encrypt == "yes" ? rules.encryptYes
                                        : *encrypt == "no"  ? rules.encryptNo
                                                            : rules.encryptStrict;
  if (!encryptValue.empty()) {
    target.items.emplace_back(rules.encryptKeyword, encryptValue);
  }
  if (trustServerCertificate && rules.takesTrustServerCertificate) {
    target.items.emplace_back("TrustServerCertificate", *trustServerCertificate ? "yes" : "no");
  }
  if (!rules.tdsVersion.empty()) target.items.emplace_back("TDS_Version", rules.tdsVersion);
  return target;
}

// Values that the author wrote in ODBC's brace form ("Driver={SQL Server}") reach us with their
// braces, since OLE DB does not know them; take them back to the plain value.
std::string Unbraced(std::string_view value, OdbcQuoting quoting, std::string_view name) {
  const std::string_view v = TrimAscii(value);
  if (v.size() < 2 || v.front() != '{' || v.back() != '}') return std::string(v);
  const std::string_view inner = v.substr(1, v.size() - 2);
  const std::string complaint = "In the connection value, " + ItemLabel(name) +
                                " has braces that its ODBC driver would not read as one value.";
  if (quoting == OdbcQuoting::kFreeTds) return std::string(inner);
  if (QuotedValueEnd(v, 0) != v.size() ||
      (quoting == OdbcQuoting::kUnknownDriver && inner.find('}') != std::string_view::npos)) {
    ThrowInvalidArgument(complaint);
  }
  std::string out;
  for (size_t i = 0; i < inner.size(); ++i) {
    out += inner[i];
    if (inner[i] == '}') ++i;  // doubled
  }
  return out;
}

ConnectionTarget TranslatePassThrough(const std::vector<OleDbItem>& items) {
  ConnectionTarget target;
  target.passThrough = true;
  std::string driver;
  for (const OleDbItem& item : items) {
    if (EqualsIgnoringAsciiCase(item.name, "driver")) {
      driver = Unbraced(item.value, OdbcQuoting::kStandard, item.name);
    }
  }
  const OdbcQuoting quoting =
      driver.empty() ? OdbcQuoting::kUnknownDriver : QuotingForDriver(driver);

  std::vector<std::pair<std::string, std::string>> managerItems;
  std::vector<std::pair<std::string, std::string>> driverItems;
  for (const OleDbItem& item : items) {
    const ConnectionKeyword* known = FindConnectionKeyword(item.name);
    const KeywordMeaning meaning = known ? known->meaning : KeywordMeaning::kOther;
    if (meaning == KeywordMeaning::kCredential || meaning == KeywordMeaning::kProvider ||
        meaning == KeywordMeaning::kOleDbOnly) {
      continue;
    }
    if (meaning == KeywordMeaning::kConnectTimeout) {
      target.loginTimeoutSeconds = ParseTimeout(item.value, item.name);
      continue;
    }
    // The provider for ODBC drivers gives Data Source and Initial Catalog their ODBC meaning.
    std::string keyword = (known && !known->passThroughKeyword.empty())
                              ? std::string(known->passThroughKeyword)
                              : item.name;
    const std::string name = LowerAscii(keyword);
    if (keyword.find_first_of("=;{}") != std::string::npos ||
        keyword.find('\0') != std::string::npos) {
      ThrowInvalidArgument(
          "The connection value has an item name that cannot be written in an ODBC connection "
          "string.");
    }
    const ConnectionKeyword* written = FindConnectionKeyword(name);
    const bool manager = written && written->meaning == KeywordMeaning::kDriverManager;
    auto& list = manager ? managerItems : driverItems;
    // Later items win over earlier ones, as with OLE DB.
    auto same = std::find_if(list.begin(), list.end(),
                             [&name](const auto& kv) { return LowerAscii(kv.first) == name; });
    std::string value = Unbraced(item.value, quoting, item.name);
    if (same != list.end()) {
      same->second = std::move(value);
    } else {
      list.emplace_back(std::move(keyword), std::move(value));
    }
  }
  // The driver manager picks the driver from the first items, before any value it might
  // misread.
  target.items = std::move(managerItems);
  target.items.insert(target.items.end(), driverItems.begin(), driverItems.end());
  return target;
}

}  // namespace

ConnectionTarget TranslateConnection(std::string_view prefix, const Logon& logon,
                                     const std::vector<std::string>& installedDrivers,
                                     std::string_view driverOverride) {
  const std::vector<OleDbItem> items = ParseOleDbConnectionString(prefix);
  std::optional<std::string_view> provider;
  for (const OleDbItem& item : items) {
    // Unlike other items, the first Provider counts.
    if (const ConnectionKeyword* keyword = FindConnectionKeyword(item.name);
        keyword && keyword->meaning == KeywordMeaning::kProvider) {
      provider = item.value;
      break;
    }
  }
  ConnectionTarget target =
      ClassifyProvider(provider) == ProviderKind::kSqlServer
          ? TranslateForSqlServer(items, ChooseDriver(installedDrivers, driverOverride))
          : TranslatePassThrough(items);
  target.logon = logon;
  // Refuse here, not only when connecting, whatever the chosen driver cannot carry.
  BuildOdbcConnectionString(target);
  return target;
}

namespace {

// The rules of the driver the target names; none for a DSN alone.
const SqlServerDriver* DriverRulesOf(const ConnectionTarget& target) {
  if (!target.passThrough) return &SqlServerDriverFor(target.driver);
  auto named = std::find_if(target.items.begin(), target.items.end(), [](const auto& item) {
    return EqualsIgnoringAsciiCase(item.first, "driver");
  });
  return named == target.items.end() ? nullptr : &SqlServerDriverFor(named->second);
}

}  // namespace

void RequireEncryption(ConnectionTarget& target) {
  const SqlServerDriver* rules = DriverRulesOf(target);
  if (!rules) {
    ThrowInvalidArgument(
        "Encryption cannot be required of a connection value that names no ODBC driver: name "
        "the driver in the connection value, or require encryption in the DSN's settings.");
  }
  bool given = false;
  for (auto& [keyword, value] : target.items) {
    if (!EqualsIgnoringAsciiCase(keyword, rules->encryptKeyword)) continue;
    given = true;
    if (!EqualsIgnoringAsciiCase(TrimAscii(value), rules->encryptStrict)) {
      value = rules->encryptYes;
    }
  }
  if (!given) target.items.emplace_back(rules->encryptKeyword, rules->encryptYes);
}

bool RequiresEncryption(const ConnectionTarget& target) {
  const SqlServerDriver* rules = DriverRulesOf(target);
  return rules && std::any_of(target.items.begin(), target.items.end(), [rules](const auto& kv) {
           const std::string_view value = TrimAscii(kv.second);
           return EqualsIgnoringAsciiCase(kv.first, rules->encryptKeyword) &&
                  (EqualsIgnoringAsciiCase(value, rules->encryptYes) ||
                   EqualsIgnoringAsciiCase(value, rules->encryptStrict));
         });
}

}  // namespace kivo
