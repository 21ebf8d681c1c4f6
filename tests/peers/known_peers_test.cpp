// Pinned peer keys: lookups, hand-edited and damaged files, and two programs
// changing the pins at once.
#include "peers/known_peers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "private_folder.h"
#include "support/log_capture.h"

namespace qur {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::PrivateFolder;
using testing::readText;
using testing::writeText;

peers::Identifier idOf(std::uint8_t seed) {
  peers::Identifier id{};
  for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<std::uint8_t>(seed * 31 + i);
  return id;
}

TEST(KnownPeers, PinsSurviveRestartAndDecideEveryLookup) {
  PrivateFolder folder;
  const std::vector<std::string> names = {"Anna's laptop", "spaced  out", "100% sure",
                                          "Zoë 東京",      "%41",         "two  spaces"};
  {
    KnownPeers pins(folder.path());
    for (std::size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(pins.lookup(names[i], idOf(i)), KeyTrust::Unknown);
      ASSERT_TRUE(pins.pin(names[i], idOf(i))) << names[i];
    }
  }
  KnownPeers pins(folder.path());  // as after a restart
  ASSERT_EQ(pins.list().size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(pins.list()[i].displayName, names[i]) << "names come back byte for byte";
    EXPECT_EQ(pins.lookup(names[i], idOf(i)), KeyTrust::Match) << names[i];
    EXPECT_EQ(pins.lookup(names[i], idOf(i + 1)), KeyTrust::KeyChanged) << names[i];
  }
  EXPECT_EQ(pins.lookup("Anna's laptop ", idOf(0)), KeyTrust::Unknown) << "names match exactly";

  // Accepting a changed key replaces the pin in place.
  ASSERT_TRUE(pins.pin(names[0], idOf(50)));
  EXPECT_EQ(pins.lookup(names[0], idOf(50)), KeyTrust::Match);
  EXPECT_EQ(pins.lookup(names[0], idOf(0)), KeyTrust::KeyChanged);
  EXPECT_EQ(pins.list().size(), names.size());

  EXPECT_TRUE(pins.forget(names[2]));
  EXPECT_FALSE(pins.forget(names[2])) << "nothing left to forget";
  EXPECT_EQ(KnownPeers(folder.path()).lookup(names[2], idOf(2)), KeyTrust::Unknown);
  EXPECT_EQ(KnownPeers(folder.path()).list().size(), names.size() - 1);

  EXPECT_FALSE(pins.pin("bad\nname", idOf(9))) << "a line break would forge a second pin";
  EXPECT_FALSE(pins.pin("  spaced out ", idOf(9))) << "not a name's normal form";
  EXPECT_FALSE(pins.pin("", idOf(9)));
  EXPECT_EQ(pins.list().size(), names.size() - 1);
}

TEST(KnownPeers, HandEditedFileKeepsGoodLinesAndReportsTheRestOnce) {
  PrivateFolder folder;
  const auto a = peers::identifierToHex(idOf(1));
  const auto b = peers::identifierToHex(idOf(2));
  std::string upper = peers::identifierToHex(idOf(3));
  for (auto& c : upper) c = static_cast<char>(std::toupper(c));
  const std::string file =
      "# my peers\n"
      "\n" +
      a + " Alice\r\n" +                         // written on another system
      "   " + b + "\t\t Bob  \n" +               // extra blanks
      upper + " Carol\n" +                       // upper-case digits
      "0123 Dave\n" +                            // short identifier
      b.substr(0, 31) + "g Erin\n" +             // not hex
      a + "\n" +                                 // no name
      a + " bad%zzescape\n" +                    // broken escape
      a + " Alice\x01\n" +                       // control character
      b + " Alice\n" +                           // second pin for a name
      "garbage without a key\n" + a + " Frank";  // no final line break
  writeText(folder.path() / KnownPeers::kFileName, file);
  LogCapture log;
  KnownPeers pins(folder.path());
  const auto list = pins.list();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0], (PinnedPeer{"Alice", idOf(1)}));
  EXPECT_EQ(list[1], (PinnedPeer{"Bob", idOf(2)}));
  EXPECT_EQ(list[2], (PinnedPeer{"Carol", idOf(3)}));
  EXPECT_EQ(list[3], (PinnedPeer{"Frank", idOf(1)}));
  EXPECT_EQ(pins.lookup("Alice", idOf(2)), KeyTrust::KeyChanged) << "the first pin holds";
  EXPECT_EQ(log.count("skipped 7 unreadable or repeated line(s), first line 6"), 1);
  pins.lookup("Bob", idOf(2));
  EXPECT_EQ(log.count("skipped"), 1) << "an unchanged file is not reported again";

  // A change keeps the user's comments and the lines it could not read.
  ASSERT_TRUE(pins.pin("Gina", idOf(7)));
  const std::string after = readText(folder.path() / KnownPeers::kFileName);
  EXPECT_NE(after.find("# my peers\n"), std::string::npos);
  EXPECT_NE(after.find("garbage without a key\n"), std::string::npos);
  EXPECT_NE(after.find(b.substr(0, 31) + "g Erin\n"), std::string::npos);
  EXPECT_EQ(KnownPeers(folder.path()).list().size(), 5u);
  EXPECT_EQ(log.count("skipped"), 2) << "once per reader, not again after its own change";

  // Forgetting a name takes its repeated lines too, so no stale key moves up.
  ASSERT_TRUE(pins.forget("Alice"));
  EXPECT_EQ(pins.lookup("Alice", idOf(2)), KeyTrust::Unknown);
  EXPECT_EQ(pins.lookup("Alice", idOf(1)), KeyTrust::Unknown);
}

