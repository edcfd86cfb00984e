#include "base/error.h"

#include <utility>

namespace kivo {

std::string StandardDescription(std::int32_t number) {
  switch (number) {
    case kInvalidArgument:
      return "Invalid procedure call or argument";
    case kOverflow:
      return "Overflow";
    case kTypeMismatch:
      return "Type mismatch";
    case kFileNotFound:
      return "File not found";
    case kPermissionDenied:
      return "Permission denied";
    case kPathFileAccessError:
      return "Path/File access error";
    case kPathNotFound:
      return "Path not found";
    default:
      return {};
  }
}

Error::Error(std::int32_t number, std::string description, std::string source)
    : number_(number), description_(std::move(description)), source_(std::move(source)) {}

Error Error::Standard(ErrorNumber number, std::string source) {
  return Error(number, StandardDescription(number), std::move(source));
}

Error Error::PassedOn(const std::string& routine) const {
  return Error(number_, description_, source_ + routine);
}

void ThrowInvalidArgument(std::string description) {
  throw Error(kInvalidArgument, std::move(description));
}

}  // namespace kivo
