// A small JSON reader for the stand-in's record file (RFC 8259, read only).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kivo::testing {

// One JSON value. Objects keep their members in document order; numbers are
// held as double, which is exact for the integers the record holds.
class JsonValue {
 public:
  enum class Kind { Null, Bool, Number, String, Array, Object };

  JsonValue() = default;
  static JsonValue makeBool(bool value);
  static JsonValue makeNumber(double value);
  static JsonValue makeString(std::string value);
  static JsonValue makeArray(std::vector<JsonValue> items);
  static JsonValue makeObject(std::vector<std::string> keys, std::vector<JsonValue> values);

  Kind kind() const { return kind_; }
  bool isNull() const { return kind_ == Kind::Null; }
  bool isBool() const { return kind_ == Kind::Bool; }
  bool isNumber() const { return kind_ == Kind::Number; }
  bool isString() const { return kind_ == Kind::String; }
  bool isArray() const { return kind_ == Kind::Array; }
  bool isObject() const { return kind_ == Kind::Object; }

  // The accessors below throw std::runtime_error when the kind differs.
  bool asBool() const;
  double asNumber() const;
  const std::string& asString() const;
  const std::vector<JsonValue>& asArray() const;
  const std::vector<std::string>& objectKeys() const;
  const std::vector<JsonValue>& objectValues() const;

  // The member named key of an object (the first one if repeated), or nullptr
  // when this is not an object or has no such member.
  const JsonValue* find(std::string_view key) const;

  // Convenience: member key as bool / string, or fallback when absent or of
  // another kind.
  bool boolOr(std::string_view key, bool fallback) const;
  std::string stringOr(std::string_view key, const std::string& fallback) const;

 private:
  Kind kind_ = Kind::Null;
  bool bool_ = false;
  double number_ = 0;
  std::string string_;
  std::vector<JsonValue> items_;   // array items, or object values
  std::vector<std::string> keys_;  // object keys, parallel to items_
};

// Parses one JSON text (surrounding whitespace allowed). Strings come back as
// UTF-8, with \u escapes (surrogate pairs included) decoded. Throws
// std::runtime_error with the byte offset on malformed input.
JsonValue parseJson(std::string_view text);

}  // namespace kivo::testing
