#include "peers/device_identity.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstring>

#include "log/log.h"
#include "peers/private_files.h"

namespace qur {

namespace fs = std::filesystem;

namespace {

// A PEM text is a few hundred bytes; anything far larger is not a key file.
constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

std::shared_ptr<const DeviceIdentity> fromPkey(
    EVP_PKEY* key,
    std::shared_ptr<const DeviceIdentity> (*make)(const std::array<std::uint8_t, 32>&,
                                                  const DeviceIdentity::PublicKey&)) {
  if (!key || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) return nullptr;
  std::array<std::uint8_t, 32> seed{};
  DeviceIdentity::PublicKey pub{};
  std::size_t seedLen = seed.size(), pubLen = pub.size();
  if (EVP_PKEY_get_raw_private_key(key, seed.data(), &seedLen) != 1 || seedLen != seed.size() ||
      EVP_PKEY_get_raw_public_key(key, pub.data(), &pubLen) != 1 || pubLen != pub.size())
    return nullptr;
  auto identity = make(seed, pub);
  OPENSSL_cleanse(seed.data(), seed.size());
  return identity;
}

// Never asks a terminal for a pass phrase: an encrypted key is not ours.
int noPassphrase(char*, int, int, void*) {
  return -1;
}

}  // namespace

struct DeviceIdentityMaker {
  static std::shared_ptr<const DeviceIdentity> make(const std::array<std::uint8_t, 32>& seed,
                                                    const DeviceIdentity::PublicKey& pub) {
    return std::shared_ptr<const DeviceIdentity>(new DeviceIdentity(seed, pub));
  }
};

DeviceIdentity::DeviceIdentity(const std::array<std::uint8_t, kKeySize>& seed,
                               const PublicKey& publicKey)
    : _seed(seed), _publicKey(publicKey), _identifier(peers::identifierForPublicKey(publicKey)) {}

DeviceIdentity::~DeviceIdentity() {
  OPENSSL_cleanse(_seed.data(), _seed.size());
}

std::shared_ptr<const DeviceIdentity> DeviceIdentity::generate() {
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  auto identity = fromPkey(key.get(), &DeviceIdentityMaker::make);
  if (!identity) {
    ERR_clear_error();
    QUR_LOG_ERROR("Cannot make an Ed25519 key");
  }
  return identity;
}

std::shared_ptr<const DeviceIdentity> DeviceIdentity::fromPem(std::string_view pem) {
  if (pem.size() > kMaxKeyFileBytes) return nullptr;
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return nullptr;
  Pkey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, &noPassphrase, nullptr));
  auto identity = fromPkey(key.get(), &DeviceIdentityMaker::make);
  // Parse failures leave entries on this thread's error queue; later TLS
  // calls on it must not mistake them for their own.
  ERR_clear_error();
  return identity;
}

std::string DeviceIdentity::toPem() const {
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, _seed.data(), _seed.size()));
  Bio bio(BIO_new(BIO_s_mem()));
  std::string pem;
  if (key && bio &&
      PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    if (n > 0) pem.assign(data, static_cast<std::size_t>(n));
    // The memory BIO held the private key in clear.
    if (n > 0) OPENSSL_cleanse(data, static_cast<std::size_t>(n));
  }
  ERR_clear_error();
  return pem;
}

std::string DeviceIdentity::fingerprint() const {
  return peers::fingerprintForIdentifier(_identifier);
}

std::shared_ptr<const DeviceIdentity> DeviceIdentity::loadOrCreate(const fs::path& directory,
                                                                   LoadReport* report) {
  LoadReport ignored;
  if (!report) report = &ignored;
  const fs::path dir = directory.empty() ? peers::defaultConfigDirectory() : directory;
  if (!peers::ensurePrivateDirectory(dir, &report->problem)) return nullptr;
  const fs::path path = dir / kKeyFileName;
  auto refuse = [&](const std::string& why) -> std::shared_ptr<const DeviceIdentity> {
    QUR_LOG_ERROR("Device key file %s %s; not using it", path.c_str(), why.c_str());
    report->problem = "the device key " + path.string() + " " + why;
    return nullptr;
  };
  // A second round only when another process created the file meanwhile.
  for (int attempt = 0; attempt < 3; ++attempt) {
    int error = 0;
    std::string unsafe;
    const auto text = peers::readSmallFile(path, kMaxKeyFileBytes, &error, &unsafe, true);
    if (!unsafe.empty()) return refuse(unsafe);
    if (text) {
      if (auto identity = fromPem(*text)) return identity;
      const auto aside = peers::setFileAside(path, "corrupt");
      // Never overwrite a key we could not keep.
      if (aside.empty()) return refuse("is damaged and cannot be set aside");
      report->replacedKeptAs = aside;
      QUR_LOG_ERROR("Device key file %s is damaged: kept as %s, making a new key", path.c_str(),
                    aside.c_str());
    } else if (error == ENOENT) {
      QUR_LOG_INFO("No device key in %s, making a new one", dir.c_str());
    } else {
      const auto aside = peers::setFileAside(path, error == EFBIG ? "corrupt" : "unreadable");
      if (aside.empty()) return refuse("cannot be read or set aside");
      report->replacedKeptAs = aside;
      QUR_LOG_ERROR("Device key file %s cannot be read (%s): kept as %s, making a new key",
                    path.c_str(), error == EFBIG ? "too large" : std::strerror(error),
                    aside.c_str());
    }
    auto identity = generate();
    if (!identity) return refuse("cannot be made: the crypto library failed");
    const std::string pem = identity->toPem();
    if (pem.empty()) return refuse("cannot be encoded");
    switch (peers::writeFileAtomically(path, pem, peers::WriteMode::CreateOnly)) {
      case peers::WriteResult::Written:
        QUR_LOG_INFO("Made device key %s (fingerprint %s) in %s",
                     identity->identifierString().c_str(), identity->fingerprint().c_str(),
                     path.c_str());
        return identity;
      case peers::WriteResult::Exists:
        continue;
      case peers::WriteResult::Failed:
        return refuse("cannot be stored (the log says why)");
    }
  }
  return refuse("keeps changing");
}

namespace peers {

Identifier identifierForPublicKey(std::span<const std::uint8_t, 32> publicKey) {
  std::array<unsigned char, 32> digest{};
  unsigned int length = 0;
  EVP_Digest(publicKey.data(), publicKey.size(), digest.data(), &length, EVP_sha256(), nullptr);
  Identifier identifier{};
  std::memcpy(identifier.data(), digest.data(), identifier.size());
  return identifier;
}

std::string fingerprintForIdentifier(const Identifier& identifier) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  // 10 bytes are 80 bits: sixteen 5-bit characters.
  std::string out;
  std::uint32_t bits = 0;
  int held = 0;
  int written = 0;
  for (std::size_t i = 0; i < 10; ++i) {
    bits = (bits << 8) | identifier[i];
    held += 8;
    while (held >= 5) {
      held -= 5;
      if (written > 0 && written % 4 == 0) out += ' ';
      out += kAlphabet[(bits >> held) & 31];
      ++written;
    }
  }
  return out;
}

}  // namespace peers

}  // namespace qur
