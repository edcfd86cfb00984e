#include "upgrade/oledb_connection_string.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <utility>

#include "codec/error.h"

namespace kivo {
namespace {

[[noreturn]] void Fail(std::string description) {
  throw Error(kInvalidArgument, std::move(description));
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) { return Lower(a) == Lower(b); }

bool IsOneOf(std::string_view lowered, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), lowered) != names.end();
}

// The credentials come from the logon alone; these items are dropped wherever they appear.
bool IsCredentialItem(std::string_view lowered) {
  return IsOneOf(
      lowered, {"user id", "uid", "password", "pwd", "integrated security", "trusted_connection"});
}

// Names an item in a complaint, unless its name is no keyword we know: a password with ";" in
// it can make a piece of itself look like an item's name.
std::string ItemLabel(std::string_view name) {
  if (IsOneOf(Lower(Trim(name)), {"provider",
                                  "data source",
                                  "server",
                                  "address",
                                  "addr",
                                  "network address",
                                  "initial catalog",
                                  "database",
                                  "application name",
                                  "workstation id",
                                  "current language",
                                  "initial file name",
                                  "attachdbfilename",
                                  "connect timeout",
                                  "connection timeout",
                                  "encrypt",
                                  "use encryption for data",
                                  "trustservercertificate",
                                  "trust server certificate",
                                  "persist security info",
                                  "user id",
                                  "uid",
                                  "password",
                                  "pwd",
                                  "integrated security",
                                  "trusted_connection",
                                  "driver",
                                  "dsn",
                                  "filedsn",
                                  "port",
                                  "extended properties"})) {
    return "the item \"" + std::string(Trim(name)) + "\"";
  }
  return "an item";
}

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

bool IsFreeTds(std::string_view driver) {
  return QuotingForDriver(driver) == OdbcQuoting::kFreeTds;
}

std::string ChooseDriver(const std::vector<std::string>& installed,
                         std::string_view driverOverride) {
  if (!driverOverride.empty()) return std::string(driverOverride);
  for (const std::string& wanted : PreferredSqlServerDrivers()) {
    for (const std::string& name : installed) {
      if (EqualsIgnoringCase(name, wanted)) return name;
    }
  }
  if (kWindows) {
    Fail(
        "No ODBC driver for SQL Server is installed. Install Microsoft's \"ODBC Driver 18 for SQL "
        "Server\", or name an installed driver in the environment variable KIVO_ODBC_DRIVER.");
  }
  Fail(
      "No ODBC driver for SQL Server is installed. Install FreeTDS (on Debian: apt-get install "
      "tdsodbc) or Microsoft's \"ODBC Driver 18 for SQL Server\", or name an installed driver in "
      "the environment variable KIVO_ODBC_DRIVER.");
}

// OLE DB reads numbers as C does: decimal, "0x" hexadecimal or "0" octal.
int ParseTimeout(std::string_view value, std::string_view name) {
  const std::string text(Trim(value));
  const std::string complaint =
      "In the connection value, " + ItemLabel(name) + " is not a number of seconds.";
  if (text.empty() || !(text[0] >= '0' && text[0] <= '9')) Fail(complaint);
  errno = 0;
  char* end = nullptr;
  const long long seconds = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || seconds > INT_MAX) Fail(complaint);
  return static_cast<int>(seconds);
}

std::string ParseEncrypt(std::string_view value) {
  const std::string v = Lower(Trim(value));
  if (IsOneOf(v, {"yes", "true", "mandatory"})) return "yes";
  if (IsOneOf(v, {"no", "false", "optional"})) return "no";
  if (v == "strict") return "strict";
  Fail("The connection value's item \"Encrypt\" is neither yes, no nor strict.");
}

bool ParseYesNo(std::string_view value, std::string_view name) {
  const std::string v = Lower(Trim(value));
  if (IsOneOf(v, {"yes", "true"})) return true;
  if (IsOneOf(v, {"no", "false"})) return false;
  Fail("In the connection value, " + ItemLabel(name) + " is neither yes nor no.");
}

