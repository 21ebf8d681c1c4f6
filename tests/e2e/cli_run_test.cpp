// `qur-wtalkie-cli run` as a user or a script meets it: the real program,
// its standard input and output, signals, and peers in network namespaces.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/recording_analysis.h"
#include "peers/device_identity.h"
#include "peers/known_peers.h"
#include "support/child_process.h"
#include "support/cli_runner.h"
#include "support/e2e_support.h"
#include "support/json_check.h"
#include "support/json_field.h"
#include "support/netns.h"
#include "support/pulse_server.h"

namespace qur {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::isEvent;
using testing::JsonCheck;
using testing::jsonField;
using testing::NetnsLab;
using testing::Runner;
using testing::TempDir;
using testing::uniqueName;
using testing::wavSizesComplete;

// Standard output and error together.
testing::ShellResult runCli(const std::string& arguments) {
  return testing::runShell(std::string(QUR_CLI_PATH) + " " + arguments + " 2>&1 </dev/null");
}

// "2026-12-08 05:47:59:539 qur-wtalkie-cli[30083:7f9d...] ": the log format.
bool hasLogLine(const std::string& output) {
  static const std::regex logLine(R"((^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3} \S+\[\d+:)");
  return std::regex_search(output, logLine);
}

// ---- pinned keys -------------------------------------------------------------

TEST(CliTrust, ListsAndForgetsPinnedKeysInTheDevicesFolder) {
  TempDir dir;
  const std::filesystem::path folder = dir.path("config");
  auto desk = DeviceIdentity::generate();
  auto kitchen = DeviceIdentity::generate();
  ASSERT_TRUE(desk && kitchen);
  {
    KnownPeers pins(folder);
    ASSERT_TRUE(pins.pin("desk laptop", desk->identifier()));
    ASSERT_TRUE(pins.pin("kitchen", kitchen->identifier()));
  }
  setenv("QUR_WTALKIE_CONFIG_DIR", folder.c_str(), 1);
  auto run = [](std::vector<std::string> args) {
    args.insert(args.begin(), QUR_CLI_PATH);
    auto process = std::make_unique<ChildProcess>(args);
    std::vector<std::string> lines;
    while (auto line = process->readLine(15s)) lines.push_back(*line);
    const int status = process->closeAndWait(15s);
    return std::make_pair(status, lines);
  };
  auto [listed, lines] = run({"trust", "list"});
  EXPECT_EQ(listed, 0);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "desk laptop  " + desk->fingerprint() + "  " + desk->identifierString());
  EXPECT_EQ(lines[1], "kitchen  " + kitchen->fingerprint() + "  " + kitchen->identifierString());

  EXPECT_EQ(run({"trust", "forget", "desk laptop"}).first, 0);
  EXPECT_EQ(run({"trust", "forget", "desk laptop"}).first, 1) << "nothing left to forget";
  EXPECT_EQ(run({"trust", "forget"}).first, 2);
  unsetenv("QUR_WTALKIE_CONFIG_DIR");
  KnownPeers after(folder);
  EXPECT_FALSE(after.pinned("desk laptop"));
  EXPECT_EQ(after.pinned("kitchen"), kitchen->identifier());
}

// ---- a single program and its input ----------------------------------------

class CliRunInput : public ::testing::Test {
 protected:
  void SetUp() override { setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1); }

  Runner start(const std::string& name) {
    return Runner(std::make_unique<ChildProcess>(std::vector<std::string>{
        QUR_CLI_PATH, "run", "--name", uniqueName(name), "--audio", "virtual", "--accept", "never",
        "--interface", "lo", "--events", "json"}));
  }
};

