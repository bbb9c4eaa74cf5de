#include "cli/JsonLines.h"

#include "text/Hex.h"
#include "text/Utf8.h"

namespace orvanel {

void AppendJsonString(std::string& out, std::string_view text) {
  std::string repaired;
  if (ValidUtf8Prefix(text) != text.size()) {
    repaired = SanitiseUtf8(text);
    text = repaired;
  }
  out += '"';
  // Runs of bytes that need no escape are copied whole: a head is tens of kilobytes.
  std::size_t plain = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\' && c != 0x7F) continue;
    out.append(text, plain, i - plain);
    plain = i + 1;
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
        out += "\\u00";
        AppendHexByte(out, c);
    }
  }
  out.append(text, plain);
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
  return Add(key, value ? std::optional<std::string_view>(*value) : std::nullopt);
}

JsonObject& JsonObject::Add(std::string_view key, const std::optional<std::string_view>& value) {
  if (!value) return AddNull(key);
  return Add(key, *value);
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