struct ServerAddress {
  std::string server;
  std::string port;
};

// Data Source is "[tcp:]host[\instance][,port]"; an empty host, "." and "(local)" mean this
// machine. FreeTDS reads "host\instance" but not a port after it; with a port the instance is
// moot anyway, since the port alone picks the listener.
ServerAddress ParseServer(std::string_view value, bool freeTds) {
  std::string_view rest = Trim(value);
  if (rest.size() >= 4 && EqualsIgnoringCase(rest.substr(0, 4), "tcp:")) {
    rest = Trim(rest.substr(4));
  }
  ServerAddress address;
  if (const size_t comma = rest.rfind(','); comma != std::string_view::npos) {
    const std::string_view port = Trim(rest.substr(comma + 1));
    const bool digits =
        !port.empty() && port.size() <= 5 &&
        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoi(std::string(port)) < 1 || std::stoi(std::string(port)) > 65535) {
      Fail("The port in the connection value's server item is not a number from 1 to 65535.");
    }
    address.port = std::string(port);
    rest = Trim(rest.substr(0, comma));
  }
  std::string_view host = rest;
  std::string_view instance;
  if (const size_t slash = rest.find('\\'); slash != std::string_view::npos) {
    host = Trim(rest.substr(0, slash));
    instance = Trim(rest.substr(slash + 1));
  }
  const bool local = host.empty() || host == "." || EqualsIgnoringCase(host, "(local)");
  if (local) {
    // Microsoft's drivers on Windows reach "(local)" through shared memory, which also works
    // where the server listens on no TCP port, as SQL Server Express does by default.
    host = (kWindows && !freeTds && address.port.empty()) ? "(local)" : "localhost";
  }
  address.server = std::string(host);
  if (!instance.empty() && !(freeTds && !address.port.empty())) {
    address.server += '\\';
    address.server += instance;
  }
  return address;
}

enum class ProviderKind { kSqlServer, kOdbc };

ProviderKind ClassifyProvider(std::optional<std::string_view> provider) {
  if (!provider || Trim(*provider).empty()) return ProviderKind::kOdbc;  // ADO's default
  const std::string_view name = Trim(*provider);
  // A ProgID may carry a version: "SQLOLEDB.1".
  const std::string base = Lower(name.substr(0, name.find('.')));
  if (IsOneOf(base,
              {"sqloledb", "sqlncli", "sqlncli10", "sqlncli11", "msoledbsql", "msoledbsql19"})) {
    return ProviderKind::kSqlServer;
  }
  if (base == "msdasql") return ProviderKind::kOdbc;
  Fail("The connection value names the provider \"" + std::string(name) +
       "\". Only SQL Server's providers (SQLOLEDB, SQLNCLI, MSOLEDBSQL) and the provider for "
       "ODBC drivers (MSDASQL) can be used.");
}

