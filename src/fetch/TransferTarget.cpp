#include "fetch/TransferTarget.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <idn2.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace orvanel {
namespace {

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return text;
}

struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

std::optional<std::string> Part(CURLU* u, CURLUPart part, unsigned flags = 0) {
  char* value = nullptr;
  if (curl_url_get(u, part, &value, flags) != CURLUE_OK || !value) return std::nullopt;
  std::string text = value;
  curl_free(value);
  return text;
}

bool IsNumericAddress(std::string_view text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  const std::string address(text);
  unsigned char buffer[16];
  return inet_pton(AF_INET, address.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, address.c_str(), buffer) == 1;
}

}  // namespace

std::optional<std::string> AsciiHostName(std::string_view name, std::string& error) {
  const bool ascii = std::all_of(name.begin(), name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return Lowered(std::string(name));
  char* converted = nullptr;
  const std::string text(name);
  const int rc = idn2_lookup_u8(reinterpret_cast<const uint8_t*>(text.c_str()),
                                reinterpret_cast<uint8_t**>(&converted),
                                IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  if (rc != IDN2_OK) {
    error = "Invalid international host name " + text + ": " + idn2_strerror(rc);
    return std::nullopt;
  }
  std::string result = Lowered(converted);
  idn2_free(converted);
  return result;
}

namespace {

bool IsLowerName(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Digits without a leading zero (a lone "0" aside), of at most `most`, as a number.
std::optional<unsigned> PlainNumber(std::string_view digits, std::size_t most) {
  if (digits.empty() || digits.size() > most || (digits.size() > 1 && digits[0] == '0'))
    return std::nullopt;
  unsigned value = 0;
  for (const char c : digits) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

// A host libcurl keeps as it is written: a lower-case name that cannot be read as a number
// (libcurl rewrites "127.1" or "0x7f.1"), or an IPv4 address in its dotted-decimal form.
bool IsPlainHost(std::string_view host) {
  if (host.empty() || !std::all_of(host.begin(), host.end(), IsLowerName)) return false;
  if (!IsDigit(host[0])) return true;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = host.find('.');
    const auto value = PlainNumber(host.substr(0, dot), 3);
    if (!value || *value > 255) return false;
    host.remove_prefix(dot == std::string_view::npos ? host.size() : dot + 1);
  }
  return host.empty();
}

// An http or https address whose "//" is followed by a path, not a host.
bool NamesNoAuthority(std::string_view url) {
  const std::size_t sep = url.find("://");
  if (sep == std::string_view::npos) return false;
  const std::string scheme = Lowered(std::string(url.substr(0, sep)));
  if (scheme != "http" && scheme != "https") return false;
  url.remove_prefix(sep + 3);
  return url.starts_with('/');
}

// The host and port a transfer goes to, and the key the per-host limits count them by.
void SetHostAndPort(TransferTarget& target, std::string host, int port) {
  target.host = std::move(host);
  target.port = port;
  target.host_key = target.host + ":" + std::to_string(port);
}

}  // namespace

std::optional<TransferTarget> PlainTarget(const std::string& url) {
  const auto visible = [](char c) { return c > ' ' && c < 0x7f && c != '\\'; };
  if (!std::all_of(url.begin(), url.end(), visible)) return std::nullopt;
  const std::size_t colon = url.find("://");
  if (colon != 4 && colon != 5) return std::nullopt;
  std::string scheme = Lowered(url.substr(0, colon));
  if (scheme != "http" && scheme != "https") return std::nullopt;
  std::string_view authority(url);
  authority.remove_prefix(colon + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const std::size_t port_colon = authority.find(':');
  const std::string_view host = authority.substr(0, port_colon);
  if (!IsPlainHost(host)) return std::nullopt;
  int port = scheme == "http" ? 80 : 443;
  if (port_colon != std::string_view::npos) {
    const auto value = PlainNumber(authority.substr(port_colon + 1), 5);
    if (!value || *value == 0 || *value > 65535) return std::nullopt;
    port = static_cast<int>(*value);
  }
  TransferTarget target;
  target.url = url;
  target.scheme = std::move(scheme);
  SetHostAndPort(target, std::string(host), port);
  return target;
}

TransferTarget MakeTarget(const std::string& url) {
  if (auto plain = PlainTarget(url)) return std::move(*plain);
  return ParsedTarget(url);
}

TransferTarget ParsedTarget(const std::string& url) {
  TransferTarget target;
  auto fail = [&](FetchError error, std::string text) {
    target.url.clear();
    target.error = error;
    target.error_text = std::move(text);
    return target;
  };
  // libcurl reads "http:///tmp/a.htm" as host "tmp": a missing local file, prefixed
  // http://, would become a look-up of the first folder's name.
  if (NamesNoAuthority(url)) return fail(FetchError::kAddress, "No host name in " + url);
  std::unique_ptr<CURLU, UrlDeleter> u(curl_url());
  if (!u ||
      curl_url_set(u.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    return fail(FetchError::kAddress, "Malformed address " + url);
  }
  target.scheme = Lowered(Part(u.get(), CURLUPART_SCHEME).value_or(""));
  if (target.scheme == "file") {
    target.url = url;
    target.host_key = url;
    return target;
  }
  if (target.scheme != "http" && target.scheme != "https") {
    return fail(FetchError::kAddress, "Protocol \"" + target.scheme + "\" is not fetched");
  }
  const auto host = Part(u.get(), CURLUPART_HOST);
  if (!host || host->empty()) return fail(FetchError::kAddress, "No host name in " + url);
  std::string error;
  const auto ascii = AsciiHostName(*host, error);
  if (!ascii) return fail(FetchError::kResolve, error);
  target.url = url;
  if (*ascii != *host) {
    if (curl_url_set(u.get(), CURLUPART_HOST, ascii->c_str(), 0) == CURLUE_OK) {
      target.url = Part(u.get(), CURLUPART_URL).value_or(url);
    }
  }
  SetHostAndPort(target, *ascii,
                 std::stoi(Part(u.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT).value_or("0")));
  return target;
}

bool SameOrigin(const TransferTarget& a, const TransferTarget& b) {
  return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

namespace {

// Labels of letters, digits and inner hyphens, 1 to 63 each, 253 in all; a final dot may
// end the name.
bool IsHostName(std::string_view name) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  if (name.empty() || name.size() > 253) return false;
  for (;;) {
    const std::size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
      return false;
    for (const char c : label) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    }
    if (dot == std::string_view::npos) return true;
    name.remove_prefix(dot + 1);
  }
}

}  // namespace

std::optional<std::string> ResolveTable::Check(std::string_view entry) {
  const std::string given(entry);
  auto bad = [&](const std::string& why) {
    return std::optional<std::string>("'" + given + "' (HOST:PORT:ADDRESS): " + why);
  };
  if (!entry.empty() && entry.front() == '+') entry.remove_prefix(1);
  if (!entry.empty() && entry.front() == '-') return bad("removing an entry is not supported");
  const std::size_t first = entry.find(':');
  const std::size_t second = first == std::string_view::npos ? first : entry.find(':', first + 1);
  if (first == 0 || second == std::string_view::npos) return bad("HOST, PORT and ADDRESS needed");
  const std::string_view host = entry.substr(0, first);
  const std::string_view port = entry.substr(first + 1, second - first - 1);
  std::string_view addresses = entry.substr(second + 1);
  if (host != "*") {
    std::string error;
    const auto ascii = AsciiHostName(host, error);
    if (!ascii || !IsHostName(*ascii)) return bad("not a host name (or the whole \"*\")");
  }
  if (port.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
      std::stoi(std::string(port)) < 1 || std::stoi(std::string(port)) > 65535) {
    return bad("PORT must be 1 to 65535");
  }
  if (addresses.empty()) return bad("no ADDRESS");
  while (!addresses.empty()) {
    const std::size_t comma = addresses.find(',');
    if (!IsNumericAddress(addresses.substr(0, comma))) return bad("ADDRESS must be numeric");
    if (comma == std::string_view::npos) break;
    addresses.remove_prefix(comma + 1);
  }
  return std::nullopt;
}

ResolveTable::ResolveTable(const std::vector<std::string>& entries) {
  for (std::string_view entry : entries) {
    if (!entry.empty() && entry.front() == '+') entry.remove_prefix(1);
    const std::size_t first = entry.find(':');
    const std::size_t second = entry.find(':', first + 1);
    const std::string_view host = entry.substr(0, first);
    const int port = std::stoi(std::string(entry.substr(first + 1, second - first - 1)));
    std::string addresses(entry.substr(second + 1));
    if (host == "*") {
      any_host_.try_emplace(port, std::move(addresses));
      continue;
    }
    std::string error;
    const std::string name = AsciiHostName(host, error).value_or(std::string(host));
    by_host_.try_emplace(name + ":" + std::to_string(port), std::move(addresses));
  }
}

std::optional<std::string> ResolveTable::For(const std::string& host, int port) const {
  // An address is not looked up: no entry is for it ("*" neither; libcurl cannot even
  // read one made for an IPv6 address).
  if (empty() || IsNumericAddress(host)) return std::nullopt;
  std::string key = host + ":" + std::to_string(port);
  if (const auto it = by_host_.find(key); it != by_host_.end()) return key + ":" + it->second;
  if (const auto it = any_host_.find(port); it != any_host_.end()) return key + ":" + it->second;
  return std::nullopt;
}

}  // namespace orvanel