TEST_F(CliRunInput, EventsStayValidJsonWhateverBytesAreTyped) {
  Runner runner = start("json");
  ASSERT_TRUE(runner.wait("ready"));
  std::mt19937 random(17);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int line = 0; line < 200; ++line) {
    std::string bytes;
    for (int i = 0; i < 1 + line % 40; ++i) {
      const char c = char(byte(random));
      bytes += c == '\n' ? 'x' : c;
    }
    runner.send(bytes);
  }
  runner.send("invite \xff\xfe\xc0\x80 \x1b[2J");
  runner.send(std::string(1 << 20, 'z'));
  runner.send("talk \xed\xa0\x80");
  runner.send("status");
  ASSERT_TRUE(runner.wait("status", std::nullopt, std::nullopt, 30s)) << runner.tail();
  EXPECT_EQ(runner.process().quit(15s), 0);

  std::size_t errors = 0;
  for (const auto& line : runner.process().lines()) {
    EXPECT_TRUE(JsonCheck::isValid(line)) << line.substr(0, 300);
    if (!isEvent(line, "error")) continue;
    ++errors;
    // A bad command is echoed, never a megabyte of it.
    EXPECT_LT(line.size(), 400u) << line.substr(0, 300);
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
  }
  // Blank-looking lines are ignored; most random lines are refused.
  EXPECT_GT(errors, 150u);
}

TEST_F(CliRunInput, SharpEdgesAnswerInWords) {
  Runner runner = start("edges");
  ASSERT_TRUE(runner.wait("ready"));
  runner.send("help");
  const auto help = runner.wait("help", std::nullopt, std::nullopt, 10s);
  ASSERT_TRUE(help) << runner.tail();
  EXPECT_NE(help->find("talk SECONDS"), std::string::npos);
  EXPECT_NE(help->find("invite NAME"), std::string::npos);

  // The message names the range that is really accepted.
  runner.send("talk 0");
  auto error = runner.wait("error");
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("more than 0"), std::string::npos) << *error;
  runner.send("talk 3600.5");
  ASSERT_TRUE(runner.wait("error"));

  runner.send("disconnect");
  error = runner.wait("error");
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("not connected"), std::string::npos) << *error;

  runner.send("accept");
  error = runner.wait("error");
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("no invitation"), std::string::npos) << *error;
  EXPECT_EQ(runner.process().quit(15s), 0);

  // A name the session would cut is refused rather than changed silently.
  const std::string longName(80, 'n');
  auto r = runCli("run --audio virtual --name " + longName);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("at most 63"), std::string::npos) << r.output;
  // Exactly the longest allowed name is no error: the process starts.
  Runner longest(std::make_unique<ChildProcess>(
      std::vector<std::string>{QUR_CLI_PATH, "run", "--name", std::string(63, 'm'), "--audio",
                               "virtual", "--interface", "lo", "--events", "json"}));
  const auto ready = longest.wait("ready", std::nullopt, std::nullopt, 15s);
  ASSERT_TRUE(ready);
  EXPECT_EQ(jsonField(*ready, "name"), std::string(63, 'm'));
  EXPECT_EQ(longest.process().quit(15s), 0);

  r = runCli("run --audio virtual --interface wlan9");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("no network interface 'wlan9'"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("lo"), std::string::npos) << "the interfaces that exist";

  r = runCli("run --mic-from-talk");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("--mic-from-talk needs --mic"), std::string::npos) << r.output;
}

