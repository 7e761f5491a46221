// A session: what goes to the page after events and pushes, the update lock,
// and waiting for a person without holding the lock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/scratch.h"
#include "tests/web/support/test_page.h"
#include "web/line_edit.h"
#include "web/message_box.h"
#include "web/push_button.h"
#include "web/tab_widget.h"
#include "web/text.h"

using namespace web;
using trl::test::eventually;
using web::test::Recorder;
using web::test::TestPage;

TEST(Session, FirstPageWholeThenOnlyTheOutermostChangedWidgets) {
  Container* inner = nullptr;
  Text *a = nullptr, *b = nullptr, *other = nullptr, *label = nullptr;
  LineEdit* edit = nullptr;
  PushButton* button = nullptr;
  std::string seen;
  int clicks = 0;
  bool quitAsked = false;
  TestPage page([&](Application& app) {
    app.setTitle("Trellium <v1>");
    app.root()->addWidget(std::make_unique<Text>("Dashboard"));
    inner = app.root()->addWidget(std::make_unique<Container>());
    a = inner->addWidget(std::make_unique<Text>("a"));
    b = inner->addWidget(std::make_unique<Text>("b"));
    other = app.root()->addWidget(std::make_unique<Text>("other"));
    edit = app.root()->addWidget(std::make_unique<LineEdit>());
    edit->changed().connect([&] { seen = edit->text(); });
    button = app.root()->addWidget(std::make_unique<PushButton>("Power on"));
    label = app.root()->addWidget(std::make_unique<Text>("idle"));
    button->clicked().connect([&] { label->setText("Power command sent " + std::to_string(++clicks)); });
  });
  const std::string& html = page.firstPage();
  EXPECT_NE(html.find("<title>Trellium &lt;v1&gt;</title>"), std::string::npos) << "the title is escaped";
  EXPECT_NE(html.find("Dashboard"), std::string::npos);
  EXPECT_NE(html.find("data-session=\"0123456789abcdef0123456789abcdef\""), std::string::npos);
  EXPECT_NE(html.find("/_w/client.js"), std::string::npos);
  EXPECT_EQ(page.recorder().count(), 0u) << "nothing changed since the page";

  page.run([&] {
    a->setText("a2");
    inner->setStyleClass("box");
    b->setText("b2");
    other->setText("other2");
  });
  auto updates = page.take();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_FALSE(updates[0].page);
  ASSERT_EQ(updates[0].widgets.size(), 2u) << "the dirty container covers its children; nothing else goes";
  EXPECT_EQ(updates[0].widgets[0].first, inner->id());
  EXPECT_EQ(updates[0].widgets[1].first, other->id());
  EXPECT_NE(updates[0].widgets[1].second.find("other2"), std::string::npos);
  page.run([] {});
  EXPECT_TRUE(page.take().empty()) << "nothing changed: nothing sent";

  page.event(*button, "click");
  EXPECT_EQ(page.sentIds(), std::vector<std::string>{label->id()}) << "the click's change comes back";
  page.event(*edit, "change", "node-01");
  EXPECT_EQ(seen, "node-01");
  EXPECT_TRUE(page.take().empty()) << "typed text is not rendered back";
  for (const char* unknown : {"w999999999", "<script>"}) page.event(unknown, "click");
  EXPECT_TRUE(page.take().empty()) << "unknown widget ids are ignored";
  page.run([&] { button->disable(); });
  page.event(*button, "click");
  page.run([&] {
    button->enable();
    button->hide();
  });
  page.event(*button, "click");
  EXPECT_EQ(clicks, 1) << "hidden or disabled widgets take no events";
  page.run([&] { button->show(); });
  page.event(*button, "click");
  EXPECT_EQ(clicks, 2);

  page.session().setQuitHandler([&] { quitAsked = true; });
  page.event("", "quit");
  EXPECT_TRUE(quitAsked) << "quit asks the server to end the session";
}

TEST(Session, AReconnectGetsTheWholePageWithWhatChangedMeanwhile) {
  Text* t = nullptr;
  TestPage page([&](Application& app) { t = app.root()->addWidget(std::make_unique<Text>("before")); });
  auto second = std::make_shared<Recorder>();
  page.session().connect(second);
  EXPECT_TRUE(page.recorder().closed()) << "one socket per session";
  page.session().disconnect(second.get());
  page.run([&] { t->setText("after"); });
  auto third = std::make_shared<Recorder>();
  page.session().connect(third);
  const auto updates = third->updates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_TRUE(updates[0].page);
  EXPECT_EQ(updates[0].widgets[0].first, page.app().root()->id());
  EXPECT_NE(updates[0].widgets[0].second.find("after"), std::string::npos);
}

