#include "upgrade/odbc/database_client.h"

namespace kivo {

QueryResult DatabaseClient::query(const std::string&, std::span<const std::string>) {
  QueryResult result;
  result.error = Error(kUnspecifiedError, "This database client cannot run queries.");
  return result;
}

}  // namespace kivo
