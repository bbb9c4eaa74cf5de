// The certificates a run trusts: read once, checked as libcurl checks them, and shared by
// every TLS context of the run.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <fstream>

#include "TempDir.h"
#include "TlsServer.h"
#include "fetch/TrustStore.h"

namespace orvanel {
namespace {

using testing::TempDir;

// A certificate of its own (and its key) in a folder of its own.
class TrustStoreFile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::MakeCertificate(key, cert)) GTEST_SKIP() << "no openssl to make a certificate";
  }
  TempDir dir;
  const std::string key = dir.path() + "/key.pem", cert = dir.path() + "/cert.pem";
};

TEST_F(TrustStoreFile, ReadsTheCertificatesOrNothing) {
  auto store = TrustStore::Load(cert, "");
  ASSERT_NE(store, nullptr);
  auto* x509_store = static_cast<X509_STORE*>(store->Handle());
  EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(x509_store)), 1);
  // As libcurl sets them: trusted certificates first, and partial chains end in the store.
  const unsigned long flags = X509_VERIFY_PARAM_get_flags(X509_STORE_get0_param(x509_store));
  EXPECT_TRUE(flags & X509_V_FLAG_TRUSTED_FIRST);
  EXPECT_TRUE(flags & X509_V_FLAG_PARTIAL_CHAIN);

  // A file that is missing, or holds no certificate, gives no store: libcurl then reads
  // the file itself and reports it.
  EXPECT_EQ(TrustStore::Load(dir.path() + "/none.pem", ""), nullptr);
  std::ofstream(dir.path() + "/empty.pem") << "not a certificate\n";
  EXPECT_EQ(TrustStore::Load(dir.path() + "/empty.pem", ""), nullptr);
  EXPECT_EQ(TrustStore::Load(key, ""), nullptr);
}

// Each TLS context holds the store for as long as it lives, and the store outlives them.
TEST_F(TrustStoreFile, EveryContextSharesTheOneStore) {
  auto store = TrustStore::Load(cert, "");
  ASSERT_NE(store, nullptr);
  SSL_CTX* first = SSL_CTX_new(TLS_client_method());
  SSL_CTX* second = SSL_CTX_new(TLS_client_method());
  store->Give(first);
  store->Give(second);
  EXPECT_EQ(SSL_CTX_get_cert_store(first), store->Handle());
  EXPECT_EQ(SSL_CTX_get_cert_store(second), store->Handle());
  SSL_CTX_free(first);
  auto* x509_store = static_cast<X509_STORE*>(store->Handle());
  EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(x509_store)), 1);
  store.reset();  // the context still holds it
  EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(second))), 1);
  SSL_CTX_free(second);
}

TEST(TrustStore, LibcurlNamesItsOwnBundleOrNone) {
  // Whatever libcurl was built with; where it names a bundle, that bundle can be read.
  const auto defaults = TrustStore::LibcurlDefaults();
  if (defaults.file.empty() || !std::ifstream(defaults.file)) GTEST_SKIP() << "no bundle";
  EXPECT_NE(TrustStore::Load(defaults.file, defaults.folder), nullptr);
}

}  // namespace
}  // namespace orvanel
