#include "peers/tls_context.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <cstring>

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

// What a stream keeps beside its SSL object: whom its peer must be, why the
// handshake refused the peer's key, and the guard over later messages.
struct StreamState {
  std::optional<Identifier> expected;
  std::optional<PeerKeyProblem> problem;
  std::shared_ptr<PostHandshakeGuard> guard;
};

void freeState(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<StreamState*>(ptr);
}

int stateIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, &freeState);
  return index;
}

StreamState* stateOf(SSL* ssl, bool create) {
  if (!ssl) return nullptr;
  auto* state = static_cast<StreamState*>(SSL_get_ex_data(ssl, stateIndex()));
  if (state || !create) return state;
  state = new StreamState;
  if (SSL_set_ex_data(ssl, stateIndex(), state) != 1) {
    delete state;
    return nullptr;
  }
  return state;
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

}  // namespace

// The verify callback's way to the context's log limiter (asio keeps the
// context's app data for itself).
struct TlsRefusals {
  static int index() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
  }
  static KeyedLogLimiter* of(SSL* ssl) {
    auto* context =
        ssl ? static_cast<TlsContext*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), index()))
            : nullptr;
    return context ? &context->_refusalLog : nullptr;
  }
};

namespace {

// Replaces chain building: a device certificate's issuer vouches for nothing,
// and TLS 1.3 has already checked that the peer signed the handshake with its
// key. Anyone can knock, so the lines go through the context's limiter.
int verifyPeerKey(X509_STORE_CTX* store, void*) {
  auto* ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* state = stateOf(ssl, true);
  KeyedLogLimiter* limiter = TlsRefusals::of(ssl);
  const auto identifier = identifierOfCertificate(X509_STORE_CTX_get0_cert(store));
  if (!identifier) {
    if (state) state->problem = PeerKeyProblem{PeerKeyProblem::Kind::NoDeviceKey, {}, {}};
    if (limiter) {
      QUR_LOG_LIMITED_KIND(*limiter, "no key", LogFlagWarning,
                           "Refusing a peer whose certificate holds no Ed25519 key");
    }
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
  if (state && state->expected && *state->expected != *identifier) {
    state->problem =
        PeerKeyProblem{PeerKeyProblem::Kind::Unexpected, *identifier, *state->expected};
    if (limiter) {
      QUR_LOG_LIMITED_KIND(
          *limiter, "unexpected key", LogFlagWarning, "Refusing peer key %s (%s): expected %s",
          identifierToHex(*identifier).c_str(), fingerprintForIdentifier(*identifier).c_str(),
          identifierToHex(*state->expected).c_str());
    }
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
  }
  return 1;
}

// Every record passes here; only handshake messages the peer sends count.
void onTlsMessage(int writing, int, int contentType, const void*, size_t, SSL* ssl, void*) {
  if (writing || contentType != SSL3_RT_HANDSHAKE) return;
  if (auto* state = stateOf(ssl, false); state && state->guard) state->guard->received();
}

// The issuer's key: anyone may derive it, which is the point.
constexpr const char* kIssuerSeedText =
    "qur-wtalkie device certificate issuer: this key is public and vouches for nothing";
constexpr const char* kIssuerName = "qur-wtalkie public issuer";

struct Issuer {
  Pkey key;
  X509Ptr certificate;
};

const Issuer& issuer() {
  static const Issuer made = [] {
    Issuer issuer;
    std::array<unsigned char, 32> seed{};
    unsigned int length = 0;
    EVP_Digest(kIssuerSeedText, std::strlen(kIssuerSeedText), seed.data(), &length, EVP_sha256(),
               nullptr);
    issuer.key.reset(
        EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), seed.size()));
    X509Ptr certificate(X509_new());
    if (!issuer.key || !certificate) return issuer;
    X509* x = certificate.get();
    X509_NAME* name = X509_get_subject_name(x);
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, x, x, nullptr, nullptr, 0);
    auto addExtension = [&](int nid, const char* value) {
      X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
      const bool ok = extension && X509_add_ext(x, extension, -1) == 1;
      X509_EXTENSION_free(extension);
      return ok;
    };
    // Fixed fields and a deterministic signature: the same certificate,
    // byte for byte, in every build and on every device.
    const bool ok =
        X509_set_version(x, 2) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(x), 1) == 1 &&
        ASN1_TIME_set_string_X509(X509_getm_notBefore(x), "20000101000000Z") == 1 &&
        ASN1_TIME_set_string_X509(X509_getm_notAfter(x), "99991231235959Z") == 1 &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(kIssuerName), -1, -1,
                                   0) == 1 &&
        X509_set_issuer_name(x, name) == 1 && X509_set_pubkey(x, issuer.key.get()) == 1 &&
        addExtension(NID_basic_constraints, "critical,CA:TRUE") &&
        addExtension(NID_key_usage, "critical,keyCertSign") &&
        X509_sign(x, issuer.key.get(), nullptr) > 0;
    if (ok) issuer.certificate = std::move(certificate);
    ERR_clear_error();
    return issuer;
  }();
  return made;
}