ConnectionTarget TranslateForSqlServer(const std::vector<OleDbItem>& items, std::string driver) {
  ConnectionTarget target;
  target.driver = std::move(driver);
  const bool freeTds = IsFreeTds(target.driver);

  // Later items win over earlier ones, as with OLE DB.
  std::string server;
  std::optional<std::string> encrypt;
  std::optional<bool> trustServerCertificate;
  std::vector<std::pair<std::string, std::string>> named;  // APP, WSID, ... in a fixed order
  auto setNamed = [&named](const char* keyword, std::string value) {
    for (auto& item : named) {
      if (item.first == keyword) {
        item.second = std::move(value);
        return;
      }
    }
    named.emplace_back(keyword, std::move(value));
  };
  for (const OleDbItem& item : items) {
    const std::string name = Lower(item.name);
    if (IsOneOf(name, {"data source", "server", "address", "addr", "network address"})) {
      server = item.value;
    } else if (IsOneOf(name, {"initial catalog", "database"})) {
      target.database = item.value;
    } else if (name == "application name") {
      setNamed("APP", item.value);
    } else if (name == "workstation id") {
      setNamed("WSID", item.value);
    } else if (name == "current language") {
      setNamed("Language", item.value);
    } else if (IsOneOf(name, {"initial file name", "attachdbfilename"})) {
      setNamed("AttachDBFileName", item.value);
    } else if (IsOneOf(name, {"connect timeout", "connection timeout"})) {
      target.loginTimeoutSeconds = ParseTimeout(item.value, item.name);
    } else if (IsOneOf(name, {"encrypt", "use encryption for data"})) {
      encrypt = ParseEncrypt(item.value);
    } else if (IsOneOf(name, {"trustservercertificate", "trust server certificate"})) {
      trustServerCertificate = ParseYesNo(item.value, item.name);
    }
    // Everything else (Provider, Persist Security Info, credentials, Packet Size, Auto
    // Translate, ...) means nothing to an ODBC driver.
  }

  const ServerAddress address = ParseServer(server, freeTds);
  target.server = address.server;
  target.port = address.port;
  target.items = std::move(named);
  if (freeTds) {
    // Left alone, FreeTDS asks what the OLE DB provider asks without Encrypt (no encryption of
    // the data); its certificate checks are its own configuration.
    if (encrypt) {
      target.items.emplace_back("Encryption", *encrypt == "yes"  ? "require"
                                              : *encrypt == "no" ? "request"
                                                                 : *encrypt);
    }
    target.items.emplace_back("TDS_Version", "7.4");
  } else {
    // Without it, Driver 18 would insist on encryption and a trusted certificate.
    target.items.emplace_back("Encrypt", encrypt.value_or("no"));
    if (trustServerCertificate) {
      target.items.emplace_back("TrustServerCertificate", *trustServerCertificate ? "yes" : "no");
    }
  }
  return target;
}

// Values that the author wrote in ODBC's brace form ("Driver={SQL Server}") reach us with their
// braces, since OLE DB does not know them; take them back to the plain value.
std::string Unbraced(std::string_view value, OdbcQuoting quoting, std::string_view name) {
  const std::string_view v = Trim(value);
  if (v.size() < 2 || v.front() != '{' || v.back() != '}') return std::string(v);
  const std::string_view inner = v.substr(1, v.size() - 2);
  const std::string complaint = "In the connection value, " + ItemLabel(name) +
                                " has braces that its ODBC driver would not read as one value.";
  if (quoting == OdbcQuoting::kFreeTds) return std::string(inner);
  std::string out;
  for (size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '}') {
      if (quoting == OdbcQuoting::kUnknownDriver || i + 1 >= inner.size() || inner[i + 1] != '}') {
        Fail(complaint);
      }
      ++i;
    }
    out += inner[i];
  }
  return out;
}

bool IsDriverManagerItem(std::string_view lowered) {
  return IsOneOf(lowered, {"driver", "dsn", "filedsn"});
}

std::string PassThroughDriver(const ConnectionTarget& target) {
  for (const auto& [name, value] : target.items) {
    if (EqualsIgnoringCase(name, "driver")) return value;
  }
  return {};
}

