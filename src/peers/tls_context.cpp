#include "peers/tls_context.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <array>

#include "log/log.h"

namespace qur::peers {

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BigNum = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;

void freeExpected(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<Identifier*>(ptr);
}

// Where a stream keeps the identifier its peer must have.
int expectedIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, &freeExpected);
  return index;
}

std::optional<Identifier> identifierOfCertificate(X509* certificate) {
  EVP_PKEY* key = certificate ? X509_get0_pubkey(certificate) : nullptr;
  if (!key || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) return std::nullopt;
  std::array<std::uint8_t, 32> raw{};
  std::size_t length = raw.size();
  if (EVP_PKEY_get_raw_public_key(key, raw.data(), &length) != 1 || length != raw.size())
    return std::nullopt;
  return identifierForPublicKey(raw);
}

// Replaces chain building: a self-signed certificate is all a peer has, and
// TLS 1.3 has already checked that the peer signed the handshake with its key.
int verifyPeerKey(X509_STORE_CTX* store, void*) {
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  const auto identifier = identifierOfCertificate(X509_STORE_CTX_get0_cert(store));
  if (!identifier) {
    QUR_LOG_ERROR("Refusing a peer whose certificate holds no Ed25519 key");
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
  const auto* expected =
      ssl ? static_cast<const Identifier*>(SSL_get_ex_data(ssl, expectedIndex())) : nullptr;
  if (expected && *expected != *identifier) {
    QUR_LOG_ERROR("Refusing peer key %s (%s): expected %s", identifierToHex(*identifier).c_str(),
                  fingerprintForIdentifier(*identifier).c_str(),
                  identifierToHex(*expected).c_str());
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
  return 1;
}

X509Ptr makeCertificate(EVP_PKEY* key, const Identifier& identifier) {
  X509Ptr certificate(X509_new());
  if (!certificate) return nullptr;
  X509* x = certificate.get();
  std::array<unsigned char, 16> serial{};
  if (RAND_bytes(serial.data(), static_cast<int>(serial.size())) != 1) return nullptr;
  serial[0] &= 0x7f;  // a positive serial number
  BigNum number(BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr));
  // Nobody checks the dates: the key is what is trusted, and device clocks
  // may be far off. Never expiring avoids refusing a correct peer.
  const std::string commonName = "qur-wtalkie " + identifierToHex(identifier);
  X509_NAME* name = X509_get_subject_name(x);
  const bool ok = number && X509_set_version(x, 2) == 1 &&
                  BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(x)) != nullptr &&
                  X509_gmtime_adj(X509_getm_notBefore(x), -24 * 3600) != nullptr &&
                  ASN1_TIME_set_string_X509(X509_getm_notAfter(x), "99991231235959Z") == 1 &&
                  X509_NAME_add_entry_by_txt(
                      name, "CN", MBSTRING_UTF8,
                      reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1 &&
                  X509_set_issuer_name(x, name) == 1 && X509_set_pubkey(x, key) == 1 &&
                  X509_sign(x, key, nullptr) > 0;  // Ed25519 signs without a separate digest
  if (!ok) return nullptr;
  return certificate;
}

}  // namespace

TlsContext::TlsContext() : _context(asio::ssl::context::tls) {}

TlsContext::~TlsContext() = default;

std::shared_ptr<TlsContext> TlsContext::create(const DeviceIdentity& identity) {
  std::shared_ptr<TlsContext> tls;
  try {
    tls.reset(new TlsContext());
  } catch (const std::exception& e) {
    QUR_LOG_ERROR("Cannot make a TLS context: %s", e.what());
    return nullptr;
  }
  tls->_localIdentifier = identity.identifier();
  SSL_CTX* ctx = tls->_context.native_handle();
  const auto seed = identity.privateSeed();
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
  X509Ptr certificate = key ? makeCertificate(key.get(), identity.identifier()) : nullptr;
  const bool ok = certificate && SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) == 1 &&
                  SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1 &&
                  SSL_CTX_use_certificate(ctx, certificate.get()) == 1 &&
                  SSL_CTX_use_PrivateKey(ctx, key.get()) == 1 &&
                  SSL_CTX_check_private_key(ctx) == 1;
  if (!ok) {
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    QUR_LOG_ERROR("Cannot set up TLS with the device key: %s",
                  error ? ERR_reason_error_string(error) : "no certificate");
    return nullptr;
  }
  // Every connection is a fresh handshake: a resumed session would skip the
  // certificates, and with them the check of who the peer is.
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  SSL_CTX_set_cert_verify_callback(ctx, &verifyPeerKey, nullptr);
  return tls;
}

bool TlsContext::expectPeer(TlsStream& stream, const Identifier& expected) {
  SSL* ssl = stream.native_handle();
  auto* previous = static_cast<Identifier*>(SSL_get_ex_data(ssl, expectedIndex()));
  auto* copy = new Identifier(expected);
  if (SSL_set_ex_data(ssl, expectedIndex(), copy) != 1) {
    delete copy;
    return false;
  }
  delete previous;
  return true;
}

std::optional<Identifier> TlsContext::peerIdentifier(TlsStream& stream) {
  SSL* ssl = stream.native_handle();
  if (!SSL_is_init_finished(ssl)) return std::nullopt;
  return identifierOfCertificate(SSL_get0_peer_certificate(ssl));
}

}  // namespace qur::peers