TEST(KnownPeers, FileItCannotReadIsNeverReplaced) {
  PrivateFolder folder;
  const fs::path path = folder.path() / KnownPeers::kFileName;
  const std::string huge(2 * 1024 * 1024, 'x');
  writeText(path, huge);
  LogCapture log;
  KnownPeers pins(folder.path());
  EXPECT_EQ(pins.lookup("Alice", idOf(1)), KeyTrust::Unknown);
  EXPECT_FALSE(pins.pin("Alice", idOf(1)));
  EXPECT_FALSE(pins.forget("Alice"));
  EXPECT_EQ(readText(path).size(), huge.size());
  EXPECT_TRUE(log.contains("over 1 MiB"));

  // Binary junk is read line by line and never crashes.
  std::string junk;
  for (int i = 0; i < 5000; ++i) junk += static_cast<char>((i * 7919) % 256);
  writeText(path, junk);
  KnownPeers again(folder.path());
  EXPECT_TRUE(again.list().empty());
  EXPECT_TRUE(again.pin("Alice", idOf(1)));
  EXPECT_EQ(KnownPeers(folder.path()).lookup("Alice", idOf(1)), KeyTrust::Match);
}

TEST(PeerKeyFilesConcurrency, ChangesByAnotherProgramAreSeenAndNotLost) {
  PrivateFolder folder;
  KnownPeers running(folder.path());
  KnownPeers commandLine(folder.path());
  ASSERT_TRUE(running.pin("Alice", idOf(1)));
  EXPECT_EQ(running.lookup("Alice", idOf(1)), KeyTrust::Match);
  ASSERT_TRUE(commandLine.forget("Alice"));
  EXPECT_EQ(running.lookup("Alice", idOf(1)), KeyTrust::Unknown) << "the forget took effect";

  // Two programs pinning at once: every pin ends up in the file.
  constexpr int kEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      KnownPeers own(folder.path());
      for (int i = 0; i < kEach; ++i)
        EXPECT_TRUE(own.pin("peer " + std::to_string(t) + "-" + std::to_string(i),
                            idOf(static_cast<std::uint8_t>(t * kEach + i))));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(KnownPeers(folder.path()).list().size(), 3u * kEach);
  for (int t = 0; t < 3; ++t)
    for (int i = 0; i < kEach; ++i)
      EXPECT_EQ(running.lookup("peer " + std::to_string(t) + "-" + std::to_string(i),
                               idOf(static_cast<std::uint8_t>(t * kEach + i))),
                KeyTrust::Match);
}

TEST(PeerKeyFilesConcurrency, OneStoreSharedByThreadsAnswersConsistently) {
  PrivateFolder folder;
  KnownPeers pins(folder.path());
  ASSERT_TRUE(pins.pin("Alice", idOf(1)));
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  // Readers see Alice's pin at all times while another thread rewrites the
  // file with more pins and flips Bob's key.
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        if (pins.lookup("Alice", idOf(1)) != KeyTrust::Match) ++wrong;
        const auto bob = pins.lookup("Bob", idOf(2));
        if (bob == KeyTrust::Match) continue;
        if (bob != KeyTrust::Unknown && bob != KeyTrust::KeyChanged) ++wrong;
      }
    });
  }
  for (int i = 0; i < 40; ++i) {
    EXPECT_TRUE(pins.pin("Bob", idOf(static_cast<std::uint8_t>(2 + i % 2))));
    EXPECT_TRUE(pins.pin("peer " + std::to_string(i), idOf(static_cast<std::uint8_t>(i))));
    if (i % 10 == 9) {
      EXPECT_TRUE(pins.forget("Bob"));
    }
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(pins.list().size(), 41u);
}

}  // namespace
}  // namespace qur