ConnectionTarget TranslatePassThrough(const std::vector<OleDbItem>& items) {
  ConnectionTarget target;
  target.passThrough = true;
  std::string driver;
  for (const OleDbItem& item : items) {
    if (EqualsIgnoringCase(item.name, "driver")) {
      driver = Unbraced(item.value, OdbcQuoting::kStandard, item.name);
    }
  }
  const OdbcQuoting quoting =
      driver.empty() ? OdbcQuoting::kUnknownDriver : QuotingForDriver(driver);

  std::vector<std::pair<std::string, std::string>> managerItems;
  std::vector<std::pair<std::string, std::string>> driverItems;
  for (const OleDbItem& item : items) {
    std::string name = Lower(item.name);
    if (IsCredentialItem(name) || IsOneOf(name, {"provider", "persist security info"})) continue;
    if (IsOneOf(name, {"connect timeout", "connection timeout"})) {
      target.loginTimeoutSeconds = ParseTimeout(item.value, item.name);
      continue;
    }
    // The provider for ODBC drivers gives these two OLE DB names their ODBC meaning.
    std::string keyword = item.name;
    if (name == "data source") {
      keyword = "DSN";
      name = "dsn";
    } else if (name == "initial catalog") {
      keyword = "DATABASE";
      name = "database";
    }
    if (keyword.find_first_of("=;{}") != std::string::npos ||
        keyword.find('\0') != std::string::npos) {
      Fail(
          "The connection value has an item name that cannot be written in an ODBC connection "
          "string.");
    }
    auto& list = IsDriverManagerItem(name) ? managerItems : driverItems;
    // Later items win over earlier ones, as with OLE DB.
    auto same = std::find_if(list.begin(), list.end(),
                             [&name](const auto& kv) { return Lower(kv.first) == name; });
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

[[noreturn]] void FailNul(std::string_view what) {
  Fail(std::string(what) + " holds a NUL character, which a connection string cannot carry.");
}

std::string Braced(std::string_view value, OdbcQuoting quoting, std::string_view what) {
  if (value.find('\0') != std::string_view::npos) FailNul(what);
  switch (quoting) {
    case OdbcQuoting::kStandard: {
      std::string out = "{";
      for (char c : value) {
        out += c;
        if (c == '}') out += '}';
      }
      return out + "}";
    }
    case OdbcQuoting::kFreeTds:
      if (value.find("};") != std::string_view::npos) {
        Fail(std::string(what) +
             " holds \"};\", which the FreeTDS driver cannot read in a connection string. Choose "
             "another, or use Microsoft's ODBC driver (see KIVO_ODBC_DRIVER).");
      }
      break;
    case OdbcQuoting::kUnknownDriver:
      if (value.find('}') != std::string_view::npos) {
        Fail(std::string(what) +
             " holds \"}\" among characters that need braces, which cannot be written safely "
             "for a data source whose driver is not known. Name the driver with Driver=... "
             "instead.");
      }
      break;
  }
  return "{" + std::string(value) + "}";
}

struct WrittenItem {
  std::string keyword;
  std::string text;  // the value as written, braces included
  std::string what;  // names the value in complaints
};

// The items that the driver manager itself acts on: which driver to load, and attributes.
bool IsDriverManagerKeyword(std::string_view lowered) {
  return IsOneOf(lowered,
                 {"driver", "dsn", "filedsn", "savefile", "dmenvattr", "dmconnattr", "dmstmtattr"});
}

// The keywords as unixODBC's driver manager reads them (measured with 2.3.11): braces by the
// ODBC standard ("}}" is "}", any other "}" closes), and the next keyword starts right after the
// closing brace. FreeTDS reads braces otherwise, so a value can look like two items to one and
// one item to the other.
std::vector<std::string> DriverManagerReading(std::string_view s) {
  std::vector<std::string> keywords;
  size_t pos = 0;
  while (pos < s.size()) {
    const size_t equals = s.find('=', pos);
    if (equals == std::string_view::npos) break;
    keywords.push_back(Lower(Trim(s.substr(pos, equals - pos))));
    pos = equals + 1;
    if (pos < s.size() && s[pos] == '{') {
      for (++pos; pos < s.size(); ++pos) {
        if (s[pos] != '}') continue;
        if (pos + 1 < s.size() && s[pos + 1] == '}') {
          ++pos;
          continue;
        }
        ++pos;
        break;
      }
    } else {
      pos = std::min(s.find(';', pos), s.size());
    }
    if (pos < s.size() && s[pos] == ';') ++pos;
  }
  return keywords;
}

// Whether the driver manager takes this written value as one value, ending where it ends.
bool DriverManagerReadsWhole(std::string_view text) {
  if (text.empty() || text.front() != '{') return true;
  for (size_t pos = 1; pos < text.size(); ++pos) {
    if (text[pos] != '}') continue;
    if (pos + 1 < text.size() && text[pos + 1] == '}') {
      ++pos;
      continue;
    }
    return pos + 1 == text.size();
  }
  return false;
}

}  // namespace

std::vector<OleDbItem> ParseOleDbConnectionString(std::string_view text) {
  std::vector<OleDbItem> items;
  size_t pos = 0;
  int number = 0;
  const size_t n = text.size();
  while (pos < n) {
    while (pos < n && IsBlank(text[pos])) ++pos;
    if (pos >= n) break;
    if (text[pos] == ';') {
      ++pos;
      continue;
    }
    ++number;
    // The values may hold a password, so complaints name the item, never its text.
    std::string name;
    while (pos < n && text[pos] != ';') {
      if (text[pos] == '=') {
        if (pos + 1 < n && text[pos + 1] == '=') {
          name += '=';
          pos += 2;
          continue;
        }
        break;
      }
      name += text[pos++];
    }
    if (pos >= n || text[pos] != '=') {
      Fail("Item " + std::to_string(number) + " of the connection value has no \"=\".");
    }
    ++pos;
    OleDbItem item;
    item.name = std::string(Trim(name));
    if (item.name.empty()) {
      Fail("Item " + std::to_string(number) + " of the connection value has no name.");
    }
    while (pos < n && IsBlank(text[pos])) ++pos;
    if (pos < n && (text[pos] == '"' || text[pos] == '\'')) {
      const char quote = text[pos++];
      bool closed = false;
      while (pos < n) {
        if (text[pos] == quote) {
          if (pos + 1 < n && text[pos + 1] == quote) {
            item.value += quote;
            pos += 2;
            continue;
          }
          ++pos;
          closed = true;
          break;
        }
        item.value += text[pos++];
      }
      if (!closed) {
        Fail("In the connection value, the value of " + ItemLabel(item.name) +
             " has an opening quote without its closing quote.");
      }
      while (pos < n && IsBlank(text[pos])) ++pos;
      if (pos < n && text[pos] != ';') {
        Fail("In the connection value, the value of " + ItemLabel(item.name) +
             " has text after its closing quote.");
      }
    } else {
      const size_t end = std::min(text.find(';', pos), n);
      item.value = std::string(Trim(text.substr(pos, end - pos)));
      pos = end;
    }
    if (pos < n) ++pos;  // the ';'
    items.push_back(std::move(item));
  }
  return items;
}

OdbcQuoting QuotingForDriver(std::string_view driver) {
  const std::string name = Lower(Trim(driver));
  if (name.find("freetds") != std::string::npos || name.find("libtdsodbc") != std::string::npos) {
    return OdbcQuoting::kFreeTds;
  }
  return OdbcQuoting::kStandard;
}

std::string QuoteOdbcValue(std::string_view value, OdbcQuoting quoting, std::string_view what) {
  const bool needsBraces = value.find_first_of(";{}=") != std::string_view::npos ||
                           (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back())));
  if (!needsBraces) {
    if (value.find('\0') != std::string_view::npos) FailNul(what);
    return std::string(value);
  }
  return Braced(value, quoting, what);
}

