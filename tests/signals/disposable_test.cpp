#include <gtest/gtest.h>

#include <vector>

#include "signals/disposable.h"

namespace qur {
namespace {

TEST(Disposable, RunsItsActionOnceAndReportsDisposed) {
  int runs = 0;
  auto disposable = Disposable::create([&] { ++runs; });
  EXPECT_FALSE(disposable->isDisposed());
  disposable->dispose();
  disposable->dispose();
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(disposable->isDisposed());

  auto plain = Disposable::create();
  plain->dispose();
  EXPECT_TRUE(plain->isDisposed());
}

TEST(Disposable, ActionThatDisposesItselfDoesNotRecurse) {
  int runs = 0;
  DisposablePtr self;
  self = Disposable::create([&] {
    ++runs;
    self->dispose();
  });
  self->dispose();
  EXPECT_EQ(runs, 1);
}

TEST(CompoundDisposable, DisposesMembersInInsertionOrderBeyondTheInlineSlots) {
  std::vector<int> order;
  auto compound = CompoundDisposable::create();
  for (int i = 0; i < 5; ++i)
    compound->addDisposable(Disposable::create([&, i] { order.push_back(i); }));
  compound->addDisposable(nullptr);
  compound->dispose();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  compound->dispose();
  EXPECT_EQ(order.size(), 5u);
}

TEST(CompoundDisposable, MemberAddedAfterDisposalIsDisposedAtOnce) {
  auto compound = CompoundDisposable::create();
  compound->dispose();
  auto late = Disposable::create();
  compound->addDisposable(late);
  EXPECT_TRUE(late->isDisposed());
}

TEST(CompoundDisposable, RemovedMemberIsNotDisposedAndSlotIsReused) {
  auto compound = CompoundDisposable::create();
  auto a = Disposable::create();
  auto b = Disposable::create();
  auto c = Disposable::create();
  auto d = Disposable::create();
  compound->addDisposable(a);
  compound->addDisposable(b);
  compound->addDisposable(c);
  compound->removeDisposable(a.get());
  compound->removeDisposable(c.get());
  compound->addDisposable(d);
  compound->dispose();
  EXPECT_FALSE(a->isDisposed());
  EXPECT_TRUE(b->isDisposed());
  EXPECT_FALSE(c->isDisposed());
  EXPECT_TRUE(d->isDisposed());
}

// Members run outside the compound's lock, so a member may touch its own
// compound (here: add to it) without deadlocking.
TEST(CompoundDisposable, MemberMayTouchItsCompoundWhileBeingDisposed) {
  auto compound = CompoundDisposable::create();
  auto late = Disposable::create();
  std::weak_ptr<CompoundDisposable> weak = compound;
  compound->addDisposable(Disposable::create([weak, late] {
    if (auto c = weak.lock()) {
      c->removeDisposable(late.get());
      c->addDisposable(late);
    }
  }));
  compound->dispose();
  EXPECT_TRUE(late->isDisposed());
}

TEST(CompoundDisposable, CreatedFromAListOwnsEveryMember) {
  auto a = Disposable::create();
  auto b = Disposable::create();
  auto c = Disposable::create();
  auto compound = CompoundDisposable::create({a, b, c});
  compound->dispose();
  EXPECT_TRUE(a->isDisposed() && b->isDisposed() && c->isDisposed());
}

TEST(ScopedDisposable, DisposesOnScopeExitAndOnReassignment) {
  auto first = Disposable::create();
  auto second = Disposable::create();
  {
    ScopedDisposable scoped(first);
    scoped = second;
    EXPECT_TRUE(first->isDisposed());
    EXPECT_FALSE(second->isDisposed());
    ScopedDisposable moved(std::move(scoped));
    EXPECT_FALSE(second->isDisposed());
  }
  EXPECT_TRUE(second->isDisposed());
}

TEST(Lifetime, DisposesEverythingWhenItsOwnerGoesAway) {
  auto member = Disposable::create();
  auto removed = Disposable::create();
  {
    Lifetime lifetime;
    lifetime.add(member);
    lifetime.add(removed);
    lifetime.remove(removed.get());
  }
  EXPECT_TRUE(member->isDisposed());
  EXPECT_FALSE(removed->isDisposed());
}

}  // namespace
}  // namespace qur