TEST_F(CliRunInput, ErrorsAreSentencesWithoutLogLines) {
  TempDir dir;
  auto r = runCli("heard " + dir.path("nofile.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("cannot read " + dir.path("nofile.wav") + ": no such file"),
            std::string::npos)
      << r.output;
  EXPECT_FALSE(hasLogLine(r.output)) << r.output;

  {
    std::FILE* f = std::fopen(dir.path("text.wav").c_str(), "w");
    std::fputs("no audio", f);
    std::fclose(f);
  }
  r = runCli("run --mic " + dir.path("text.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.output.find("cannot decode microphone file"), std::string::npos) << r.output;
  EXPECT_FALSE(hasLogLine(r.output)) << r.output;

  // --verbose brings the log lines back for whoever wants them.
  r = runCli("run --verbose --mic " + dir.path("text.wav"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(hasLogLine(r.output)) << r.output;
}

// ---- sound devices on a private PulseAudio server ------------------------------

class CliRunDevices : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new testing::PulseServer();
    started = server->start(&startError);
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    if (!started) GTEST_SKIP() << "no PulseAudio server: " << startError;
    setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1);
    // ALSA's plugin loader leaves its libraries' static allocations behind
    // in the programs started here; under the leak checker they would turn
    // every exit status into a leak report.
    setenv("LSAN_OPTIONS", "suppressions=" QUR_LSAN_SUPPRESSIONS ":fast_unwind_on_malloc=0", 1);
  }
  void TearDown() override { unsetenv("LSAN_OPTIONS"); }

  static inline testing::PulseServer* server = nullptr;
  static inline bool started = false;
  static inline std::string startError;
};

TEST_F(CliRunDevices, ListedNamesOpenAndAWrongOneIsNamedWithTheChoices) {
  auto listing = runCli("devices");
  ASSERT_EQ(listing.status, 0) << listing.output;
  // "  NAME (2 in, 2 out) [default input]": the part before " (" is a name
  // --audio takes.
  static const std::regex deviceLine(R"(\n  (.+) \((\d+) in, (\d+) out\))");
  std::vector<std::string> duplex;
  for (std::sregex_iterator it(listing.output.begin(), listing.output.end(), deviceLine), end;
       it != end; ++it) {
    if (std::stoi((*it)[2]) > 0 && std::stoi((*it)[3]) > 0) duplex.push_back((*it)[1]);
  }
  ASSERT_FALSE(duplex.empty()) << listing.output;
  EXPECT_FALSE(hasLogLine(listing.output)) << listing.output;

  Runner chosen(std::make_unique<ChildProcess>(std::vector<std::string>{
      QUR_CLI_PATH, "run", "--name", uniqueName("pulse"), "--audio", "portaudio:" + duplex.front(),
      "--interface", "lo", "--events", "json"}));
  const auto ready = chosen.wait("ready", std::nullopt, std::nullopt, 20s);
  ASSERT_TRUE(ready) << chosen.tail();
  EXPECT_EQ(jsonField(*ready, "audio_started"), "true") << *ready;
  chosen.send("status");
  const auto status = chosen.wait("status");
  ASSERT_TRUE(status);
  // Whether it still runs depends on the loaded server keeping up; which
  // device it is does not.
  EXPECT_NE(jsonField(*status, "audio")->find(duplex.front()), std::string::npos) << *status;
  EXPECT_EQ(chosen.process().quit(15s), 0);

  auto wrong = runCli("run --audio portaudio:usbheadset --interface lo");
  EXPECT_EQ(wrong.status, 1) << wrong.output;
  EXPECT_NE(wrong.output.find("cannot open the sound device 'usbheadset'"), std::string::npos)
      << wrong.output;
  EXPECT_NE(wrong.output.find(duplex.front()), std::string::npos) << "names the devices that exist";
  EXPECT_FALSE(hasLogLine(wrong.output)) << wrong.output;

  // Asked to, it runs on without sound and says so.
  Runner silent(std::make_unique<ChildProcess>(std::vector<std::string>{
      QUR_CLI_PATH, "run", "--name", uniqueName("mute"), "--audio", "portaudio:usbheadset",
      "--continue-without-audio", "--interface", "lo", "--events", "json"}));
  const auto mute = silent.wait("ready", std::nullopt, std::nullopt, 20s);
  ASSERT_TRUE(mute) << silent.tail();
  EXPECT_EQ(jsonField(*mute, "audio_started"), "false") << *mute;
  silent.send("status");
  const auto silentStatus = silent.wait("status");
  ASSERT_TRUE(silentStatus);
  EXPECT_EQ(jsonField(*silentStatus, "audio_running"), "false") << *silentStatus;
  EXPECT_EQ(silent.process().quit(15s), 0);
}

// The sound server's devices: listed by description with their names, and
// both pick them; without --audio the program takes the server.
TEST_F(CliRunDevices, ServerDevicesAreListedByDescriptionAndTheServerIsTheDefault) {
  auto listing = runCli("devices");
  ASSERT_EQ(listing.status, 0) << listing.output;
  EXPECT_NE(listing.output.find("    Null Output [default]  (nullsink)"), std::string::npos)
      << listing.output;
  EXPECT_NE(listing.output.find("(nullsrc)"), std::string::npos) << listing.output;
  struct Case {
    std::vector<std::string> audio;
    const char* shown;  // in the status's audio field
  };
  const Case cases[] = {
      {{}, "sound server 'Null Output'"},
      {{"--audio", "pulse:Null Output"}, "sound server 'Null Output'"},
      {{"--audio", "pulse:nullsink"}, "sound server 'Null Output'"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {QUR_CLI_PATH,  "run", "--name",   uniqueName("server"),
                                     "--interface", "lo",  "--events", "json"};
    argv.insert(argv.end(), c.audio.begin(), c.audio.end());
    Runner runner(std::make_unique<ChildProcess>(argv));
    const auto ready = runner.wait("ready", std::nullopt, std::nullopt, 20s);
    ASSERT_TRUE(ready) << runner.tail();
    EXPECT_EQ(jsonField(*ready, "audio_started"), "true") << *ready;
    runner.send("status");
    const auto status = runner.wait("status");
    ASSERT_TRUE(status);
    EXPECT_EQ(jsonField(*status, "audio"), c.shown) << *status;
    EXPECT_EQ(runner.process().quit(15s), 0);
  }
  auto wrong = runCli("run --audio pulse:usbheadset --interface lo");
  EXPECT_EQ(wrong.status, 1) << wrong.output;
  EXPECT_NE(wrong.output.find("cannot open the sound device 'usbheadset'; devices: Null Output"),
            std::string::npos)
      << wrong.output;
}

// ---- peers in network namespaces ---------------------------------------------

class CliRunPeers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
    setenv("QUR_WTALKIE_SOUNDS", QUR_SOUNDS_DIR, 1);
    NetnsLab::removeStale("qurr");
  }

  Runner spawn(const NetnsLab& lab, int host, const std::string& name,
               const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {QUR_CLI_PATH, "run",         "--name",
                                     name,         "--interface", NetnsLab::kInterface,
                                     "--events",   "json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return Runner(lab.spawn(host, argv));
  }

  // a invites b, which accepts on its own.
  static void connect(Runner& a, const std::string& aName, Runner& b, const std::string& bName) {
    ASSERT_TRUE(a.wait("peer_found", bName)) << a.tail();
    a.send("invite " + bName);
    ASSERT_TRUE(b.wait("peer_connected", aName, std::nullopt, 15s)) << b.tail();
    ASSERT_TRUE(a.wait("peer_connected", bName, std::nullopt, 15s)) << a.tail();
  }

  TempDir dir;
};

TEST_F(CliRunPeers, EndingSignalsTellPeersAndCompleteTheRecording) {
  NetnsLab lab(2, "qurr");
  ASSERT_TRUE(lab.ok());
  Runner bravo = spawn(lab, 1, "bravo", {"--audio", "virtual", "--accept", "auto"});
  ASSERT_TRUE(bravo.wait("ready"));
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    const std::string name = "alpha" + std::to_string(signal);
    const std::string recording = dir.path(name + ".wav");
    Runner alpha = spawn(lab, 0, name, {"--speaker", recording, "--accept", "never"});
    ASSERT_TRUE(alpha.wait("ready"));
    connect(alpha, name, bravo, "bravo");
    ASSERT_TRUE(alpha.wait("connected", std::nullopt, "true")) << alpha.tail();
    // Bravo lists alpha, so that its leaving has something to remove.
    ASSERT_TRUE(bravo.wait("peer_found", name)) << bravo.tail();
    alpha.send("talk on");
    ASSERT_TRUE(bravo.wait("peer_talking", name, "true")) << bravo.tail();

    alpha.process().kill(signal);
    EXPECT_EQ(alpha.process().waitForExit(15s), 0) << alpha.tail();
    EXPECT_TRUE(wavSizesComplete(recording)) << "the recording's header was not written";
    // The end of the transmission, the session's end and the mDNS goodbye
    // reach bravo (a record left behind would stay listed for minutes).
    EXPECT_TRUE(bravo.wait("peer_talking", name, "false", 10s)) << bravo.tail();
    EXPECT_TRUE(bravo.wait("peer_disconnected", name, std::nullopt, 10s)) << bravo.tail();
    EXPECT_TRUE(bravo.wait("peer_lost", name, std::nullopt, 15s)) << bravo.tail();
  }
  EXPECT_EQ(bravo.process().quit(15s), 0);
}

TEST_F(CliRunPeers, TransmittingEndsWhenTheLastPeerLeaves) {
  NetnsLab lab(3, "qurr");
  ASSERT_TRUE(lab.ok());
  Runner alpha = spawn(lab, 0, "alpha", {"--audio", "virtual", "--accept", "never"});
  Runner bravo = spawn(lab, 1, "bravo", {"--audio", "virtual", "--accept", "auto"});
  Runner charlie = spawn(lab, 2, "charlie", {"--audio", "virtual", "--accept", "auto"});
  ASSERT_TRUE(alpha.wait("ready") && bravo.wait("ready") && charlie.wait("ready"));
  connect(alpha, "alpha", bravo, "bravo");
  ASSERT_TRUE(alpha.wait("connected", std::nullopt, "true")) << alpha.tail();
  connect(alpha, "alpha", charlie, "charlie");
  alpha.send("talk on");
  ASSERT_TRUE(alpha.wait("transmitting", std::nullopt, "true")) << alpha.tail();

  // One of two peers leaving changes nothing for the talker.
  EXPECT_EQ(bravo.process().quit(15s), 0);
  ASSERT_TRUE(alpha.wait("peer_disconnected", "bravo", std::nullopt, 10s)) << alpha.tail();
  alpha.send("status");
  auto status = alpha.wait("status");
  ASSERT_TRUE(status);
  EXPECT_EQ(jsonField(*status, "transmitting"), "true") << *status;

  EXPECT_EQ(charlie.process().quit(15s), 0);
  const auto ended = alpha.wait("transmitting", std::nullopt, "false", 10s);
  ASSERT_TRUE(ended) << alpha.tail();
  EXPECT_EQ(jsonField(*ended, "reason"), "no peer connected");
  alpha.send("status");
  status = alpha.wait("status");
  ASSERT_TRUE(status);
  EXPECT_EQ(jsonField(*status, "transmitting"), "false") << *status;
  EXPECT_EQ(jsonField(*status, "connected"), "false") << *status;
  alpha.send("talk off");
  const auto error = alpha.wait("error");
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("not transmitting"), std::string::npos);
  EXPECT_EQ(alpha.process().quit(15s), 0);
}

