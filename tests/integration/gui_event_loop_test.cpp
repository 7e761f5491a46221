// The event loop never waits on a browser session: with one page held in a
// long handler, a lease appended to the leases file still reaches another
// page at once, and the held page gets the events in order once it is free.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>

#include "tests/support/shell_loop.h"
#include "tests/web/support/test_page.h"
#include "web/handler_pool.h"
#include "web/message_box.h"

namespace {

using trl::test::eventually;
using trl::test::ShellLoop;
using web::test::TestPage;

// A tab that remembers which events reached it, for a test thread to read.
class RecordingTab : public HelpableContainer {
 public:
  using HelpableContainer::HelpableContainer;
  void update(int fd) override {
    const std::lock_guard<std::mutex> guard(lock_);
    seen_.push_back(fd);
  }
  std::vector<int> seen() const {
    const std::lock_guard<std::mutex> guard(lock_);
    return seen_;
  }

 private:
  mutable std::mutex lock_;
  std::vector<int> seen_;  // guarded by lock_
};

class EventLoop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shell = new ShellLoop(); }
  static void TearDownTestSuite() { delete shell; }

  static std::string appendLease() { return ShellLoop::appendLease("10.0.1.", 0x002590000200ULL); }

  static ShellLoop* shell;
  web::HandlerPool pool{2};
};
ShellLoop* EventLoop::shell = nullptr;

TEST_F(EventLoop, AModalBoxLeftOpenHoldsUpNoPage) {
  TestPage held(&pool, ShellLoop::createSession), other(&pool, ShellLoop::createSession);
  std::atomic<bool> asking{false};
  held.run([&] {
    asking = true;
    web::MessageBox::show("Power off", "Power off every server?", web::Yes | web::No);  // nobody answers
  });
  ASSERT_TRUE(eventually([&] { return asking.load(); }));
  const std::string summary = appendLease();
  EXPECT_TRUE(eventually([&] { return other.sent(summary); }));
  EXPECT_TRUE(eventually([&] { return held.sent(summary); })) << "the page behind the box follows too";
}

TEST_F(EventLoop, ABusyPageHoldsUpNoOtherAndGetsItsEventsInOrderAfterwards) {
  TestPage held(&pool, ShellLoop::createSession), other(&pool, ShellLoop::createSession);
  Nodes& nodes = *Modules::getInstance()->nodes;
  std::unique_ptr<RecordingTab> held_tab, other_tab;
  for (auto [page, tab] : {std::pair{&held, &held_tab}, std::pair{&other, &other_tab}}) {
    page->runAndWait([&nodes, page = page, tab = tab] {
      auto& app = static_cast<Trellium&>(page->app());
      *tab = std::make_unique<RecordingTab>(&app);
      app.addListener(tab->get(), nodes.leasesModifiedFd());
      app.addListener(tab->get(), nodes.nodeChangedFd());
    });
  }
  // A handler that keeps its session's lock, as a group power command over
  // many servers does.
  std::promise<void> finish;
  std::shared_future<void> finished = finish.get_future().share();
  std::atomic<bool> busy{false};
  held.run([&busy, finished] {
    busy = true;
    finished.wait();
    busy = false;
  });
  ASSERT_TRUE(eventually([&] { return busy.load(); }));
  const std::string summary = appendLease();
  EXPECT_TRUE(eventually([&] { return other.sent(summary); }));
  nodes.triggerEvent();
  const std::vector<int> both = {nodes.leasesModifiedFd(), nodes.nodeChangedFd()};
  EXPECT_TRUE(eventually([&] { return other_tab->seen() == both; }));
  EXPECT_TRUE(busy) << "both events went past the busy page";
  EXPECT_TRUE(held_tab->seen().empty());
  finish.set_value();
  EXPECT_TRUE(eventually([&] { return held_tab->seen().size() == 2; }));
  EXPECT_EQ(held_tab->seen(), both) << "in the order they happened";
  EXPECT_TRUE(held.sent(summary));
}

}  // namespace
