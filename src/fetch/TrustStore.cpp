#include "fetch/TrustStore.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

namespace orvanel {

std::unique_ptr<TrustStore> TrustStore::Load(const std::string& file, const std::string& folder) {
  X509_STORE* store = X509_STORE_new();
  if (!store) return nullptr;
  const bool read = (file.empty() || X509_STORE_load_file(store, file.c_str()) == 1) &&
                    (folder.empty() || X509_STORE_load_path(store, folder.c_str()) == 1);
  if (!read) {
    ERR_clear_error();
    X509_STORE_free(store);
    return nullptr;
  }
  X509_STORE_set_flags(store, X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
  return std::unique_ptr<TrustStore>(new TrustStore(store));
}

TrustStore::Defaults TrustStore::LibcurlDefaults() {
  Defaults defaults;
  CURL* easy = curl_easy_init();
  if (!easy) return defaults;
  char* file = nullptr;
  char* folder = nullptr;
  if (curl_easy_getinfo(easy, CURLINFO_CAINFO, &file) == CURLE_OK && file) defaults.file = file;
  if (curl_easy_getinfo(easy, CURLINFO_CAPATH, &folder) == CURLE_OK && folder)
    defaults.folder = folder;
  curl_easy_cleanup(easy);
  return defaults;
}

TrustStore::~TrustStore() { X509_STORE_free(static_cast<X509_STORE*>(store_)); }

void TrustStore::Give(void* ssl_ctx) const {
  auto* store = static_cast<X509_STORE*>(store_);
  // The context takes one reference and gives up its own store.
  if (X509_STORE_up_ref(store) == 1) SSL_CTX_set_cert_store(static_cast<SSL_CTX*>(ssl_ctx), store);
}

}  // namespace orvanel
