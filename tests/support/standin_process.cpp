#include "tests/support/standin_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>

#include "base/ascii.h"
#include "tests/support/files.h"
#include "upgrade/connection/connection_translation.h"
#include "upgrade/odbc/odbc_client.h"

#ifndef KIVO_STANDIN_SCRIPT
#error "KIVO_STANDIN_SCRIPT must name tests/tds/standin.py"
#endif
#ifndef KIVO_STANDIN_PYTHON
#define KIVO_STANDIN_PYTHON "/usr/bin/python3"
#endif

extern char** environ;

namespace kivo::testing {

namespace {

namespace fs = std::filesystem;

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("StandIn: cannot write " + path);
}

// Complete lines of the record; a last line without its newline is still
// being written and is left out.
std::vector<std::string> completeLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    const std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) break;
    if (nl > start) lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

bool sameName(const std::string& a, const std::string& b) { return EqualsIgnoringAsciiCase(a, b); }

struct TableName {
  std::string database;  // empty: any
  std::string schema;
  std::string table;
};

TableName splitName(const std::string& qualified) {
  std::vector<std::string> parts;
  std::string cur;
  bool inBracket = false;
  for (std::size_t i = 0; i < qualified.size(); ++i) {
    const char c = qualified[i];
    if (inBracket) {
      if (c == ']' && i + 1 < qualified.size() && qualified[i + 1] == ']') {
        cur += ']';
        ++i;
      } else if (c == ']') {
        inBracket = false;
      } else {
        cur += c;
      }
    } else if (c == '[') {
      inBracket = true;
    } else if (c == '.') {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  TableName n;
  if (parts.size() == 1) {
    n.schema = "dbo";
    n.table = parts[0];
  } else if (parts.size() == 2) {
    n.schema = parts[0];
    n.table = parts[1];
  } else {
    n.database = parts[parts.size() - 3];
    n.schema = parts[parts.size() - 2].empty() ? "dbo" : parts[parts.size() - 2];
    n.table = parts.back();
  }
  return n;
}

using Json = nlohmann::json;

// The member named key of an object, or nullptr when this is not an object or has none.
const Json* member(const Json& value, const char* key) {
  const auto it = value.find(key);
  return it == value.end() ? nullptr : &*it;
}

std::string stringOr(const Json& value, const char* key, const std::string& fallback) {
  const Json* m = member(value, key);
  return m != nullptr && m->is_string() ? m->get<std::string>() : fallback;
}

bool boolOr(const Json& value, const char* key, bool fallback) {
  const Json* m = member(value, key);
  return m != nullptr && m->is_boolean() ? m->get<bool>() : fallback;
}

// The catalog's "databases" array: from the latest record line, else from the scenario.
Json latestDatabases(const std::string& recordPath, const std::string& scenarioPath) {
  const std::vector<std::string> lines = completeLines(ReadFile(recordPath));
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    const Json line = Json::parse(*it);
    if (const Json* catalog = member(line, "catalog")) {
      if (const Json* dbs = member(*catalog, "databases"); dbs != nullptr && dbs->is_array())
        return *dbs;
    }
  }
  const Json scenario = Json::parse(ReadFile(scenarioPath));
  if (const Json* dbs = member(scenario, "databases"); dbs != nullptr && dbs->is_array())
    return *dbs;
  return Json::array();
}

const Json* findTable(const Json& databases, const std::string& qualified) {
  const TableName want = splitName(qualified);
  for (const Json& db : databases) {
    if (!want.database.empty() && !sameName(stringOr(db, "name", ""), want.database)) continue;
    const Json* tables = member(db, "tables");
    if (tables == nullptr || !tables->is_array()) continue;
    for (const Json& t : *tables) {
      if (sameName(stringOr(t, "schema", "dbo"), want.schema) &&
          sameName(stringOr(t, "name", ""), want.table)) {
        return &t;
      }
    }
  }
  return nullptr;
}

const Json* findColumn(const Json& table, const std::string& column) {
  const Json* cols = member(table, "columns");
  if (cols == nullptr || !cols->is_array()) return nullptr;
  for (const Json& c : *cols) {
    if (sameName(stringOr(c, "name", ""), column)) return &c;
  }
  return nullptr;
}

// FreeTDS takes a {value} up to the first "}" before ";" or the end, without
// undoubling; a value holding "};" cannot be written for it.
std::string connectionValue(const std::string& v) {
  const bool plain = v.find_first_of(";{}") == std::string::npos &&
                     (v.empty() || (v.front() != ' ' && v.back() != ' '));
  if (plain) return v;
  if (v.find("};") != std::string::npos) {
    throw std::invalid_argument("StandIn: FreeTDS cannot carry the connection value '" + v + "'");
  }
  return "{" + v + "}";
}

}  // namespace

