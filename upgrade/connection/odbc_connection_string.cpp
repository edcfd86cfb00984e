#include "upgrade/connection/odbc_connection_string.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/ascii.h"
#include "base/error.h"
#include "upgrade/connection/connection_keywords.h"
#include "upgrade/connection/secret_mask.h"

namespace kivo {
namespace {

[[noreturn]] void FailNul(std::string_view what) {
  ThrowInvalidArgument(std::string(what) +
                       " holds a NUL character, which a connection string cannot carry.");
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
        ThrowInvalidArgument(
            std::string(what) +
            " holds \"};\", which the FreeTDS driver cannot read in a connection string. Choose "
            "another, or use Microsoft's ODBC driver (see KIVO_ODBC_DRIVER).");
      }
      break;
    case OdbcQuoting::kUnknownDriver:
      if (value.find('}') != std::string_view::npos) {
        ThrowInvalidArgument(
            std::string(what) +
            " holds \"}\" among characters that need braces, which cannot be written safely "
            "for a data source whose driver is not known. Name the driver with Driver=... "
            "instead.");
      }
      break;
  }
  // Appended piecewise: "{" + std::string(value) trips GCC 12's false -Wrestrict (MinGW).
  std::string out;
  out.reserve(value.size() + 2);
  out += '{';
  out += value;
  out += '}';
  return out;
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
    keywords.push_back(LowerAscii(TrimAscii(s.substr(pos, equals - pos))));
    pos = equals + 1;
    if (pos < s.size() && s[pos] == '{') {
      pos = std::min(QuotedValueEnd(s, pos), s.size());
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
  return QuotedValueEnd(text, 0) == text.size();
}

std::string PassThroughDriver(const ConnectionTarget& target) {
  for (const auto& [name, value] : target.items) {
    if (EqualsIgnoringAsciiCase(name, "driver")) return value;
  }
  return {};
}

}  // namespace

std::size_t QuotedValueEnd(std::string_view text, std::size_t open) {
  const char close = text[open] == '{' ? '}' : text[open];
  for (std::size_t pos = open + 1; pos < text.size(); ++pos) {
    if (text[pos] != close) continue;
    if (pos + 1 < text.size() && text[pos + 1] == close) {
      ++pos;  // doubled: part of the value
      continue;
    }
    return pos + 1;
  }
  return std::string_view::npos;
}

OdbcQuoting QuotingForDriver(std::string_view driver) { return SqlServerDriverFor(driver).quoting; }

std::string QuoteOdbcValue(std::string_view value, OdbcQuoting quoting, std::string_view what) {
  const bool needsBraces = value.find_first_of(";{}=") != std::string_view::npos ||
                           (!value.empty() && TrimAscii(value).size() != value.size());
  if (!needsBraces) {
    if (value.find('\0') != std::string_view::npos) FailNul(what);
    return std::string(value);
  }
  return Braced(value, quoting, what);
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
      if (EqualsIgnoringAsciiCase(keyword, "driver")) {
        addBraced(keyword, value, std::move(what));  // as driver names are customarily written
      } else {
        add(keyword, value, std::move(what));
      }
    }
  } else {
    if (target.driver.empty())
      ThrowInvalidArgument("No ODBC driver was chosen for the connection.");
    addBraced("DRIVER", target.driver, "The driver name");
    if (SqlServerDriverFor(target.driver).separatePort) {
      add("SERVER", target.server, "The server name");
      if (!target.port.empty()) add("PORT", target.port, "The port");
    } else {
      add("SERVER", target.port.empty() ? target.server : target.server + "," + target.port,
          "The server name");
    }
    if (!target.database.empty()) add("DATABASE", target.database, "The database name");
  }
  if (target.logon.mode == LogonMode::kSqlLogin) {
    if (target.logon.login.empty() && SqlServerDriverFor(driver).emptyLoginMeansKerberos) {
      ThrowInvalidArgument(
          "The SQL login is empty. FreeTDS would take that for a Windows (Kerberos) logon.");
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
    if (IsDriverManagerKeyword(LowerAscii(item.keyword))) {
      intended.push_back(LowerAscii(item.keyword));
    }
  }
  std::vector<std::string> seen;
  for (const std::string& keyword : DriverManagerReading(out)) {
    if (IsDriverManagerKeyword(keyword)) seen.push_back(keyword);
  }
  if (seen != intended) {
    for (const WrittenItem& item : written) {
      if (!DriverManagerReadsWhole(item.text)) {
        ThrowInvalidArgument(
            item.what +
            " holds \"}\" followed by text that the ODBC driver manager would read as an item "
            "of its own, since it reads braces unlike FreeTDS. Choose another, or use "
            "Microsoft's ODBC driver (see KIVO_ODBC_DRIVER).");
      }
    }
    ThrowInvalidArgument(
        "The connection string would not be read by the ODBC driver manager as intended.");
  }
  return out;
}

std::string MaskedOdbcConnectionString(const ConnectionTarget& target) {
  ConnectionTarget masked = target;
  if (masked.logon.mode == LogonMode::kSqlLogin) masked.logon.password = kMaskedSecret;
  // A value passed through may be a connection string of its own, with a password in it.
  for (auto& item : masked.items) {
    if (MentionsPasswordItem(item.second)) item.second = kMaskedSecret;
  }
  return BuildOdbcConnectionString(masked);
}

}  // namespace kivo
