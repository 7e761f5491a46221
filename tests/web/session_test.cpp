// A session: what goes to the page after events and pushes, the update lock,
// and waiting for a person without holding the lock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/scratch.h"
#include "tests/web/support/test_page.h"
#include "web/box_layout.h"
#include "web/line_edit.h"
#include "web/message_box.h"
#include "web/progress_dialog.h"
#include "web/push_button.h"
#include "web/session_lock.h"
#include "web/tab_widget.h"
#include "web/text.h"

using namespace web;
using web::test::TestPage;

namespace {

using trl::test::eventually;

}  // namespace

TEST(Session, FirstPageIsTheWholeRenderedDocument) {
  TestPage page([](Application& app) {
    app.setTitle("Trellium <v1>");
    app.root()->addWidget(std::make_unique<Text>("Dashboard"));
  });
  const std::string& html = page.firstPage();
  EXPECT_NE(html.find("<title>Trellium &lt;v1&gt;</title>"), std::string::npos);
  EXPECT_NE(html.find("Dashboard"), std::string::npos);
  EXPECT_NE(html.find("data-session=\"0123456789abcdef0123456789abcdef\""), std::string::npos);
  EXPECT_NE(html.find("/_w/client.js"), std::string::npos);
  EXPECT_EQ(page.recorder().count(), 0u);  // nothing changed since
}

TEST(Session, OnlyTheChangedWidgetIsSent) {
  std::vector<Text*> texts;
  TestPage page([&](Application& app) {
    auto* box = app.root()->setLayout(std::make_unique<VBoxLayout>());
    for (int i = 0; i < 20; ++i) texts.push_back(box->addWidget(std::make_unique<Text>("t" + std::to_string(i))));
  });
  page.run([&] { texts[7]->setText("changed"); });
  const auto updates = page.take();
  ASSERT_EQ(updates.size(), 1u);
  ASSERT_EQ(updates[0].widgets.size(), 1u);
  EXPECT_EQ(updates[0].widgets[0].first, texts[7]->id());
  EXPECT_NE(updates[0].widgets[0].second.find("changed"), std::string::npos);
  EXPECT_FALSE(updates[0].page);

  page.run([&] {});  // nothing changed: nothing sent
  EXPECT_TRUE(page.take().empty());
}

TEST(Session, OutermostDirtyWidgetCoversItsChildren) {
  Container* inner = nullptr;
  Text* a = nullptr;
  Text* b = nullptr;
  Text* other = nullptr;
  TestPage page([&](Application& app) {
    inner = app.root()->addWidget(std::make_unique<Container>());
    a = inner->addWidget(std::make_unique<Text>("a"));
    b = inner->addWidget(std::make_unique<Text>("b"));
    other = app.root()->addWidget(std::make_unique<Text>("other"));
  });
  page.run([&] {
    a->setText("a2");
    inner->setStyleClass("box");
    b->setText("b2");
    other->setText("other2");
  });
  const auto ids = page.sentIds();
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[0], inner->id());
  EXPECT_EQ(ids[1], other->id());
}

TEST(Session, TypedTextComesUpWithoutARenderBack) {
  LineEdit* edit = nullptr;
  std::string seen;
  TestPage page([&](Application& app) {
    edit = app.root()->addWidget(std::make_unique<LineEdit>());
    edit->changed().connect([&] { seen = edit->text(); });
  });
  page.event(*edit, "change", "node-01");
  EXPECT_EQ(seen, "node-01");
  EXPECT_TRUE(page.take().empty());
}

TEST(Session, ClickReachesTheButtonAndTheChangeComesBack) {
  PushButton* button = nullptr;
  Text* label = nullptr;
  TestPage page([&](Application& app) {
    button = app.root()->addWidget(std::make_unique<PushButton>("Power on"));
    label = app.root()->addWidget(std::make_unique<Text>("idle"));
    button->clicked().connect([&] { label->setText("Power command sent"); });
  });
  page.event(*button, "click");
  const auto ids = page.sentIds();
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ids[0], label->id());
}

