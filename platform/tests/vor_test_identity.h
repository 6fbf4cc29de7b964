// A P-256 key and a self-signed certificate made in memory, for tests and benchmarks that need
// a TLS server without certificate files.
#pragma once
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <string>

namespace vor::test {

class TestIdentity {
 public:
  explicit TestIdentity(const char* common_name) : key_(EVP_EC_gen("P-256")), cert_(X509_new()) {
    X509_set_version(cert_, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert_), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert_), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert_), 86400);
    X509_set_pubkey(cert_, key_);
    X509_NAME* name = X509_get_subject_name(cert_);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name), -1, -1,
                               0);
    X509_set_issuer_name(cert_, name);
    X509_sign(cert_, key_, EVP_sha256());
  }
  ~TestIdentity() {
    X509_free(cert_);
    EVP_PKEY_free(key_);
  }
  TestIdentity(const TestIdentity&) = delete;
  TestIdentity& operator=(const TestIdentity&) = delete;

  EVP_PKEY* key() const { return key_; }
  X509* cert() const { return cert_; }
  std::string cert_pem() const {
    return pem([this](BIO* b) { return PEM_write_bio_X509(b, cert_); });
  }
  std::string key_pem() const {
    return pem([this](BIO* b) { return PEM_write_bio_PrivateKey(b, key_, nullptr, nullptr, 0, nullptr, nullptr); });
  }

 private:
  template <typename Write>
  static std::string pem(Write write) {
    BIO* bio = BIO_new(BIO_s_mem());
    write(bio);
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<size_t>(len));
    BIO_free(bio);
    return text;
  }

  EVP_PKEY* key_;
  X509* cert_;
};

}  // namespace vor::test
