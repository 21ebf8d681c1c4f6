// The split delegate: weak registrations, removal rules, and one FIFO queue
// for every callback of every peer.
#include "peers/split_delegate.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <thread>

namespace qur {
namespace {

struct Log {
  std::mutex mutex;
  std::vector<std::string> entries;
  void add(std::string s) {
    std::lock_guard lock(mutex);
    entries.push_back(std::move(s));
  }
  std::vector<std::string> get() {
    std::lock_guard lock(mutex);
    return entries;
  }
};

class Listener : public MultipeerPeerStateDelegate, public MultipeerSessionDataReceiptDelegate {
 public:
  Listener(std::string name, Log& log, int delayMs = 0)
      : _name(std::move(name)), _log(log), _delayMs(delayMs) {}
  void sessionPeerDidChangeState(const std::shared_ptr<PeerSession>&, const PeerID& peer,
                                 PeerSessionState state) override {
    if (_delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(_delayMs));
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    threadName = name;
    _log.add(_name + " state " + peer.displayName() + " " +
             std::to_string(static_cast<int>(state)));
  }
  void sessionDidReceiveDataFromPeer(const std::shared_ptr<PeerSession>&,
                                     std::span<const std::uint8_t> data,
                                     const PeerID& peer) override {
    _log.add(_name + " data " + peer.displayName() + " " +
             std::string(reinterpret_cast<const char*>(data.data()), data.size()));
  }
  std::string threadName;

 private:
  std::string _name;
  Log& _log;
  int _delayMs;
};

std::span<const std::uint8_t> text(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(SplitDelegate, ForwardsInArrivalOrderOnItsNamedQueueEvenWhenAHandlerIsSlow) {
  MultipeerSessionSplitDelegate split;
  Log log;
  auto slow = std::make_shared<Listener>("slow", log, 50);
  split.addPeerStateDelegate(slow);
  split.addDataReceiptDelegate(slow);
  const PeerID a("A");
  split.sessionPeerDidChangeState(nullptr, a, PeerSessionState::Connected);
  std::string buffer = "one";
  split.sessionDidReceiveDataFromPeer(nullptr, text(buffer), a);
  buffer = "XXX";  // the caller's buffer is reused at once
  split.sessionPeerDidChangeState(nullptr, a, PeerSessionState::NotConnected);
  split.operationQueue().waitUntilAllOperationsAreFinished();
  EXPECT_EQ(log.get(),
            (std::vector<std::string>{"slow state A 2", "slow data A one", "slow state A 0"}));
  EXPECT_EQ(split.operationQueue().name(), "QURMultipeerSessionSplitDelegate queue");
  EXPECT_EQ(slow->threadName, std::string("QURMultipeerSessionSplitDelegate queue").substr(0, 15));
}

TEST(SplitDelegate, DestroyedListenersGetNothingAndStayListedUntilTheNextRemoval) {
  MultipeerSessionSplitDelegate split;
  Log log;
  auto kept = std::make_shared<Listener>("kept", log);
  auto gone = std::make_shared<Listener>("gone", log);
  split.addPeerStateDelegate(gone);
  split.addPeerStateDelegate(kept);
  gone.reset();
  split.sessionPeerDidChangeState(nullptr, PeerID("A"), PeerSessionState::Connecting);
  split.operationQueue().waitUntilAllOperationsAreFinished();
  EXPECT_EQ(log.get(), std::vector<std::string>{"kept state A 1"});
  EXPECT_EQ(split.peerStateDelegateCount(), 2u);
  // Removing anything purges the expired reference too.
  auto other = std::make_shared<Listener>("other", log);
  split.removePeerStateDelegate(other.get());
  EXPECT_EQ(split.peerStateDelegateCount(), 1u);
}

TEST(SplitDelegate, DuplicatesHearTwiceAndOneRemovalTakesBoth) {
  MultipeerSessionSplitDelegate split;
  Log log;
  auto twice = std::make_shared<Listener>("twice", log);
  split.addDataReceiptDelegate(twice);
  split.addDataReceiptDelegate(twice);
  split.sessionDidReceiveDataFromPeer(nullptr, text("x"), PeerID("A"));
  split.operationQueue().waitUntilAllOperationsAreFinished();
  EXPECT_EQ(log.get().size(), 2u);
  split.removeDataReceiptDelegate(twice.get());
  EXPECT_EQ(split.dataReceiptDelegateCount(), 0u);
  // With nobody listening, data is dropped without a word.
  split.sessionDidReceiveDataFromPeer(nullptr, text("y"), PeerID("A"));
  split.operationQueue().waitUntilAllOperationsAreFinished();
  EXPECT_EQ(log.get().size(), 2u);
}

TEST(SplitDelegate, TargetReadWhenTheOperationRunsNotWhenQueued) {
  MultipeerSessionSplitDelegate split;
  Log log;
  auto blocker = std::make_shared<Listener>("blocker", log, 100);
  auto late = std::make_shared<Listener>("late", log);
  split.addPeerStateDelegate(blocker);
  split.addPeerStateDelegate(late);
  split.sessionPeerDidChangeState(nullptr, PeerID("A"), PeerSessionState::Connected);
  late.reset();  // goes away while its operation waits behind the blocker
  split.operationQueue().waitUntilAllOperationsAreFinished();
  EXPECT_EQ(log.get(), std::vector<std::string>{"blocker state A 2"});
}

TEST(SplitDelegateConcurrency, RegistrationWhileForwardingFromSeveralThreads) {
  MultipeerSessionSplitDelegate split;
  Log log;
  auto steady = std::make_shared<Listener>("steady", log);
  split.addDataReceiptDelegate(steady);
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      auto temp = std::make_shared<Listener>("temp", log);
      split.addDataReceiptDelegate(temp);
      split.addPeerStateDelegate(temp);
      split.removeDataReceiptDelegate(temp.get());
      split.removePeerStateDelegate(temp.get());
    }
  });
  const PeerID peers[2] = {PeerID("P0"), PeerID("P1")};
  std::vector<std::thread> reporters;
  for (int t = 0; t < 2; ++t) {
    reporters.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const std::string s = std::to_string(i);
        split.sessionDidReceiveDataFromPeer(nullptr, text(s), peers[t]);
      }
    });
  }
  for (auto& r : reporters) r.join();
  stop = true;
  churn.join();
  split.operationQueue().waitUntilAllOperationsAreFinished();
  int next[2] = {};
  int steadyCount = 0;
  for (auto& e : log.get()) {
    if (e.rfind("steady data ", 0) != 0) continue;
    ++steadyCount;
    const int t = e[13] == '0' ? 0 : 1;
    const int i = std::stoi(e.substr(15));
    EXPECT_EQ(i, next[t]);
    next[t] = i + 1;
  }
  EXPECT_EQ(steadyCount, 4000);
}

}  // namespace
}  // namespace qur