std::string odbcConnectionString(int port, const std::string& database, const std::string& user,
                                 const std::string& password) {
  return "DRIVER={FreeTDS};SERVER=127.0.0.1;PORT=" + std::to_string(port) +
         ";DATABASE=" + connectionValue(database) + ";UID=" + connectionValue(user) +
         ";PWD=" + connectionValue(password) + ";TDS_Version=7.4";
}

StandIn::StandIn(const std::string& scenarioJson) {
  std::string pattern = (fs::temp_directory_path() / "kivo-standin-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error(std::string("StandIn: mkdtemp failed: ") + std::strerror(errno));
  }
  dir_ = pattern;
  scenarioPath_ = dir_ + "/scenario.json";
  recordPath_ = dir_ + "/record.jsonl";
  stderrPath_ = dir_ + "/stderr.txt";

  try {
    writeFile(scenarioPath_, scenarioJson);
    writeFile(recordPath_, "");

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
      throw std::runtime_error(std::string("StandIn: pipe: ") + std::strerror(errno));
    stdoutFd_ = fds[0];

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    // --verbose: every connection and batch goes to stderr, which serverLog() reads.
    std::vector<std::string> args = {KIVO_STANDIN_PYTHON,
                                     KIVO_STANDIN_SCRIPT,
                                     "--scenario",
                                     scenarioPath_,
                                     "--port",
                                     "0",
                                     "--record",
                                     recordPath_,
                                     "--exit-with-parent",
                                     "--verbose"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, KIVO_STANDIN_PYTHON, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
      pid_ = -1;
      throw std::runtime_error(std::string("StandIn: cannot start " KIVO_STANDIN_PYTHON ": ") +
                               std::strerror(rc));
    }

    // Wait for "PORT <n>\n".
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) throw std::runtime_error("StandIn: no port within 10 s");
      pollfd p{stdoutFd_, POLLIN, 0};
      const int n = poll(&p, 1, static_cast<int>(left));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) continue;
      char buf[256];
      const ssize_t got = read(stdoutFd_, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) throw std::runtime_error("StandIn: the server ended before it listened");
      line.append(buf, static_cast<std::size_t>(got));
    }
    line.resize(line.find('\n'));
    if (line.rfind("PORT ", 0) != 0)
      throw std::runtime_error("StandIn: unexpected first line '" + line + "'");
    port_ = std::atoi(line.c_str() + 5);
    if (port_ <= 0) throw std::runtime_error("StandIn: bad port in '" + line + "'");
  } catch (const std::exception& e) {
    stop();
    std::string log = ReadFile(stderrPath_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
    throw std::runtime_error(std::string(e.what()) +
                             (log.empty() ? "" : "; server stderr:\n" + log));
  }
}

StandIn::~StandIn() {
  stop();
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

void StandIn::stop() noexcept {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    bool reaped = false;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) {
        reaped = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!reaped) {
      kill(pid_, SIGKILL);
      int status = 0;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    pid_ = -1;
  }
  if (stdoutFd_ >= 0) {
    close(stdoutFd_);
    stdoutFd_ = -1;
  }
}

ConnectionTarget StandInTarget(int port, const std::string& login, const std::string& password,
                               const std::string& database) {
  ConnectionTarget target = TranslateConnection(
      "Provider=SQLOLEDB.1;Persist Security Info=False;Data Source=tcp:127.0.0.1," +
          std::to_string(port) + ";Initial Catalog=" + database + ";",
      {LogonMode::kSqlLogin, login, password}, {"FreeTDS"}, "");
  target.loginTimeoutSeconds = 10;
  return target;
}

bool FreeTdsInstalled() {
  const std::vector<std::string> drivers = InstalledOdbcDrivers();
  return std::find(drivers.begin(), drivers.end(), "FreeTDS") != drivers.end();
}

int ClosedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  const bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  if (fd >= 0) close(fd);
  if (!bound) throw std::runtime_error("ClosedPort: no port on 127.0.0.1 to bind");
  return ntohs(address.sin_port);
}

