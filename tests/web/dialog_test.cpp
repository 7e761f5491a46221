// Radio button groups, message box answers and the progress dialog.
#include <gtest/gtest.h>

#include "tests/web/support/test_page.h"
#include "web/container.h"
#include "web/message_box.h"
#include "web/progress_dialog.h"
#include "web/radio_button.h"

using namespace web;
using web::test::TestPage;

TEST(ButtonGroup, IdsAndTheCheckedButton) {
  ButtonGroup group;
  RadioButton a("ubuntu"), b("centos"), c("<sles>");
  group.addButton(&a, 0);
  group.addButton(&b, 1);
  group.addButton(&c);  // next free id: 2
  EXPECT_EQ(group.id(&c), 2);
  EXPECT_EQ(group.checkedId(), -1);
  b.setChecked(true);
  EXPECT_EQ(group.checkedId(), 1);
  c.setChecked(true);
  EXPECT_EQ(group.checkedId(), 2);
  EXPECT_FALSE(b.isChecked());
  EXPECT_EQ(group.button(1), &b);
  EXPECT_NE(c.html().find("&lt;sles&gt;"), std::string::npos);
  EXPECT_NE(c.html().find("name=\"" + group.name() + "\""), std::string::npos);
  {
    RadioButton gone("x");
    group.addButton(&gone, 4);
    gone.setChecked(true);
    EXPECT_EQ(group.count(), 4);
  }
  EXPECT_EQ(group.count(), 3) << "a destroyed button leaves the group";
  EXPECT_EQ(group.checkedButton(), nullptr);
}

TEST(ButtonGroup, PersonCheckingAButtonTellsTheGroupOnce) {
  auto group = std::make_unique<ButtonGroup>();
  Container* box = nullptr;
  std::vector<int> changes;
  TestPage page([&](Application& app) {
    box = app.root()->addWidget(std::make_unique<Container>());
    group->checkedChanged().connect([&](RadioButton* r) { changes.push_back(group->id(r)); });
  });
  std::vector<RadioButton*> buttons;
  // Rebuilt many times, as a refreshing tab does: the group's one connection stays.
  for (int round = 0; round < 10; ++round) {
    page.run([&] {
      box->clear();
      buttons.clear();
      for (int k = 0; k < 3; ++k) {
        buttons.push_back(box->addWidget(std::make_unique<RadioButton>("option " + std::to_string(k))));
        group->addButton(buttons.back(), k);
      }
      buttons[1]->setChecked(true);
    });
  }
  EXPECT_EQ(group->count(), 3);
  page.event(*buttons[2], "change", "1");
  EXPECT_EQ(changes, std::vector<int>{2});
  EXPECT_EQ(group->checkedId(), 2);
  EXPECT_FALSE(buttons[1]->isChecked());
  page.event(*buttons[2], "change", "1");  // already checked: nothing new
  EXPECT_EQ(changes.size(), 1u);
}

TEST(MessageBox, OpenReturnsAtOnceTakesEveryEventAndReportsTheAnswer) {
  std::vector<StandardButton> answers;
  MessageBox* box = nullptr;
  PushButton* behind = nullptr;
  int clicks = 0;
  TestPage page([&](Application& app) {
    behind = app.root()->addWidget(std::make_unique<PushButton>("Delete node"));
    behind->clicked().connect([&] { ++clicks; });
  });
  page.run([&] {
    box = MessageBox::open("Confirm", "Are you sure you want to power up?", Yes | No,
                           [&](StandardButton b) { answers.push_back(b); });
  });
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(page.app().dialogs().shownCount(), 1u);
  ASSERT_NE(box->button(Yes), nullptr);
  ASSERT_NE(box->button(No), nullptr);
  EXPECT_EQ(box->button(Ok), nullptr);
  page.event(*behind, "click");
  EXPECT_EQ(clicks, 0) << "the modal box takes every event";
  page.event(*box->button(No), "click");
  EXPECT_EQ(answers, std::vector<StandardButton>{No});
  EXPECT_EQ(page.app().dialogs().shownCount(), 0u);
  page.event(*behind, "click");
  EXPECT_EQ(clicks, 1);
}

TEST(MessageBox, ButtonClickedCarriesTheButtonAndExecWithoutAPageReturnsNone) {
  MessageBox box("Info", "Power command sent", Icon::Information, Ok);
  StandardButton got = NoButton;
  box.buttonClicked().connect([&](StandardButton b) { got = b; });
  box.show();
  EXPECT_NE(box.html().find("w-icon-info"), std::string::npos);
  Event click;
  click.type = "click";
  click.target = box.button(Ok)->id();
  box.button(Ok)->handleEvent(click);
  EXPECT_EQ(got, Ok);
  EXPECT_EQ(box.buttonResult(), Ok);
  EXPECT_EQ(box.result(), Dialog::Accepted);
  EXPECT_TRUE(box.isHidden());
  MessageBox unseen("Info", "nobody answers");
  EXPECT_EQ(unseen.exec(), NoButton) << "exec without a page";
}

TEST(ProgressDialog, CancelIsRemembered) {
  ProgressDialog d("Resetting nodes", "Cancel", 0, 3);
  int canceled = 0;
  d.canceled().connect([&] { ++canceled; });
  d.setValue(2);
  d.setLabelText("Resetting node2");
  d.show();
  EXPECT_NE(d.html().find("Resetting node2"), std::string::npos);
  EXPECT_FALSE(d.wasCanceled());
  d.cancel();
  d.cancel();
  EXPECT_TRUE(d.wasCanceled());
  EXPECT_EQ(canceled, 1);
  d.reset();
  EXPECT_FALSE(d.wasCanceled());
  EXPECT_EQ(d.value(), 0);

  // Work that cannot be stopped offers no Cancel.
  ProgressDialog installing("Installing", "");
  installing.show();
  EXPECT_EQ(installing.html().find("Cancel"), std::string::npos);
  EXPECT_EQ(installing.html().find("<button"), std::string::npos) << installing.html();
}