TEST(Session, PushUnderUpdateLockGoesOutOnlyWithUpdatesEnabled) {
  Text* t = nullptr;
  TestPage page([&](Application& app) { t = app.root()->addWidget(std::make_unique<Text>("0")); });
  const auto push = [&](const std::string& text) {
    std::thread backEnd([&] {
      Application::UpdateLock lock(&page.app());
      ASSERT_TRUE(lock);
      EXPECT_EQ(Application::instance(), &page.app());
      t->setText(text);
      page.app().triggerUpdate();
    });
    backEnd.join();
  };
  push("1");
  EXPECT_TRUE(page.take().empty()) << "without enabled updates it waits for the next event";
  page.run([] {});
  EXPECT_EQ(page.sentIds().size(), 1u);
  page.run([&] { page.app().enableUpdates(true); });
  push("pushed");
  EXPECT_EQ(page.sentIds(), std::vector<std::string>{t->id()});
}

TEST(Session, UpdateLockFailsOnceTheSessionStartsDying) {
  HandlerPool pool(2);
  TestPage page({}, &pool);
  std::atomic<bool> inHandler{false}, release{false};
  page.run([&] {
    inHandler = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  ASSERT_TRUE(eventually([&] { return inHandler.load(); }));
  const auto tryLock = [&](std::atomic<int>& result) {
    Application::UpdateLock lock(&page.app());
    result = lock ? 1 : 0;
  };
  std::atomic<int> waiting{-1}, later{-1};
  std::thread waiter([&] { tryLock(waiting); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(waiting, -1) << "waits while the handler runs";
  page.session().beginTeardown();
  waiter.join();
  EXPECT_EQ(waiting, 0) << "a waiting lock fails when the session starts dying";
  release = true;
  std::thread(tryLock, std::ref(later)).join();
  EXPECT_EQ(later, 0) << "a dying session's lock fails even when free";
}

// Answering the box, the lock being free meanwhile and processEvents() with
// Cancel go through Chromium in tests/web/browser/dialogs.test.mjs.
TEST(Session, ExecEndsWithTheSession) {
  HandlerPool pool(2);
  std::atomic<int> answer{-1};
  auto page = std::make_unique<TestPage>(TestPage::Builder{}, &pool);
  page->run([&] { answer = MessageBox::show("Info", "Power command sent"); });
  ASSERT_TRUE(eventually([&] { return page->sent("Power command sent"); })) << "the box is on the page";
  EXPECT_EQ(answer, -1);
  page.reset();
  EXPECT_EQ(answer, static_cast<int>(NoButton)) << "teardown ends the wait";
}

TEST(Session, OneEventAtATimePerSession) {
  HandlerPool pool(4);
  std::atomic<int> inside{0}, most{0}, count{0};
  PushButton* b = nullptr;
  TestPage page(
      [&](Application& app) {
        b = app.root()->addWidget(std::make_unique<PushButton>("x"));
        b->clicked().connect([&] {
          most = std::max(most.load(), ++inside);
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
          --inside;
          ++count;
        });
      },
      &pool);
  for (int i = 0; i < 20; ++i) page.event(*b, "click");
  ASSERT_TRUE(eventually([&] { return count == 20; }));
  EXPECT_EQ(most, 1);
}

TEST(Session, TabWidgetSendsOnlyTheCurrentTab) {
  TabWidget* tabs = nullptr;
  Text* hiddenText = nullptr;
  TestPage page([&](Application& app) {
    tabs = app.root()->addWidget(std::make_unique<TabWidget>());
    tabs->addTab(std::make_unique<Text>("first tab"), "One");
    tabs->addTab(std::make_unique<Text>("second tab"), "Two");
    hiddenText = static_cast<Text*>(tabs->widget(1));
  });
  EXPECT_EQ(page.firstPage().find("second tab"), std::string::npos);
  page.run([&] { hiddenText->setText("second tab changed"); });
  EXPECT_TRUE(page.take().empty()) << "not on the page: nothing to send";
  page.run([&] { tabs->setCurrentIndex(1); });
  const auto updates = page.take();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].widgets[0].first, tabs->id());
  EXPECT_NE(updates[0].widgets[0].second.find("second tab changed"), std::string::npos);
}
