#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kivo {

// Error numbers the program raises itself. Others (file system, database) come from the
// layer that failed and keep that layer's number.
enum ErrorNumber : std::int32_t {
  kInvalidArgument = 5,
  kOverflow = 6,
  kTypeMismatch = 13,
  kFileNotFound = 53,
  kPermissionDenied = 70,
  kPathFileAccessError = 75,
  kPathNotFound = 76,
  // What a failure that brings no number of its own is reported with (E_FAIL).
  kUnspecifiedError = -2147467259,
};

// The standard description of one of the numbers above; empty for any other number.
std::string StandardDescription(std::int32_t number);

// A failure as the run reports it: a number (0 never means an error here), a description
// for people and the chain of routines it passed through.
class Error : public std::exception {
 public:
  Error(std::int32_t number, std::string description, std::string source = {});

  // An error with one of the program's own numbers and its standard description.
  static Error Standard(ErrorNumber number, std::string source = {});

  std::int32_t number() const noexcept { return number_; }
  const std::string& description() const noexcept { return description_; }
  const std::string& source() const noexcept { return source_; }

  // The same error passed on by a routine, which appends its own name to the source.
  Error PassedOn(const std::string& routine) const;

  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::int32_t number_;
  std::string description_;
  std::string source_;
};

// Throws Error(kInvalidArgument, description): for input refused with a reason of its own.
[[noreturn]] void ThrowInvalidArgument(std::string description);

}  // namespace kivo
