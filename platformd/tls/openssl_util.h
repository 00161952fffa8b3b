// Owning handles and small helpers around OpenSSL.
#pragma once

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/status.h"

namespace platformd {

struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};
struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;

// The certificates in `pem`, in order (at most `max`); text around them
// is ignored. Empty when there is none.
std::vector<X509Ptr> parseCertificates(const std::string& pem, size_t max);
// The unencrypted private key in `pem`, or null.
KeyPtr parsePrivateKey(const std::string& pem);
// PEM text of certificates and of a key (unencrypted).
std::string certificatesToPem(const std::vector<X509Ptr>& certs);
std::string privateKeyToPem(EVP_PKEY* key);

// One-line forms for people: the subject or issuer (RFC 2253), the start
// and end of validity as "YYYY-MM-DD HH:MM:SS UTC", and the SHA-256
// fingerprint of the DER form as 32 upper-case hex pairs joined by ':' (as
// `openssl x509 -fingerprint -sha256` prints it).
std::string subjectOf(X509* cert);
std::string issuerOf(X509* cert);
std::string notBeforeOf(X509* cert);
std::string notAfterOf(X509* cert);
std::string sha256FingerprintOf(X509* cert);

// The reason of the oldest error on OpenSSL's error queue (which it then
// clears), or `fallback` when there is none.
std::string takeOpensslError(const std::string& fallback);

}  // namespace platformd
