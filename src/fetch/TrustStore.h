#pragma once

#include <memory>
#include <string>

namespace orvanel {

// The certificates a run trusts, read once. libcurl (7.88, over OpenSSL 3) reads its CA
// bundle again for every TLS connection it makes, about 30 ms of CPU for the system's 140
// certificates; the fetcher reads the bundle here and hands every connection this store.
class TrustStore {
 public:
  // The certificates of `file` (none when empty), with the hashed folder `folder` looked in
  // for the others (none when empty), checked as libcurl checks them: trusted certificates
  // first, and any certificate of the store may end a chain. Null when the file cannot be
  // read: the transfers then name the files to libcurl, which reports that as before.
  static std::unique_ptr<TrustStore> Load(const std::string& file, const std::string& folder);

  // libcurl's own defaults for the bundle and the folder ("" for none).
  struct Defaults {
    std::string file;
    std::string folder;
  };
  static Defaults LibcurlDefaults();

  ~TrustStore();
  TrustStore(const TrustStore&) = delete;
  TrustStore& operator=(const TrustStore&) = delete;

  // Makes this the store of an OpenSSL SSL_CTX (given as void*, as libcurl hands it over).
  void Give(void* ssl_ctx) const;
  // The store itself, an X509_STORE*.
  void* Handle() const { return store_; }

 private:
  explicit TrustStore(void* store) : store_(store) {}
  void* store_;
};

}  // namespace orvanel