TEST_F(CliRunPeers, AMicrophoneThatFollowsTalkSendsThePhraseFromItsFirstWord) {
  const std::string raw = dir.path("raw.wav"), speech = dir.path("speech.wav");
  ASSERT_EQ(std::system(("espeak-ng -s 150 -w " + raw +
                         " 'One two three, the phrase begins with its first word' && sox " + raw +
                         " -r 44100 -c 2 " + speech + " >/dev/null 2>&1")
                            .c_str()),
            0);
  const auto phrase = loadAnalysisSignal(speech);
  ASSERT_TRUE(phrase);
  NetnsLab lab(2, "qurr");
  ASSERT_TRUE(lab.ok());
  Runner alpha = spawn(lab, 0, "alpha", {"--mic", speech, "--mic-from-talk", "--accept", "never"});
  Runner bravo = spawn(lab, 1, "bravo", {"--speaker", dir.path("bravo.wav"), "--accept", "auto"});
  ASSERT_TRUE(alpha.wait("ready") && bravo.wait("ready"));
  connect(alpha, "alpha", bravo, "bravo");
  ASSERT_TRUE(alpha.wait("connected", std::nullopt, "true")) << alpha.tail();
  // Talking starts well after the engine did: a file looping from engine
  // start would be mid-phrase by now.
  std::this_thread::sleep_for(1300ms);
  alpha.send("talk " + std::to_string(phrase->duration() + 0.3));
  ASSERT_TRUE(bravo.wait("peer_talking", "alpha", "true")) << bravo.tail();
  ASSERT_TRUE(bravo.wait("peer_talking", "alpha", "false", 30s)) << bravo.tail();
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(bravo.process().quit(15s), 0);
  EXPECT_EQ(alpha.process().quit(15s), 0);

  const auto heard = loadAnalysisSignal(dir.path("bravo.wav"));
  ASSERT_TRUE(heard);
  const auto beep = loadAnalysisSignal(std::string(QUR_SOUNDS_DIR) + "/beep.caf");
  ASSERT_TRUE(beep);
  const HeardReport report = analyseTransmission(*heard, *beep);
  ASSERT_GT(report.voiceLength(), 1.0);
  // The first second heard is the first second of the phrase.
  const auto opening = compareVoice(slice(*heard, report.voiceStart, report.voiceStart + 1.0),
                                    slice(*phrase, 0, 1.5));
  EXPECT_LE(opening.offset, 0.1) << "the phrase began " << opening.offset << " s in";
  EXPECT_GE(opening.envelopeCorrelation, 0.8);
  const auto whole = compareVoice(slice(*heard, report.voiceStart, report.voiceEnd), *phrase);
  EXPECT_GE(whole.envelopeCorrelation, 0.8);
  EXPECT_LE(whole.offset, 0.1);
}

