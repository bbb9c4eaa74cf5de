#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvanel {

// Appends `text` as a JSON string literal. Invalid UTF-8 becomes U+FFFD and every control
// character is escaped, so the result is valid JSON whatever the bytes were.
void AppendJsonString(std::string& out, std::string_view text);

// Builds one JSON object, member by member, in the order they are added.
class JsonObject {
 public:
  JsonObject() = default;
  // An object whose first members are already in `opened` ("{" and at least one member).
  static JsonObject Continuing(std::string opened);

  JsonObject& Add(std::string_view key, std::string_view value);
  JsonObject& Add(std::string_view key, const std::optional<std::string>& value);
  JsonObject& Add(std::string_view key, const std::optional<std::string_view>& value);
  JsonObject& Add(std::string_view key, const char* value) {
    return Add(key, std::string_view(value));
  }
  JsonObject& Add(std::string_view key, const std::string& value) {
    return Add(key, std::string_view(value));
  }
  JsonObject& AddNumber(std::string_view key, long long value);
  JsonObject& AddNull(std::string_view key);
  // The object, closed.
  std::string Finish();

 private:
  void Key(std::string_view key);
  std::string out_ = "{";
  bool first_ = true;
};

}  // namespace orvanel
