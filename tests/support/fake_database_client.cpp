#include "tests/support/fake_database_client.h"

#include <utility>

#include "upgrade/odbc/odbc_diagnostics.h"
#include "upgrade/run_texts.h"

namespace kivo::testing {
namespace {

constexpr const char* kNotOpen = "The connection to the database is not open.";

class FakeDatabaseClient : public DatabaseClient {
 public:
  explicit FakeDatabaseClient(std::shared_ptr<FakeServer> server) : server_(std::move(server)) {
    ++server_->clientsAlive;
  }
  ~FakeDatabaseClient() override { --server_->clientsAlive; }

  std::optional<Error> open(const ConnectionTarget& target) override {
    if (open_) return Error(kInvalidArgument, "The connection is already open.");
    ++server_->opens;
    server_->openedWith = target;
    openErrors_ = server_->openErrors;
    RankDatabaseMessagesFirst(openErrors_);
    if (!openErrors_.empty()) return ErrorOf(openErrors_, "refused");
    open_ = !server_->openError;
    return server_->openError;
  }

  const std::vector<Diagnostic>& openErrors() const override { return openErrors_; }

  using DatabaseClient::execute;
  BatchOutcome execute(std::span<const std::string> statements,
                       const StatementHooks& hooks) override {
    BatchOutcome outcome;
    if (!open_) {
      outcome.error = Error(kConnectionClosedError, kNotOpen);
      return outcome;
    }
    for (std::size_t i = 0; i < statements.size(); ++i) {
      if (hooks.before) hooks.before(i);
      StatementOutcome& s = outcome.statements.emplace_back();
      s.text = statements[i];
      if (lost()) {
        s.diagnostics = lostRecords();
      } else {
        server_->sent.push_back(s.text);
        const auto failure = server_->failures.find(s.text);
        if (failure == server_->failures.end()) {
          s.succeeded = true;
          const auto note = server_->notes.find(s.text);
          if (note != server_->notes.end()) s.diagnostics = note->second;
        } else {
          s.diagnostics = failure->second;
        }
      }
      if (!s.succeeded) {
        s.error = StatementError(s.diagnostics);
        if (!outcome.error) outcome.error = s.error;
      }
      if (hooks.after && !hooks.after(i, s)) break;
      if (!s.succeeded && EndsBatch(s.diagnostics)) break;
    }
    return outcome;
  }

  QueryResult query(const std::string& text, std::span<const std::string> parameters) override {
    QueryResult result;
    if (!open_) {
      result.error = Error(kConnectionClosedError, kNotOpen);
      return result;
    }
    if (lost()) {
      result.diagnostics = lostRecords();
      result.error = StatementError(result.diagnostics);
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
    if (!open_) return std::nullopt;
    open_ = false;
    return server_->closeError;
  }

 private:
  bool lost() const {
    return server_->dropAfter && static_cast<int>(server_->sent.size()) >= *server_->dropAfter;
  }

  // What FreeTDS reports for the request at which the server went away, and for every
  // request after it.
  std::vector<Diagnostic> lostRecords() {
    if (std::exchange(linkGone_, true)) return {{"08S01", 0, "Communication link failure"}};
    return {{"01000", 20017, "Unexpected EOF from the server"}};
  }

  std::shared_ptr<FakeServer> server_;
  std::vector<Diagnostic> openErrors_;
  bool open_ = false;
  bool linkGone_ = false;
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
