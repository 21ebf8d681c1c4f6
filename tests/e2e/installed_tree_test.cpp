// The command-line program copied out of the build tree, as `cmake --install`
// and the Debian package lay it out (bin/ beside share/qur-wtalkie/sounds):
// it finds the sounds of the tree it sits in, through a symbolic link too,
// and a missing sound is reported once, naming the exact path searched.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "qur/version.h"
#include "support/e2e_support.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kSounds[] = {"beep-short-high", "beep-short-low", "hangup", "beep"};

std::string quoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

// Runs a program with no sound folder named in the environment, so it can
// only find sounds the way an installed program does. stdin is empty.
qur::testing::ShellResult run(const fs::path& program, const std::vector<std::string>& arguments) {
  std::string command = "env -u QUR_WTALKIE_SOUNDS " + quoted(program.string());
  for (const auto& argument : arguments) command += " " + quoted(argument);
  command += " </dev/null 2>&1";
  return qur::testing::runShell(command);
}

std::vector<std::string> linesContaining(const std::string& text, const std::string& part) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.find(part) != std::string::npos) found.push_back(line);
  }
  return found;
}

// A voice-like microphone file: a gliding tone with a slow tremolo.
bool writeMicrophone(const fs::path& path, double seconds) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return false;
  const auto frames = std::size_t(seconds * info.samplerate);
  std::vector<short> samples(frames);
  double phase = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = double(i) / info.samplerate;
    phase += 2 * M_PI * (300 + 150 * t / seconds) / info.samplerate;
    const double level = 0.3 + 0.2 * std::sin(2 * M_PI * 4 * t);
    samples[i] = short(12000 * level * std::sin(phase));
  }
  const bool written =
      sf_write_short(file, samples.data(), sf_count_t(frames)) == sf_count_t(frames);
  sf_close(file);
  return written;
}

class InstalledTree : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qur-installed-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    _dir = pattern;
    _tree = _dir / "usr";
    fs::create_directories(_tree / "bin");
    fs::create_directories(sounds());
    fs::copy_file(QUR_CLI_PATH, program());
    for (const char* name : kSounds) {
      const fs::path sound = fs::path(QUR_SOUNDS_DIR) / (std::string(name) + ".caf");
      ASSERT_TRUE(fs::exists(sound)) << sound;
      fs::copy_file(sound, sounds() / sound.filename());
    }
    _mic = _dir / "mic.wav";
    ASSERT_TRUE(writeMicrophone(_mic, 1.5));
  }

  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(_dir, ignored);
  }

  fs::path program() const { return _tree / "bin" / "qur-wtalkie-cli"; }
  fs::path sounds() const { return _tree / "share" / "qur-wtalkie" / "sounds"; }

  qur::testing::ShellResult loopback(const fs::path& exe, const fs::path& speaker) {
    return run(exe, {"loopback", "--mic", _mic.string(), "--speaker", speaker.string()});
  }

  fs::path _dir, _tree, _mic;
};

TEST_F(InstalledTree, CopiedTreeRunsTheVoiceChainWithItsOwnSounds) {
  const auto version = run(program(), {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, std::string("qur-wtalkie-cli ") + qur::kVersion + "\n");

  const fs::path speaker = _dir / "speaker.wav";
  const auto r = loopback(program(), speaker);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("1 transmission(s)"), std::string::npos) << r.output;

  // The recording holds the tree's start sound, the voice and the end sound.
  const auto heard = run(program(), {"heard", speaker.string(), "--reference", _mic.string()});
  EXPECT_EQ(heard.status, 0) << heard.output;
  EXPECT_NE(heard.output.find("start sound, voice and end sound in order"), std::string::npos)
      << heard.output;
}

TEST_F(InstalledTree, LinkedFromAnotherFolderStillFindsItsTree) {
  // As a user's ~/bin link or an alternatives link would: the link's folder
  // has no share/ beside it.
  fs::create_directories(_dir / "elsewhere" / "bin");
  const fs::path link = _dir / "elsewhere" / "bin" / "walkie";
  fs::create_symlink(program(), link);
  const auto r = loopback(link, _dir / "speaker.wav");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output.find("not found"), std::string::npos) << r.output;
}

TEST_F(InstalledTree, RemovedSoundIsReportedOnceWithThePathSearched) {
  const std::string missing = (sounds() / "beep.caf").string();
  fs::remove(missing);
  const fs::path speaker = _dir / "speaker.wav";

  // The build tree still holds every sound: a program that looked there (or
  // anywhere but its own tree) would succeed.
  auto r = loopback(program(), speaker);
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_EQ(linesContaining(r.output, missing).size(), 1u) << r.output;
  EXPECT_EQ(linesContaining(r.output, "not found").size(), 1u) << r.output;

  r = run(program(), {"heard", _mic.string()});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_EQ(linesContaining(r.output, missing).size(), 1u) << r.output;
}

TEST_F(InstalledTree, ProgramCopiedWithoutItsSoundsNamesTheFolderItLookedIn) {
  fs::create_directories(_dir / "alone" / "bin");
  const fs::path alone = _dir / "alone" / "bin" / "qur-wtalkie-cli";
  fs::copy_file(program(), alone);
  const auto r = loopback(alone, _dir / "speaker.wav");
  EXPECT_EQ(r.status, 1) << r.output;
  const std::string searched = _dir / "alone" / "share" / "qur-wtalkie" / "sounds" / "beep.caf";
  EXPECT_EQ(linesContaining(r.output, searched).size(), 1u) << r.output;
}

TEST_F(InstalledTree, WalkieTalkieWithAMissingSoundStillRunsAndSaysWhichOne) {
  // The hang-up sound only plays when a peer leaves: the program runs without
  // it and says once, at start-up, where it looked.
  const std::string missing = (sounds() / "hangup.caf").string();
  fs::remove(missing);
  const std::string name = "installed-tree-" + std::to_string(getpid());
  const auto r = run(program(), {"run", "--name", name, "--audio", "virtual", "--interface", "lo"});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("ready"), std::string::npos) << r.output;
  EXPECT_EQ(linesContaining(r.output, missing).size(), 1u) << r.output;
  EXPECT_EQ(linesContaining(r.output, "not found").size(), 1u) << r.output;
}

}  // namespace
