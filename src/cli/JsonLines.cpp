#include "cli/JsonLines.h"

#include "text/Hex.h"
#include "text/Utf8.h"

namespace orvanel {

void AppendJsonString(std::string& out, std::string_view text) {
  const std::string clean = SanitiseUtf8(text);
  out += '"';
  for (unsigned char c : clean) {
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
        if (c < 0x20 || c == 0x7F) {
          out += "\\u00";
          AppendHexByte(out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

JsonObject JsonObject::Continuing(std::string opened) {
  JsonObject object;
  object.out_ = std::move(opened);
  object.first_ = false;
  return object;
}

void JsonObject::Key(std::string_view key) {
  if (!first_) out_ += ',';
  first_ = false;
  AppendJsonString(out_, key);
  out_ += ':';
}

JsonObject& JsonObject::Add(std::string_view key, std::string_view value) {
  Key(key);
  AppendJsonString(out_, value);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view key, const std::optional<std::string>& value) {
  if (!value) return AddNull(key);
  return Add(key, std::string_view(*value));
}

JsonObject& JsonObject::AddNumber(std::string_view key, long long value) {
  Key(key);
  out_ += std::to_string(value);
  return *this;
}

JsonObject& JsonObject::AddNull(std::string_view key) {
  Key(key);
  out_ += "null";
  return *this;
}

std::string JsonObject::Finish() {
  out_ += '}';
  return std::move(out_);
}

}  // namespace orvanel
