#include "platformd/tls/openssl_util.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <ctime>

namespace platformd {

namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

BioPtr readBio(const std::string& text) {
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::string drain(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

// Refuses to prompt for a passphrase: an encrypted key cannot be read.
int noPassphrase(char*, int, int, void*) { return 0; }

std::string nameOf(X509_NAME* name) {
  BioPtr out(BIO_new(BIO_s_mem()));
  X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_RFC2253);
  return drain(out.get());
}

std::string timeText(const ASN1_TIME* time) {
  struct tm when {};
  if (ASN1_TIME_to_tm(time, &when) != 1) return "?";
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &when);
  return text;
}

}  // namespace

std::vector<X509Ptr> parseCertificates(const std::string& pem, size_t max) {
  std::vector<X509Ptr> certs;
  BioPtr in = readBio(pem);
  while (in && certs.size() < max) {
    X509* cert = PEM_read_bio_X509(in.get(), nullptr, noPassphrase, nullptr);
    if (!cert) break;
    certs.emplace_back(cert);
  }
  ERR_clear_error();  // the end of the input shows up as an error
  return certs;
}

KeyPtr parsePrivateKey(const std::string& pem) {
  BioPtr in = readBio(pem);
  KeyPtr key(in ? PEM_read_bio_PrivateKey(in.get(), nullptr, noPassphrase, nullptr) : nullptr);
  ERR_clear_error();
  return key;
}

std::string certificatesToPem(const std::vector<X509Ptr>& certs) {
  BioPtr out(BIO_new(BIO_s_mem()));
  for (const X509Ptr& cert : certs) PEM_write_bio_X509(out.get(), cert.get());
  return drain(out.get());
}

std::string privateKeyToPem(EVP_PKEY* key) {
  BioPtr out(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(out.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  return drain(out.get());
}

std::string subjectOf(X509* cert) { return nameOf(X509_get_subject_name(cert)); }
std::string issuerOf(X509* cert) { return nameOf(X509_get_issuer_name(cert)); }

std::string notBeforeOf(X509* cert) { return timeText(X509_get0_notBefore(cert)); }
std::string notAfterOf(X509* cert) { return timeText(X509_get0_notAfter(cert)); }

std::string sha256FingerprintOf(X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(cert, EVP_sha256(), digest, &length) != 1) return "?";
  static const char HEX[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    if (i) text += ':';
    text += HEX[digest[i] >> 4];
    text += HEX[digest[i] & 15];
  }
  return text;
}

std::string takeOpensslError(const std::string& fallback) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return fallback;
  const char* reason = ERR_reason_error_string(code);
  return reason ? reason : fallback;
}

}  // namespace platformd
