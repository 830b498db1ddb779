#include "capture/platform/process_tree.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "capture/testing/fake_process_table.h"

namespace rezoro::capture {
namespace {

using testing::FakeProcessTable;

TEST(ProcessTreeTest, HoldsTheRootsAndEveryDescendantOnly) {
  FakeProcessTable table;
  table.add(1, 0);
  table.add(50, 1);
  table.add(90, 50, 100, "odd ) name (x");  // a name that looks like the end of the field
  table.add(30, 90);                        // a wrapped pid below its parent's
  table.add(60, 1);
  ProcessTree tree({50, 4242}, table.path());  // 4242 does not exist and adds nothing
  tree.refresh(0);
  EXPECT_TRUE(tree.contains(50));
  EXPECT_TRUE(tree.contains(90));
  EXPECT_TRUE(tree.contains(30));
  EXPECT_FALSE(tree.contains(1));
  EXPECT_FALSE(tree.contains(60));
  EXPECT_FALSE(tree.contains(4242));
}

// The requested application is named before it may play: one that is not running then excludes
// nothing, also when a process of another application gets its pid later; so does a root that
// ends and whose pid is taken again.
TEST(ProcessTreeTest, ARootIsTheProcessThatHeldItsPidWhenTheTreeWasMade) {
  FakeProcessTable table;
  table.add(50, 1, 100);
  ProcessTree tree({50, 70}, table.path());
  table.add(70, 1, 300);
  tree.refresh(0);
  EXPECT_TRUE(tree.contains(50));
  EXPECT_FALSE(tree.contains(70));
  table.remove(50);
  table.add(50, 1, 400);
  tree.refresh(0);
  EXPECT_FALSE(tree.contains(50));
  EXPECT_TRUE(ProcessTree({70}, "/nonexistent").empty());
}

TEST(ProcessTreeTest, InitAsARootTakesInNothing) {
  FakeProcessTable table;
  table.add(1, 0);
  table.add(50, 1);
  ProcessTree tree({1}, table.path());
  tree.refresh(0);
  EXPECT_TRUE(tree.empty());
  EXPECT_FALSE(tree.contains(1));
  EXPECT_FALSE(tree.contains(50));
}

TEST(ProcessTreeTest, KeepsDetachedMembersWhileTheyLiveAndAddsLaterChildren) {
  FakeProcessTable table;
  table.add(50, 1);
  table.add(70, 50, 200);
  ProcessTree tree({50}, table.path());
  tree.refresh(0);
  table.add(70, 1, 200);   // re-parented to init by a double fork
  table.add(80, 50, 300);  // started later
  tree.refresh(0);
  EXPECT_TRUE(tree.contains(70));
  EXPECT_TRUE(tree.contains(80));
  table.remove(70);
  table.add(70, 1, 999);  // the pid reused by a stranger
  tree.refresh(0);
  EXPECT_FALSE(tree.contains(70));
}

TEST(ProcessTreeTest, ReadsTheRealProcessTable) {
  ProcessTree tree({::getppid()});
  tree.refresh(0);
  EXPECT_TRUE(tree.contains(::getpid()));
  EXPECT_FALSE(ProcessTree({}).contains(::getpid()));
}

}  // namespace
}  // namespace rezoro::capture
