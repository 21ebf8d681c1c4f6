// Clients that are not this program, against a real device process on
// loopback: Python's ssl module inviting it and being invited by it as the
// documents describe, and a client that floods TLS key updates on an
// admitted link.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "peers/device_identity.h"
#include "peers/protocol.h"
#include "peers/tls_context.h"
#include "private_folder.h"
#include "support/raw_tls_client.h"
#include "tool_process.h"

namespace qur::testing {
namespace {

using namespace std::chrono_literals;

// The issuer certificate as docs/keys.md prints it.
std::string documentedIssuer() {
  const std::string keys = readText(std::filesystem::path(QUR_DOCS_DIR) / "keys.md");
  const auto begin = keys.find("-----BEGIN CERTIFICATE-----");
  const auto end = keys.find("-----END CERTIFICATE-----");
  if (begin == std::string::npos || end == std::string::npos) return {};
  return keys.substr(begin, end + 25 - begin) + "\n";
}

// A device as `run --accept auto` is one, listening on loopback.
std::unique_ptr<ToolProcess> startDevice() {
  auto device = std::make_unique<ToolProcess>(std::make_unique<ChildProcess>(
      std::vector<std::string>{peerToolPath(), "--name", "device", "--interfaces", "lo"}));
  device->command("handler accept");
  device->command("advertise on");
  return device;
}

TEST(IndependentClient, PythonsSslModuleInvitesTheDeviceAndIsInvitedByIt) {
  const std::string issuer = documentedIssuer();
  ASSERT_EQ(issuer, peers::TlsContext::issuerCertificatePem())
      << "docs/keys.md must print the issuer devices use";
  PrivateFolder folder;
  const std::string issuerFile = (folder.path() / "issuer.pem").string();
  writeText(issuerFile, issuer);
  const std::string script = std::string(QUR_TESTS_DIR) + "/peers/python_peer.py";
  auto device = startDevice();
  ASSERT_TRUE(device->ok());

  // Inviting: the client checks the device's key, is accepted, is heard.
  ChildProcess inviter({"/usr/bin/python3", script, issuerFile, "invite", "127.0.0.1",
                        std::to_string(device->port), device->id});
  EXPECT_TRUE(inviter.waitForPrefix("proven " + device->id, 15s));
  EXPECT_TRUE(inviter.waitForPrefix("accepted", 10s));
  const auto heard = device->waitFor([](const std::string& l) {
    return l.rfind("data ", 0) == 0 && l.ends_with(" hello from python");
  });
  EXPECT_TRUE(heard) << "the device did not hear the client";
  device->command("send bye");
  EXPECT_EQ(inviter.closeAndWait(10s), 0);

  // Invited: the client verifies the device's certificate against the
  // public issuer, checks that the Hello names the proven key, accepts.
  ChildProcess invited({"/usr/bin/python3", script, issuerFile, "listen"});
  const auto listening = invited.waitForPrefix("listening ", 15s);
  ASSERT_TRUE(listening);
  std::istringstream words(listening->substr(10));
  std::string port, clientId;
  words >> port >> clientId;
  device->command("invite-at 127.0.0.1 " + port);
  EXPECT_TRUE(invited.waitForPrefix("proven " + device->id, 10s));
  EXPECT_TRUE(invited.waitForPrefix("hello " + device->id, 10s));
  EXPECT_TRUE(invited.waitForPrefix("accepted", 10s));
  ASSERT_TRUE(device->sawPrefix("state " + clientId + " 2"));
  device->command("send hello from the device");
  EXPECT_TRUE(invited.waitForPrefix("data hello from the device", 10s));
  EXPECT_EQ(invited.closeAndWait(10s), 0);
  for (const auto& line : invited.lines()) EXPECT_NE(line.rfind("error", 0), 0u) << line;
}

// 100 000 key updates on an admitted link once cost the device seconds of
// CPU; now the link is closed after a few, and the device goes on.
TEST(IndependentClient, AdmittedPeerFloodingKeyUpdatesIsCutOff) {
  std::signal(SIGPIPE, SIG_IGN);
  auto device = startDevice();
  ASSERT_TRUE(device->ok());
  RawTlsClient flooder(static_cast<std::uint16_t>(device->port));
  ASSERT_TRUE(flooder.ok());
  ASSERT_TRUE(flooder.join());
  ASSERT_TRUE(device->sawPrefix("state " + flooder.id() + " 2"));
  int sent = 0;
  while (sent < 100000 && flooder.updateKey()) ++sent;
  std::printf("the device closed the link after %d key updates\n", sent);
  EXPECT_LT(sent, 20000) << "cut off late, or never";
  EXPECT_TRUE(device->sawPrefix("state " + flooder.id() + " 0"));
  // The next peer is served as usual.
  RawTlsClient next(static_cast<std::uint16_t>(device->port));
  ASSERT_TRUE(next.ok());
  EXPECT_TRUE(next.join());
}

}  // namespace
}  // namespace qur::testing