TEST(Session, HiddenOrDisabledWidgetsTakeNoEvents) {
  PushButton* button = nullptr;
  int clicks = 0;
  TestPage page([&](Application& app) {
    button = app.root()->addWidget(std::make_unique<PushButton>("Save"));
    button->clicked().connect([&] { ++clicks; });
  });
  page.run([&] { button->disable(); });
  page.event(*button, "click");
  page.run([&] {
    button->enable();
    button->hide();
  });
  page.event(*button, "click");
  EXPECT_EQ(clicks, 0);
  page.run([&] { button->show(); });
  page.event(*button, "click");
  EXPECT_EQ(clicks, 1);
}

TEST(Session, UnknownWidgetIdsAreIgnored) {
  TestPage page([](Application& app) { app.root()->addWidget(std::make_unique<Text>("x")); });
  Event e;
  e.type = "click";
  e.target = "w999999999";
  page.event(e);
  e.target = "<script>";
  page.event(e);
  EXPECT_TRUE(page.take().empty());
}

TEST(Session, ReconnectSendsTheWholePage) {
  TestPage page([](Application& app) { app.root()->addWidget(std::make_unique<Text>("whole")); });
  auto again = std::make_shared<web::test::Recorder>();
  page.session().connect(again);
  const auto updates = again->updates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_TRUE(updates[0].page);
  EXPECT_EQ(updates[0].widgets[0].first, page.app().root()->id());
  EXPECT_NE(updates[0].widgets[0].second.find("whole"), std::string::npos);
  EXPECT_TRUE(page.recorder().closed());  // one socket per session
}

TEST(Session, ChangesWhileDisconnectedGoWithTheNextPage) {
  Text* t = nullptr;
  TestPage page([&](Application& app) { t = app.root()->addWidget(std::make_unique<Text>("before")); });
  page.session().disconnect(&page.recorder());
  page.run([&] { t->setText("after"); });
  auto again = std::make_shared<web::test::Recorder>();
  page.session().connect(again);
  const auto updates = again->updates();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_NE(updates[0].widgets[0].second.find("after"), std::string::npos);
}

TEST(Session, PushUnderUpdateLockFromAnotherThread) {
  Text* t = nullptr;
  TestPage page([&](Application& app) {
    app.enableUpdates(true);
    t = app.root()->addWidget(std::make_unique<Text>("0"));
  });
  std::thread backEnd([&] {
    Application::UpdateLock lock(&page.app());
    ASSERT_TRUE(lock);
    EXPECT_EQ(Application::instance(), &page.app());
    t->setText("pushed");
    page.app().triggerUpdate();
  });
  backEnd.join();
  const auto ids = page.sentIds();
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(ids[0], t->id());
}

TEST(Session, TriggerUpdateWithoutEnabledUpdatesWaitsForTheNextEvent) {
  Text* t = nullptr;
  TestPage page([&](Application& app) { t = app.root()->addWidget(std::make_unique<Text>("0")); });
  {
    Application::UpdateLock lock(&page.app());
    t->setText("1");
    page.app().triggerUpdate();
  }
  EXPECT_TRUE(page.take().empty());
  page.run([] {});
  EXPECT_EQ(page.sentIds().size(), 1u);
}

TEST(Session, UpdateLockFailsForADyingSession) {
  TestPage page;
  page.session().beginTeardown();
  std::atomic<bool> result{true};
  std::thread t([&] {
    Application::UpdateLock lock(&page.app());
    result = static_cast<bool>(lock);
  });
  t.join();
  EXPECT_FALSE(result);
}