const std::vector<std::string>& PreferredSqlServerDrivers() {
  static const std::vector<std::string> drivers = {
      "ODBC Driver 18 for SQL Server", "ODBC Driver 17 for SQL Server", "FreeTDS", "SQL Server"};
  return drivers;
}

ConnectionTarget TranslateConnection(std::string_view prefix, const Logon& logon,
                                     const std::vector<std::string>& installedDrivers,
                                     std::string_view driverOverride) {
  const std::vector<OleDbItem> items = ParseOleDbConnectionString(prefix);
  std::optional<std::string_view> provider;
  for (const OleDbItem& item : items) {
    // Unlike other items, the first Provider counts.
    if (EqualsIgnoringCase(item.name, "provider")) {
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

std::string BuildOdbcConnectionString(const ConnectionTarget& target) {
  const std::string driver = target.passThrough ? PassThroughDriver(target) : target.driver;
  const OdbcQuoting quoting = (target.passThrough && driver.empty()) ? OdbcQuoting::kUnknownDriver
                                                                     : QuotingForDriver(driver);
  std::vector<WrittenItem> written;
  auto add = [&written, quoting](std::string keyword, std::string_view value, std::string what) {
    std::string text = QuoteOdbcValue(value, quoting, what);
    written.push_back({std::move(keyword), std::move(text), std::move(what)});
  };
  auto addBraced = [&written, quoting](std::string keyword, std::string_view value,
                                       std::string what) {
    std::string text = Braced(value, quoting, what);
    written.push_back({std::move(keyword), std::move(text), std::move(what)});
  };
  if (target.passThrough) {
    for (const auto& [keyword, value] : target.items) {
      std::string what = "The value of " + ItemLabel(keyword);
      if (EqualsIgnoringCase(keyword, "driver")) {
        addBraced(keyword, value, std::move(what));  // as driver names are customarily written
      } else {
        add(keyword, value, std::move(what));
      }
    }
  } else {
    if (target.driver.empty()) Fail("No ODBC driver was chosen for the connection.");
    addBraced("DRIVER", target.driver, "The driver name");
    if (quoting == OdbcQuoting::kFreeTds) {
      add("SERVER", target.server, "The server name");
      if (!target.port.empty()) add("PORT", target.port, "The port");
    } else {
      add("SERVER", target.port.empty() ? target.server : target.server + "," + target.port,
          "The server name");
    }
    if (!target.database.empty()) add("DATABASE", target.database, "The database name");
  }
  if (target.logon.mode == LogonMode::kSqlLogin) {
    if (target.logon.login.empty() && quoting == OdbcQuoting::kFreeTds) {
      Fail("The SQL login is empty. FreeTDS would take that for a Windows (Kerberos) logon.");
    }
    add("UID", target.logon.login, "The SQL login");
    add("PWD", target.logon.password, "The password");
  } else {
    add("Trusted_Connection", "Yes", "Trusted_Connection");
  }
  if (!target.passThrough) {
    for (const auto& [keyword, value] : target.items) {
      add(keyword, value, "The value of \"" + keyword + "\"");
    }
  }

  std::string out;
  std::vector<std::string> intended;
  for (const WrittenItem& item : written) {
    out += item.keyword + "=" + item.text + ";";  // FreeTDS keeps the closing brace at the end
    if (IsDriverManagerKeyword(Lower(item.keyword))) intended.push_back(Lower(item.keyword));
  }
  std::vector<std::string> seen;
  for (const std::string& keyword : DriverManagerReading(out)) {
    if (IsDriverManagerKeyword(keyword)) seen.push_back(keyword);
  }
  if (seen != intended) {
    for (const WrittenItem& item : written) {
      if (!DriverManagerReadsWhole(item.text)) {
        Fail(item.what +
             " holds \"}\" followed by text that the ODBC driver manager would read as an item "
             "of its own, since it reads braces unlike FreeTDS. Choose another, or use "
             "Microsoft's ODBC driver (see KIVO_ODBC_DRIVER).");
      }
    }
    Fail("The connection string would not be read by the ODBC driver manager as intended.");
  }
  return out;
}

std::string MaskedOdbcConnectionString(const ConnectionTarget& target) {
  ConnectionTarget masked = target;
  if (masked.logon.mode == LogonMode::kSqlLogin) masked.logon.password = "****";
  return BuildOdbcConnectionString(masked);
}

}  // namespace kivo
