#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fetch/Fetcher.h"

namespace orvanel {

// An address as a transfer is made to it.
struct TransferTarget {
  std::string url;       // as libcurl is given it: an international host name in ASCII
  std::string scheme;    // lower case
  std::string host;      // ASCII, lower case; empty for a local file
  int port = 0;          // the scheme's default port when the address names none
  std::string host_key;  // "host:port", what the per-host limits count; the URL for a file
  // Set when the address cannot be fetched at all; `url` is empty then.
  FetchError error = FetchError::kNone;
  std::string error_text;

  bool local_file() const { return scheme == "file"; }
  bool ok() const { return error == FetchError::kNone; }
};

// Reads an address: only http, https and file are fetched (any other scheme, even in an
// address that merely holds "http" somewhere, is refused here, whatever libcurl would do);
// international host names become their ASCII form by the non-transitional rules of
// IDNA 2008 ("faß.example" stays "xn--fa-hia.example").
TransferTarget MakeTarget(const std::string& url);

// The two readings MakeTarget is made of. PlainTarget reads the common address without
// libcurl's parser, "http[s]://host[:port]" and anything after a "/", "?" or "#", when
// host and port are written as libcurl keeps them (a lower-case name, or an IPv4 address
// in dotted decimals); nullopt for any other. ParsedTarget reads every address with it.
std::optional<TransferTarget> PlainTarget(const std::string& url);
TransferTarget ParsedTarget(const std::string& url);

// A host name in the form it is looked up by: ASCII, lower case. nullopt with `error` set
// when a name cannot be converted.
std::optional<std::string> AsciiHostName(std::string_view name, std::string& error);

// Whether two targets are of one origin (scheme, host and port): headers given for the
// first address are sent on a redirect only to the same origin.
bool SameOrigin(const TransferTarget& a, const TransferTarget& b);

// The --resolve entries: "HOST:PORT:ADDRESS[,ADDRESS...]" as curl takes them (a leading
// "+" allowed), where HOST may be "*" for every host on PORT, or an international name,
// and each ADDRESS a numeric IPv4 or IPv6 address (in brackets or not). Every transfer to
// HOST:PORT, redirects included, connects to those addresses and looks nothing up.
class ResolveTable {
 public:
  // Why an entry cannot be applied; nullopt when it can.
  static std::optional<std::string> Check(std::string_view entry);
  // `entries` must each pass Check. A host's own entry wins over "*"; of two for one
  // host and port, the first given counts.
  explicit ResolveTable(const std::vector<std::string>& entries);

  // The entry libcurl is given for a transfer to `host` (ASCII) on `port`, if any; none
  // for an address.
  std::optional<std::string> For(const std::string& host, int port) const;
  bool empty() const { return by_host_.empty() && any_host_.empty(); }

 private:
  std::unordered_map<std::string, std::string> by_host_;  // "host:port" -> addresses
  std::unordered_map<int, std::string> any_host_;         // port -> addresses, for "*"
};

}  // namespace orvanel
