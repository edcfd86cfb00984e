#include "tests/tds/mini_json.h"

#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "base/utf8.h"

namespace kivo::testing {

JsonValue JsonValue::makeBool(bool value) {
  JsonValue v;
  v.kind_ = Kind::Bool;
  v.bool_ = value;
  return v;
}

JsonValue JsonValue::makeNumber(double value) {
  JsonValue v;
  v.kind_ = Kind::Number;
  v.number_ = value;
  return v;
}

JsonValue JsonValue::makeString(std::string value) {
  JsonValue v;
  v.kind_ = Kind::String;
  v.string_ = std::move(value);
  return v;
}

JsonValue JsonValue::makeArray(std::vector<JsonValue> items) {
  JsonValue v;
  v.kind_ = Kind::Array;
  v.items_ = std::move(items);
  return v;
}

JsonValue JsonValue::makeObject(std::vector<std::string> keys, std::vector<JsonValue> values) {
  if (keys.size() != values.size())
    throw std::invalid_argument("JSON object: keys and values differ in number");
  JsonValue v;
  v.kind_ = Kind::Object;
  v.keys_ = std::move(keys);
  v.items_ = std::move(values);
  return v;
}

namespace {

[[noreturn]] void wrongKind(const char* wanted) {
  throw std::runtime_error(std::string("JSON value is not ") + wanted);
}

}  // namespace

bool JsonValue::asBool() const {
  if (kind_ != Kind::Bool) wrongKind("a boolean");
  return bool_;
}

double JsonValue::asNumber() const {
  if (kind_ != Kind::Number) wrongKind("a number");
  return number_;
}

const std::string& JsonValue::asString() const {
  if (kind_ != Kind::String) wrongKind("a string");
  return string_;
}

const std::vector<JsonValue>& JsonValue::asArray() const {
  if (kind_ != Kind::Array) wrongKind("an array");
  return items_;
}

const std::vector<std::string>& JsonValue::objectKeys() const {
  if (kind_ != Kind::Object) wrongKind("an object");
  return keys_;
}

const std::vector<JsonValue>& JsonValue::objectValues() const {
  if (kind_ != Kind::Object) wrongKind("an object");
  return items_;
}

const JsonValue* JsonValue::find(std::string_view key) const {
  if (kind_ != Kind::Object) return nullptr;
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    if (keys_[i] == key) return &items_[i];
  }
  return nullptr;
}

bool JsonValue::boolOr(std::string_view key, bool fallback) const {
  const JsonValue* v = find(key);
  return v != nullptr && v->isBool() ? v->bool_ : fallback;
}

std::string JsonValue::stringOr(std::string_view key, const std::string& fallback) const {
  const JsonValue* v = find(key);
  return v != nullptr && v->isString() ? v->string_ : fallback;
}

namespace {

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  JsonValue document() {
    JsonValue v = value(0);
    skipSpace();
    if (pos_ != text_.size()) fail("text after the JSON value");
    return v;
  }

 private:
  static constexpr int kMaxDepth = 200;

  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("JSON: " + what + " at byte " + std::to_string(pos_));
  }

  void skipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool consume(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  JsonValue value(int depth) {
    if (depth > kMaxDepth) fail("nesting too deep");
    skipSpace();
    if (pos_ >= text_.size()) fail("unexpected end");
    const char c = text_[pos_];
    if (c == '{') return object(depth);
    if (c == '[') return array(depth);
    if (c == '"') return JsonValue::makeString(string());
    if (consume("true")) return JsonValue::makeBool(true);
    if (consume("false")) return JsonValue::makeBool(false);
    if (consume("null")) return JsonValue();
    if (c == '-' || (c >= '0' && c <= '9')) return number();
    fail(std::string("unexpected character '") + c + "'");
  }

  JsonValue object(int depth) {
    ++pos_;  // {
    std::vector<std::string> keys;
    std::vector<JsonValue> values;
    skipSpace();
    if (consume("}")) return JsonValue::makeObject(std::move(keys), std::move(values));
    while (true) {
      skipSpace();
      if (pos_ >= text_.size() || text_[pos_] != '"') fail("expected a member name");
      keys.push_back(string());
      skipSpace();
      if (!consume(":")) fail("expected ':'");
      values.push_back(value(depth + 1));
      skipSpace();
      if (consume("}")) break;
      if (!consume(",")) fail("expected ',' or '}'");
    }
    return JsonValue::makeObject(std::move(keys), std::move(values));
  }

  JsonValue array(int depth) {
    ++pos_;  // [
    std::vector<JsonValue> items;
    skipSpace();
    if (consume("]")) return JsonValue::makeArray(std::move(items));
    while (true) {
      items.push_back(value(depth + 1));
      skipSpace();
      if (consume("]")) break;
      if (!consume(",")) fail("expected ',' or ']'");
    }
    return JsonValue::makeArray(std::move(items));
  }

  JsonValue number() {
    const std::size_t start = pos_;
    auto digits = [&] {
      const std::size_t from = pos_;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
      return pos_ - from;
    };
    consume("-");
    if (consume("0")) {
      // no further integer digits after a leading zero
    } else if (digits() == 0) {
      fail("malformed number");
    }
    if (consume(".") && digits() == 0) fail("malformed number");
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (!consume("+")) consume("-");
      if (digits() == 0) fail("malformed number");
    }
    const std::string copy(text_.substr(start, pos_ - start));
    return JsonValue::makeNumber(std::strtod(copy.c_str(), nullptr));
  }

  unsigned hex4() {
    if (pos_ + 4 > text_.size()) fail("short \\u escape");
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<unsigned>(c - 'A' + 10);
      } else {
        fail("bad \\u escape");
      }
    }
    return v;
  }

  std::string string() {
    ++pos_;  // opening quote
    std::string out;
    while (true) {
      if (pos_ >= text_.size()) fail("unterminated string");
      const char c = text_[pos_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) fail("control character in string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= text_.size()) fail("unterminated string");
      const char e = text_[pos_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned cp = hex4();
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            const std::size_t save = pos_;
            if (consume("\\u")) {
              const unsigned low = hex4();
              if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
              } else {
                pos_ = save;
                cp = 0xFFFD;
              }
            } else {
              cp = 0xFFFD;
            }
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            cp = 0xFFFD;
          }
          kivo::AppendUtf8(out, cp);
          break;
        }
        default:
          fail("bad escape");
      }
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

JsonValue parseJson(std::string_view text) { return Reader(text).document(); }

}  // namespace kivo::testing