// ---- how invitations end ------------------------------------------------------

// The outcome the inviter reports for its invitation to peer.
std::optional<std::string> outcomeFor(Runner& runner, const std::string& peer,
                                      std::chrono::milliseconds timeout = 20s) {
  const auto line = runner.wait("invitation_result", peer, std::nullopt, timeout);
  if (!line) return std::nullopt;
  EXPECT_EQ(jsonField(*line, "invited_us"), "false") << *line;
  return jsonField(*line, "outcome");
}

TEST_F(CliRunPeers, TheInviterHearsWhetherItsInvitationWasDeclinedOrAccepted) {
  NetnsLab lab(3, "qurr");
  ASSERT_TRUE(lab.ok());
  Runner alpha = spawn(lab, 0, "alpha", {"--audio", "virtual", "--accept", "never"});
  Runner bravo = spawn(lab, 1, "bravo", {"--audio", "virtual", "--accept", "never"});
  Runner charlie = spawn(lab, 2, "charlie", {"--audio", "virtual", "--accept", "auto"});
  ASSERT_TRUE(alpha.wait("ready") && bravo.wait("ready") && charlie.wait("ready"));
  const auto bravoFound = alpha.wait("peer_found", "bravo");
  ASSERT_TRUE(bravoFound) << alpha.tail();
  ASSERT_TRUE(alpha.wait("peer_found", "charlie")) << alpha.tail();

  alpha.send("invite bravo");
  // The invited side is told where the invitation comes from and who sent it.
  const auto invitation = bravo.wait("invitation", "alpha", std::nullopt, 15s);
  ASSERT_TRUE(invitation) << bravo.tail();
  EXPECT_EQ(jsonField(*invitation, "address"), lab.address(0)) << *invitation;
  EXPECT_TRUE(std::regex_match(jsonField(*invitation, "identifier").value_or(""),
                               std::regex("[0-9a-f]{8}")))
      << *invitation;
  // The key the listing showed from the advertisement is the one the inviter
  // proved in the handshake.
  const auto found = bravo.wait("peer_found", "alpha");
  ASSERT_TRUE(found) << bravo.tail();
  const auto listedKey = jsonField(*found, "fingerprint");
  ASSERT_TRUE(listedKey) << *found;
  EXPECT_TRUE(std::regex_match(*listedKey, std::regex("([A-Z2-7]{4} ){3}[A-Z2-7]{4}"))) << *found;
  EXPECT_EQ(jsonField(*invitation, "fingerprint"), listedKey) << *invitation;
  EXPECT_EQ(jsonField(*invitation, "trust"), "new") << *invitation;
  bravo.send("peers");
  const auto listing = bravo.wait("peers");
  ASSERT_TRUE(listing) << bravo.tail();
  EXPECT_NE(listing->find("\"alpha\":\"" + *listedKey + "\""), std::string::npos) << *listing;
  // Two devices, two keys.
  EXPECT_NE(jsonField(*bravoFound, "fingerprint"), listedKey) << *bravoFound;
  EXPECT_EQ(outcomeFor(alpha, "bravo"), "declined") << alpha.tail();
  EXPECT_FALSE(alpha.wait("connected", std::nullopt, "true", 1s)) << alpha.tail();

  alpha.send("invite charlie");
  EXPECT_EQ(outcomeFor(alpha, "charlie"), "accepted") << alpha.tail();
  EXPECT_TRUE(alpha.wait("peer_connected", "charlie", std::nullopt, 15s)) << alpha.tail();
  // Answers given here are told as invitation_answered, not twice.
  EXPECT_FALSE(charlie.wait("invitation_result", "alpha", std::nullopt, 1s)) << charlie.tail();
  for (Runner* runner : {&alpha, &bravo, &charlie}) EXPECT_EQ(runner->process().quit(15s), 0);
}