std::string StandIn::odbcConnectionString(const std::string& database, const std::string& user,
                                          const std::string& password) const {
  return kivo::testing::odbcConnectionString(port_, database, user, password);
}

std::vector<ReceivedBatch> StandIn::records() const {
  std::vector<ReceivedBatch> out;
  for (const std::string& text : completeLines(ReadFile(recordPath_))) {
    const Json line = Json::parse(text);
    if (member(line, "event") != nullptr) continue;  // the server's own doing, no request
    ReceivedBatch b;
    b.text = stringOr(line, "batch", "");
    b.rpc = stringOr(line, "rpc", "");
    b.housekeeping = boolOr(line, "housekeeping", false);
    b.dropped = boolOr(line, "dropped", false);
    b.cancelled = boolOr(line, "cancelled", false);
    if (const Json* errors = member(line, "errors"); errors != nullptr && errors->is_array()) {
      for (const Json& e : *errors) {
        if (e.is_number()) b.errors.push_back(e.get<int>());
      }
    }
    if (const Json* session = member(line, "session"); session != nullptr && session->is_object()) {
      for (const auto& [key, value] : session->items()) {
        if (value.is_boolean() || value.is_number_integer()) b.session[key] = value.get<int>();
      }
    }
    out.push_back(std::move(b));
  }
  return out;
}

std::vector<std::string> StandIn::receivedBatches() const {
  std::vector<std::string> out;
  for (const ReceivedBatch& b : records()) {
    if (!b.housekeeping) out.push_back(b.text);
  }
  return out;
}

std::vector<std::string> StandIn::allReceivedBatches() const {
  std::vector<std::string> out;
  for (const ReceivedBatch& b : records()) out.push_back(b.text);
  return out;
}

std::optional<std::string> StandIn::columnType(const std::string& qualifiedTable,
                                               const std::string& column) const {
  const Json dbs = latestDatabases(recordPath_, scenarioPath_);
  const Json* t = findTable(dbs, qualifiedTable);
  const Json* c = t != nullptr ? findColumn(*t, column) : nullptr;
  if (c == nullptr) return std::nullopt;
  const Json* type = member(*c, "type");
  if (type == nullptr || !type->is_string()) return std::nullopt;
  return type->get<std::string>();
}

std::optional<bool> StandIn::columnNullable(const std::string& qualifiedTable,
                                            const std::string& column) const {
  const Json dbs = latestDatabases(recordPath_, scenarioPath_);
  const Json* t = findTable(dbs, qualifiedTable);
  const Json* c = t != nullptr ? findColumn(*t, column) : nullptr;
  if (c == nullptr) return std::nullopt;
  return boolOr(*c, "nullable", true);
}

bool StandIn::hasTable(const std::string& qualifiedTable) const {
  return findTable(latestDatabases(recordPath_, scenarioPath_), qualifiedTable) != nullptr;
}

std::vector<std::string> StandIn::columnNames(const std::string& qualifiedTable) const {
  std::vector<std::string> out;
  const Json dbs = latestDatabases(recordPath_, scenarioPath_);
  const Json* t = findTable(dbs, qualifiedTable);
  if (t == nullptr) return out;
  if (const Json* cols = member(*t, "columns"); cols != nullptr && cols->is_array()) {
    for (const Json& c : *cols) out.push_back(stringOr(c, "name", ""));
  }
  return out;
}

std::optional<std::string> StandIn::tableName(const std::string& qualifiedTable) const {
  const Json dbs = latestDatabases(recordPath_, scenarioPath_);
  const Json* t = findTable(dbs, qualifiedTable);
  if (t == nullptr) return std::nullopt;
  return stringOr(*t, "schema", "dbo") + "." + stringOr(*t, "name", "");
}

std::optional<long long> StandIn::rowCount(const std::string& qualifiedTable) const {
  const Json dbs = latestDatabases(recordPath_, scenarioPath_);
  const Json* t = findTable(dbs, qualifiedTable);
  if (t == nullptr) return std::nullopt;
  const Json* rows = member(*t, "rows");
  if (rows == nullptr || !rows->is_number()) return 0;
  return rows->get<long long>();
}

std::string StandIn::serverLog() const { return ReadFile(stderrPath_); }

}  // namespace kivo::testing