TEST(Session, UpdateLockWaitingForABusySessionFailsWhenItStartsDying) {
  HandlerPool pool(2);
  TestPage page({}, &pool);
  std::atomic<bool> inHandler{false}, release{false};
  page.run([&] {
    inHandler = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  ASSERT_TRUE(eventually([&] { return inHandler.load(); }));
  std::atomic<int> result{-1};
  std::thread waiter([&] {
    Application::UpdateLock lock(&page.app());
    result = lock ? 1 : 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(result, -1);  // waits while the handler runs
  page.session().beginTeardown();
  waiter.join();
  EXPECT_EQ(result, 0);
  release = true;
}

TEST(Session, ExecWaitsForTheAnswerWithoutHoldingTheLock) {
  HandlerPool pool(2);
  std::atomic<int> answer{-1};
  TestPage page({}, &pool);
  page.run([&] { answer = MessageBox::show("Confirm", "Are you sure you want to power down?", Yes | No); });
  // The box is on the page...
  ASSERT_TRUE(eventually([&] {
    for (const auto& u : page.recorder().updates())
      for (const auto& w : u.widgets)
        if (w.second.find("Are you sure") != std::string::npos) return true;
    return false;
  }));
  // ...and other code can take the lock meanwhile (a back-end push).
  std::string yesId;
  {
    Application::UpdateLock lock(&page.app());
    ASSERT_TRUE(lock);
    page.app().dialogs().visitRenderedChildren([&](Widget& d) {
      if (auto* box = dynamic_cast<MessageBox*>(&d)) yesId = box->button(Yes)->id();
    });
  }
  ASSERT_FALSE(yesId.empty());
  EXPECT_EQ(answer, -1);
  Event click;
  click.type = "click";
  click.target = yesId;
  page.event(click);
  ASSERT_TRUE(eventually([&] { return answer != -1; }));
  EXPECT_EQ(answer, static_cast<int>(Yes));
}

TEST(Session, ExecReturnsNoButtonWhenTheSessionEnds) {
  HandlerPool pool(2);
  std::atomic<int> answer{-1};
  auto page = std::make_unique<TestPage>(TestPage::Builder{}, &pool);
  page->run([&] { answer = MessageBox::show("Info", "Power command sent"); });
  ASSERT_TRUE(eventually([&] { return page->recorder().count() > 0; }));
  page.reset();  // teardown: the wait returns
  EXPECT_EQ(answer, static_cast<int>(NoButton));
}

TEST(Session, ProcessEventsLetsCancelThroughALongHandler) {
  HandlerPool pool(2);
  std::atomic<int> steps{0};
  std::atomic<bool> stopped{false};
  ProgressDialog* dialog = nullptr;
  std::string cancelId;
  TestPage page({}, &pool);
  page.run([&] {
    ProgressDialog d("Powering up nodes", "Cancel", 0, 1000);
    dialog = &d;
    d.show();
    while (steps < 1000 && !d.wasCanceled()) {
      d.setValue(++steps);
      page.app().processEvents();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stopped = true;
    dialog = nullptr;
  });
  ASSERT_TRUE(eventually([&] { return steps > 3; }));
  // The Cancel button's id, from what the page was sent.
  ASSERT_TRUE(eventually([&] {
    for (const auto& u : page.recorder().updates())
      for (const auto& w : u.widgets) {
        const auto p = w.second.find("<button id=\"");
        const auto c = w.second.find(">Cancel</button>");
        if (p != std::string::npos && c != std::string::npos) {
          const auto start = w.second.rfind("<button id=\"", c) + 12;
          cancelId = w.second.substr(start, w.second.find('"', start) - start);
          return true;
        }
      }
    return false;
  }));
  Event click;
  click.type = "click";
  click.target = cancelId;
  page.event(click);
  ASSERT_TRUE(eventually([&] { return stopped.load(); }));
  EXPECT_LT(steps, 1000);
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
    hiddenText = static_cast<Text*>(tabs->widget(0));
    auto second = std::make_unique<Text>("second tab");
    hiddenText = second.get();
    tabs->addTab(std::move(second), "Two");
  });
  EXPECT_EQ(page.firstPage().find("second tab"), std::string::npos);
  page.run([&] { hiddenText->setText("second tab changed"); });
  EXPECT_TRUE(page.take().empty());  // not on the page: nothing to send
  page.run([&] { tabs->setCurrentIndex(1); });
  const auto updates = page.take();
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].widgets[0].first, tabs->id());
  EXPECT_NE(updates[0].widgets[0].second.find("second tab changed"), std::string::npos);
}

TEST(Session, QuitAsksTheServerToEndTheSession) {
  bool asked = false;
  TestPage page;
  page.session().setQuitHandler([&] { asked = true; });
  Event quit;
  quit.type = "quit";
  page.event(quit);
  EXPECT_TRUE(asked);
}