TEST_F(CliRunPeers, AnInvitationToADeviceThatIsGoneEndsUnreachable) {
  NetnsLab lab(2, "qurr");
  ASSERT_TRUE(lab.ok());
  Runner alpha = spawn(lab, 0, "alpha", {"--audio", "virtual", "--accept", "never"});
  Runner bravo = spawn(lab, 1, "bravo", {"--audio", "virtual", "--accept", "auto"});
  ASSERT_TRUE(alpha.wait("ready") && bravo.wait("ready"));
  ASSERT_TRUE(alpha.wait("peer_found", "bravo")) << alpha.tail();
  // Killed outright: no goodbye, so bravo is still listed when invited.
  bravo.process().kill(SIGKILL);
  bravo.process().waitForExit(10s);
  alpha.send("invite bravo");
  EXPECT_EQ(outcomeFor(alpha, "bravo"), "unreachable") << alpha.tail();
  EXPECT_EQ(alpha.process().quit(15s), 0);
}

TEST_F(CliRunPeers, AnUnansweredInvitationIsGoneOnBothSides) {
  NetnsLab lab(2, "qurr");
  ASSERT_TRUE(lab.ok());
  Runner bravo = spawn(lab, 1, "bravo", {"--audio", "virtual", "--accept", "ask"});
  ASSERT_TRUE(bravo.wait("ready"));

  {
    // The inviter leaves while bravo's user still reads the question.
    Runner early = spawn(lab, 0, "early", {"--audio", "virtual", "--accept", "never"});
    ASSERT_TRUE(early.wait("peer_found", "bravo")) << early.tail();
    early.send("invite bravo");
    ASSERT_TRUE(bravo.wait("invitation", "early", std::nullopt, 15s)) << bravo.tail();
    EXPECT_EQ(early.process().quit(15s), 0);
    const auto gone = bravo.wait("invitation_result", "early", std::nullopt, 10s);
    ASSERT_TRUE(gone) << bravo.tail();
    EXPECT_EQ(jsonField(*gone, "invited_us"), "true") << *gone;
    EXPECT_EQ(jsonField(*gone, "outcome"), "withdrawn") << *gone;
    bravo.send("accept");
    const auto error = bravo.wait("error");
    ASSERT_TRUE(error) << bravo.tail();
    EXPECT_NE(jsonField(*error, "message").value_or("").find("gone"), std::string::npos) << *error;
  }

  // Nobody answers: both sides give up after the invitation timeout.
  Runner alpha = spawn(lab, 0, "alpha", {"--audio", "virtual", "--accept", "never"});
  ASSERT_TRUE(alpha.wait("peer_found", "bravo")) << alpha.tail();
  alpha.send("invite bravo");
  ASSERT_TRUE(bravo.wait("invitation", "alpha", std::nullopt, 15s)) << bravo.tail();
  EXPECT_EQ(outcomeFor(alpha, "bravo", 45s), "timed_out") << alpha.tail();
  const auto timedOut = bravo.wait("invitation_result", "alpha", std::nullopt, 10s);
  ASSERT_TRUE(timedOut) << bravo.tail();
  EXPECT_EQ(jsonField(*timedOut, "outcome"), "timed_out") << *timedOut;
  bravo.send("accept");
  const auto error = bravo.wait("error");
  ASSERT_TRUE(error) << bravo.tail();
  EXPECT_NE(jsonField(*error, "message").value_or("").find("timed out"), std::string::npos)
      << *error;
  bravo.send("status");
  const auto status = bravo.wait("status");
  ASSERT_TRUE(status);
  EXPECT_EQ(jsonField(*status, "connected"), "false") << *status;
  for (Runner* runner : {&alpha, &bravo}) EXPECT_EQ(runner->process().quit(15s), 0);
}

}  // namespace
}  // namespace qur
