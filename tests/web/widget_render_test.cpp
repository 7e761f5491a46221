// What widgets write into the page.
#include <gtest/gtest.h>

#include "web/box_layout.h"
#include "web/check_box.h"
#include "web/combo_box.h"
#include "web/container.h"
#include "web/grid_layout.h"
#include "web/image.h"
#include "web/line_edit.h"
#include "web/progress_bar.h"
#include "web/push_button.h"
#include "web/text.h"

using namespace web;

TEST(Render, TextFromOutsideNeverBecomesMarkup) {
  Text plain("<script>alert(1)</script>");
  EXPECT_EQ(plain.html().find("<script>"), std::string::npos);
  EXPECT_NE(plain.html().find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);

  Text markup("<b>Name:</b> <script>alert(1)</script>", TextFormat::Markup);
  const std::string html = markup.html();
  EXPECT_NE(html.find("<b>Name:</b>"), std::string::npos);
  EXPECT_EQ(html.find("<script>"), std::string::npos);

  // Attributes cannot be broken out of.
  LineEdit edit("\" autofocus onfocus=\"steal()");
  EXPECT_NE(edit.html().find("value=\"&quot; autofocus onfocus=&quot;steal()\""), std::string::npos) << edit.html();
  Image img("x\" onerror=\"steal()");
  EXPECT_EQ(img.html().find("onerror=\"steal"), std::string::npos);
  Text t("tip");
  t.setToolTip("\"><script>x</script>");
  EXPECT_EQ(t.html().find("<script>"), std::string::npos);
  Image tipped("/images/serveron.png");
  tipped.setToolTip("Name: <script>x</script><br/>Status: up", TextFormat::Markup);
  EXPECT_NE(tipped.html().find("data-tip=\""), std::string::npos);
  EXPECT_EQ(tipped.html().find("<script"), std::string::npos) << "a markup tool tip is filtered too";
  EXPECT_NE(tipped.html().find("&lt;br /&gt;"), std::string::npos) << "the kept markup, as an attribute value";
}

TEST(Render, IdEventsAndStates) {
  PushButton b("OK");
  EXPECT_EQ(b.html().find("data-ev"), std::string::npos);
  b.clicked().connect([] {});
  const std::string html = b.html();
  EXPECT_NE(html.find("id=\"" + b.id() + "\""), std::string::npos);
  EXPECT_NE(html.find("data-ev=\"click\""), std::string::npos);
  LineEdit e;
  EXPECT_NE(e.html().find("data-ev=\"change\""), std::string::npos);  // always: the text must follow

  Container c;
  c.addWidget(std::make_unique<Text>("secret contents"));
  c.hide();
  EXPECT_NE(c.html().find("display:none"), std::string::npos);
  EXPECT_EQ(c.html().find("secret contents"), std::string::npos) << "a hidden widget is an empty placeholder";

  b.disable();
  EXPECT_NE(b.html().find(" disabled"), std::string::npos);
  CheckBox box("Automatic server naming");
  EXPECT_EQ(box.html().find(" checked"), std::string::npos);
  box.setChecked(true);
  EXPECT_NE(box.html().find(" checked"), std::string::npos);
  LineEdit p("s3cret");
  p.setEchoMode(LineEdit::EchoMode::Password);
  EXPECT_NE(p.html().find("type=\"password\""), std::string::npos);
  // A password never goes back to the page, and the server forgets what it
  // no longer shows.
  EXPECT_EQ(p.html().find("s3cret"), std::string::npos);
  EXPECT_EQ(p.html().find("value="), std::string::npos);
  EXPECT_EQ(p.text(), "");
}

TEST(Render, LayoutsPlaceItemsInOrderAndInCells) {
  Container c;
  auto* box = c.setLayout(std::make_unique<HBoxLayout>());
  box->setSpacing(0);
  auto* a = box->addWidget(std::make_unique<Text>("first"), 0);
  auto* b = box->addWidget(std::make_unique<Text>("second"), 1, AlignTop);
  const std::string html = c.html();
  EXPECT_NE(html.find("display:flex;flex-direction:row"), std::string::npos);
  EXPECT_LT(html.find("first"), html.find("second"));
  EXPECT_NE(a->html().find("flex:0 0 auto"), std::string::npos);
  EXPECT_NE(b->html().find("flex:1 1 auto;align-self:start"), std::string::npos);

  Container g;
  auto* grid = g.setLayout(std::make_unique<GridLayout>());
  grid->addWidget(std::make_unique<Text>("label"), 1, 0, AlignRight);
  auto* v = grid->addWidget(std::make_unique<Text>("value"), 1, 1, 1, 2);
  grid->setColumnStretch(1, 1);
  EXPECT_NE(g.html().find("display:grid"), std::string::npos);
  EXPECT_NE(v->html().find("grid-row:2 / span 1;grid-column:2 / span 2"), std::string::npos);
  EXPECT_EQ(grid->columnCount(), 3);
  EXPECT_EQ(grid->widgetAt(1, 1), v);
}

TEST(Render, ProgressBarShowsWholePercent) {
  ProgressBar bar;
  bar.setRange(0, 100);
  bar.setValue(100 * 2 / 3);
  EXPECT_NE(bar.html().find("66 %"), std::string::npos);
  bar.setRange(0, 0);
  EXPECT_EQ(bar.percentage(), 0);
  // Work of unknown length: busy, and no percentage that would look stuck.
  EXPECT_TRUE(bar.isBusy());
  EXPECT_NE(bar.html().find("w-progress-busy"), std::string::npos);
  EXPECT_EQ(bar.html().find("%"), std::string::npos);
}

TEST(Render, ComboWithoutChoiceShowsNoEntryAsChosen) {
  ComboBox combo;
  combo.addItem("1U");
  combo.addItem("<2U>");
  EXPECT_EQ(combo.currentIndex(), 0);
  combo.setCurrentIndex(-1);
  const std::string html = combo.html();
  EXPECT_NE(html.find("<option value=\"-1\" selected hidden>"), std::string::npos);
  EXPECT_NE(html.find("&lt;2U&gt;"), std::string::npos);
}

TEST(Render, NestedLayoutsAndRemovalFromALayout) {
  Container c;
  auto* outer = c.setLayout(std::make_unique<VBoxLayout>());
  auto* row = outer->addLayout(std::make_unique<HBoxLayout>(), 0, AlignLeft | AlignTop);
  auto* inner = row->addWidget(std::make_unique<Text>("inner text"));
  EXPECT_EQ(inner->parent(), &c);  // layouts place widgets; the container owns them
  EXPECT_NE(c.html().find("inner text"), std::string::npos);
  auto taken = c.removeWidget(inner);
  EXPECT_EQ(taken.get(), inner) << "removing a widget gives it back";
  EXPECT_EQ(c.count(), 0);
  EXPECT_EQ(c.html().find("inner text"), std::string::npos);
  c.clear();
  EXPECT_EQ(c.layout(), nullptr);
}
