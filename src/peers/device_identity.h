// The device's long-term key pair (Ed25519). Its identifier is the first 16
// bytes of SHA-256 over the raw public key, so an identifier can only be
// claimed by whoever holds the private key.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "peers/protocol.h"

namespace qur {

class DeviceIdentity {
 public:
  static constexpr std::size_t kKeySize = 32;
  using PublicKey = std::array<std::uint8_t, kKeySize>;

  // The key file's name inside the configuration folder.
  static constexpr const char* kKeyFileName = "device-key.pem";

  // What loading the key found, for the user.
  struct LoadReport {
    // Why there is no key (a folder or file that must not be used, a key
    // that cannot be stored).
    std::string problem;
    // A damaged or unreadable key was kept here and a new one made: peers
    // that pinned the old one will see "key changed".
    std::filesystem::path replacedKeptAs;
  };

  // Loads the key from <directory>/device-key.pem, or makes and stores a new
  // one (0600, folder 0700) when the file is missing or unreadable. A file
  // that is there but is not an Ed25519 private key is renamed
  // "device-key.pem.corrupt-<time>" and reported, then a new key is made.
  // A folder or key file that is someone else's, writable by others, or a
  // symbolic link is not used (private_files.h). An empty directory means
  // defaultConfigDirectory(). Null, with a log line, when no key can be
  // loaded or stored. Any thread; processes starting together on one folder
  // end up with the same key.
  static std::shared_ptr<const DeviceIdentity> loadOrCreate(
      const std::filesystem::path& directory = {}, LoadReport* report = nullptr);
  // A fresh key kept only in memory. Null when the crypto library fails.
  static std::shared_ptr<const DeviceIdentity> generate();
  // A key from PKCS#8 PEM text; null for anything else. Any thread.
  static std::shared_ptr<const DeviceIdentity> fromPem(std::string_view pem);

  ~DeviceIdentity();
  DeviceIdentity(const DeviceIdentity&) = delete;
  DeviceIdentity& operator=(const DeviceIdentity&) = delete;

  const PublicKey& publicKey() const { return _publicKey; }
  const peers::Identifier& identifier() const { return _identifier; }
  // 32 lowercase hex digits, as the TXT record and the Hello carry it.
  std::string identifierString() const { return peers::identifierToHex(_identifier); }
  // Four groups of four base32 characters, for people to compare.
  std::string fingerprint() const;
  // The private key as PKCS#8 PEM, the key file's contents.
  std::string toPem() const;
  // The 32-byte private seed; for the TLS context only.
  std::span<const std::uint8_t, kKeySize> privateSeed() const { return _seed; }

 private:
  friend struct DeviceIdentityMaker;
  DeviceIdentity(const std::array<std::uint8_t, kKeySize>& seed, const PublicKey& publicKey);

  std::array<std::uint8_t, kKeySize> _seed{};
  PublicKey _publicKey{};
  peers::Identifier _identifier{};
};

namespace peers {
// First 16 bytes of SHA-256 of the raw 32-byte public key.
Identifier identifierForPublicKey(std::span<const std::uint8_t, 32> publicKey);
// "ABCD EFGH IJKL MNOP": base32 of the identifier's first 10 bytes.
std::string fingerprintForIdentifier(const Identifier& identifier);
}  // namespace peers

}  // namespace qur
