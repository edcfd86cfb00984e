#include "cli/json_report.h"

#include <cstdio>

namespace kivo::cli {
namespace {

const char* EndName(RunEnd end) {
  switch (end) {
    case RunEnd::kNotStarted:
      return "not started";
    case RunEnd::kPrepared:
      return "prepared";
    case RunEnd::kRefused:
      return "refused";
    case RunEnd::kSucceeded:
      return "succeeded";
    case RunEnd::kFailed:
      return "failed";
  }
  return "unknown";
}

class Json {
 public:
  Json& raw(std::string_view s) {
    out_ += s;
    return *this;
  }
  Json& key(std::string_view k) {
    comma();
    out_ += JsonString(k);
    out_ += ": ";
    fresh_ = true;
    return *this;
  }
  Json& value(std::string_view s) {
    comma();
    out_ += JsonString(s);
    return *this;
  }
  Json& number(long long n) {
    comma();
    out_ += std::to_string(n);
    return *this;
  }
  Json& boolean(bool b) {
    comma();
    out_ += b ? "true" : "false";
    return *this;
  }
  Json& null() {
    comma();
    out_ += "null";
    return *this;
  }
  Json& open(char bracket) {
    comma();
    out_ += bracket;
    fresh_ = true;
    return *this;
  }
  Json& close(char bracket) {
    out_ += bracket;
    fresh_ = false;
    return *this;
  }
  Json& strings(const std::vector<std::string>& list) {
    open('[');
    for (const auto& s : list) value(s);
    return close(']');
  }
  Json& error(const std::optional<Error>& e) {
    if (!e) return null();
    open('{');
    key("number").number(e->number());
    key("description").value(e->description());
    return close('}');
  }
  Json& outcome(const BatchOutcome& o) {
    key("statements").open('[');
    for (const auto& s : o.statements) {
      open('{');
      key("text").value(s.text);
      key("succeeded").boolean(s.succeeded);
      key("messages").open('[');
      for (const auto& d : s.diagnostics) {
        open('{');
        key("sqlState").value(d.sqlState);
        key("nativeError").number(d.nativeError);
        key("message").value(d.message);
        close('}');
      }
      close(']');
      close('}');
    }
    close(']');
    return key("error").error(o.error);
  }
  std::string str() const { return out_; }

 private:
  void comma() {
    if (!fresh_ && !out_.empty() && out_.back() != '[' && out_.back() != '{') out_ += ", ";
    fresh_ = false;
  }
  std::string out_;
  bool fresh_ = true;
};

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (u < 0x20 || u == 0x7F) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
          out += buffer;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string JsonReport(const RunReport& report, const RunTranscript& transcript) {
  Json j;
  j.open('{');
  j.key("verdict").value(EndName(report.end));
  j.key("exitStatus").number(transcript.exitStatus);
  j.key("computer").value(transcript.computer);
  j.key("webDirectory").value(transcript.webDirectory);
  j.key("connection");
  if (report.target) {
    const ConnectionTarget& t = *report.target;
    j.open('{');
    j.key("driver").value(t.driver);
    j.key("server").value(t.server);
    j.key("port").value(t.port);
    j.key("database").value(t.database);
    j.key("logonMode").value(t.logon.mode == LogonMode::kSqlLogin ? "sql" : "windows");
    j.key("login").value(t.logon.login);
    j.key("connectionString").value(report.displayConnectionString);
    j.close('}');
  } else {
    j.null();
  }
  j.key("statusLines").strings(transcript.statusLines);
  j.key("messages").strings(transcript.messages);
  j.key("batches").open('[');
  for (const BatchReport& b : report.batches) {
    j.open('{');
    j.key("number").number(b.number);
    j.key("text").value(b.text);
    j.key("outcome").value(ClassificationName(b.classification));
    j.outcome(b.outcome);
    j.key("history");
    if (b.history) {
      j.open('{');
      j.key("statement").value(b.history->statement);
      j.outcome(b.history->outcome);
      j.close('}');
    } else {
      j.null();
    }
    j.close('}');
  }
  j.close(']');
  j.key("openErrors").open('[');
  for (const Diagnostic& d : report.openErrors) {
    j.open('{');
    j.key("sqlState").value(d.sqlState);
    j.key("nativeError").number(d.nativeError);
    j.key("message").value(d.message);
    j.close('}');
  }
  j.close(']');
  j.key("failure").error(report.failure);
  j.close('}');
  return j.str() + "\n";
}

}  // namespace kivo::cli