X509Ptr makeCertificate(EVP_PKEY* key, const Identifier& identifier) {
  const Issuer& by = issuer();
  X509Ptr certificate(X509_new());
  if (!certificate || !by.certificate) return nullptr;
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
                  X509_set_issuer_name(x, X509_get_subject_name(by.certificate.get())) == 1 &&
                  X509_set_pubkey(x, key) == 1 &&
                  X509_sign(x, by.key.get(), nullptr) > 0;  // Ed25519: no separate digest
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
  SSL_CTX_set_ex_data(ctx, TlsRefusals::index(), tls.get());
  return tls;
}

bool TlsContext::expectPeer(TlsStream& stream, const Identifier& expected) {
  auto* state = stateOf(stream.native_handle(), true);
  if (!state) return false;
  state->expected = expected;
  return true;
}

std::optional<Identifier> TlsContext::peerIdentifier(TlsStream& stream) {
  SSL* ssl = stream.native_handle();
  if (!SSL_is_init_finished(ssl)) return std::nullopt;
  return identifierOfCertificate(SSL_get0_peer_certificate(ssl));
}

std::optional<PeerKeyProblem> TlsContext::keyProblem(TlsStream& stream) {
  auto* state = stateOf(stream.native_handle(), false);
  return state ? state->problem : std::nullopt;
}

void TlsContext::guardPostHandshake(TlsStream& stream, std::shared_ptr<PostHandshakeGuard> guard) {
  SSL* ssl = stream.native_handle();
  auto* state = stateOf(ssl, true);
  if (!state) return;
  state->guard = std::move(guard);
  SSL_set_msg_callback(ssl, &onTlsMessage);
}

std::string TlsContext::issuerCertificatePem() {
  const Issuer& by = issuer();
  if (!by.certificate) return {};
  BIO* bio = BIO_new(BIO_s_mem());
  std::string pem;
  if (bio && PEM_write_bio_X509(bio, by.certificate.get()) == 1) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    if (n > 0) pem.assign(data, static_cast<std::size_t>(n));
  }
  BIO_free(bio);
  return pem;
}

void PostHandshakeGuard::arm(Clock::time_point now) {
  _armed = true;
  _last = now;
}

void PostHandshakeGuard::received(Clock::time_point now) {
  if (!_armed || _flooded) return;
  ++_count;
  const double refilled =
      std::chrono::duration<double>(now - _last) / std::chrono::duration<double>(kRefill);
  _tokens = std::min<double>(kBurst, _tokens + refilled);
  _last = now;
  if (_tokens >= 1) {
    _tokens -= 1;
    return;
  }
  _flooded = true;
  if (_onFlood) _onFlood();
}

}  // namespace qur::peers
