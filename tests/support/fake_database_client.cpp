#include "tests/support/fake_database_client.h"

#include <utility>

#include "upgrade/odbc/odbc_client.h"
#include "upgrade/run_texts.h"

namespace kivo::testing {
namespace {

constexpr const char* kLostMessage = "Communication link failure";

class FakeDatabaseClient : public DatabaseClient {
 public:
  explicit FakeDatabaseClient(std::shared_ptr<FakeServer> server) : server_(std::move(server)) {
    ++server_->clientsAlive;
  }
  ~FakeDatabaseClient() override { --server_->clientsAlive; }

  std::optional<Error> open(const ConnectionTarget& target) override {
    ++server_->opens;
    server_->openedWith = target;
    openErrors_ = server_->openErrors;
    open_ = !server_->openError;
    return server_->openError;
  }

  const std::vector<Diagnostic>& openErrors() const override { return openErrors_; }

  BatchOutcome execute(std::span<const std::string> statements) override {
    BatchOutcome outcome;
    for (const std::string& statement : statements) {
      StatementOutcome& s = outcome.statements.emplace_back();
      s.text = statement;
      const bool lost = !open_ || (server_->dropAfter &&
                                   static_cast<int>(server_->sent.size()) >= *server_->dropAfter);
      if (!lost) server_->sent.push_back(statement);
      if (lost) {
        s.diagnostics = {{"08S01", 0, kLostMessage}};
      } else if (auto it = server_->failures.find(statement); it != server_->failures.end()) {
        s.diagnostics = it->second;
      } else {
        s.succeeded = true;
        continue;
      }
      std::string description;
      for (const auto& d : s.diagnostics)
        description += (description.empty() ? "" : "\r\n") + d.message;
      const int number = s.diagnostics.front().nativeError;
      s.error = Error(number ? number : kUnspecifiedError, description);
      if (!outcome.error) outcome.error = s.error;
      if (lost) break;
    }
    return outcome;
  }

  QueryResult query(const std::string& text, std::span<const std::string> parameters) override {
    QueryResult result;
    if (!open_) {
      result.error = Error(kConnectionClosedError, kLostMessage);
      return result;
    }
    if (text == kTableExistsQuery && !parameters.empty()) {
      server_->askedAbout.push_back(parameters[0]);
      const bool refused = server_->refusedTables.contains(parameters[0]);
      const bool hidden = server_->invisibleTables.contains(parameters[0]);
      result.columns = {"object_id", "sees_database", "sees_schema", "alters_schema"};
      result.rows.push_back({refused ? std::optional<std::string>("245575913") : std::nullopt,
                             hidden ? "0" : "1", hidden ? "0" : "1", "0"});
      return result;
    }
    server_->sent.push_back(text);
    server_->queryParameters.emplace_back(parameters.begin(), parameters.end());
    if (server_->answerQuery) return server_->answerQuery(text, parameters);
    result.error = Error(kUnspecifiedError, "The scripted server answers no queries.");
    return result;
  }

  std::optional<Error> close() override {
    ++server_->closes;
    open_ = false;
    return server_->closeError;
  }

 private:
  std::shared_ptr<FakeServer> server_;
  std::vector<Diagnostic> openErrors_;
  bool open_ = false;
};

}  // namespace

std::vector<Diagnostic> FakeServer::MissingObject(const std::string& name) {
  return Message(4902, "Cannot find the object \"" + name +
                           "\" because it does not exist or you do not have permissions.");
}

std::vector<Diagnostic> FakeServer::Message(int number, const std::string& text,
                                            const std::string& sqlState) {
  return {{sqlState, number, text}};
}

RunEnvironment FakeEnvironment(std::shared_ptr<FakeServer> server) {
  RunEnvironment environment;
  environment.installedDrivers = [] { return std::vector<std::string>{"FreeTDS"}; };
  environment.makeClient = [server] { return std::make_unique<FakeDatabaseClient>(server); };
  return environment;
}

}  // namespace kivo::testing
