// Item models, the table view over them, delegates and the combo box.
#include <gtest/gtest.h>

#include "tests/web/support/test_page.h"
#include "web/any_text.h"
#include "web/combo_box.h"
#include "web/line_edit.h"
#include "web/standard_item_model.h"
#include "web/string_list_model.h"
#include "web/table_view.h"

using namespace web;
using web::test::TestPage;

namespace {

std::vector<std::unique_ptr<StandardItem>> row(std::initializer_list<const char*> texts) {
  std::vector<std::unique_ptr<StandardItem>> items;
  for (const char* t : texts) items.push_back(std::make_unique<StandardItem>(t));
  return items;
}

std::shared_ptr<StandardItemModel> nodeModel() {
  auto model = std::make_shared<StandardItemModel>(0, 3);
  model->setHeaderData(0, std::string("Hostname"));
  model->setHeaderData(1, std::string("MC MAC address"));
  model->setHeaderData(2, std::string("Power status"));
  model->appendRow(row({"node1", "00:1a:2b:3c:4d:01", "up"}));
  model->appendRow(row({"node2", "00:1a:2b:3c:4d:02", "down"}));
  model->appendRow(row({"node3", "unset", "unknown"}));
  return model;
}

// A table view over a model on a page of its own.
struct HasView {
  TableView* view = nullptr;
};
struct TablePage : HasView, TestPage {
  explicit TablePage(const std::shared_ptr<StandardItemModel>& model, const std::function<void(TableView&)>& setUp = {})
      : TestPage([&](Application& app) {
          view = app.root()->addWidget(std::make_unique<TableView>());
          view->setModel(model);
          if (setUp) setUp(*view);
        }) {}
  // The cell editor the view shows.
  LineEdit* editor() const {
    LineEdit* found = nullptr;
    view->visitChildren([&](Widget& w) { found = dynamic_cast<LineEdit*>(&w) ? dynamic_cast<LineEdit*>(&w) : found; });
    return found;
  }
};

}  // namespace

TEST(StandardItemModel, IndexesRowNumbersAndChangesOnlyForNewValues) {
  auto model = nodeModel();
  EXPECT_EQ(asString(model->data(model->index(2, 1))), "unset");
  EXPECT_FALSE(model->index(3, 0).isValid());
  EXPECT_FALSE(model->headerData(5).has_value());
  std::vector<std::pair<int, int>> changed;
  model->itemChanged().connect([&](StandardItem* item) { changed.emplace_back(item->row(), item->column()); });
  model->setData(model->index(1, 0), std::string("web_01"));
  model->item(1, 0)->setText("web_01");  // the same text again
  model->item(2, 2)->setIcon("icons/unknown.png");
  model->item(0, 0)->setFlags(ItemIsSelectable | ItemIsEditable);  // flags are not a value
  ASSERT_EQ(changed.size(), 2u);
  EXPECT_EQ(changed[0], std::make_pair(1, 0));
  EXPECT_EQ(changed[1], std::make_pair(2, 2));
  EXPECT_EQ(model->item(1, 0)->data(EditRole).type(), typeid(std::string));

  StandardItem* third = model->item(2, 0);
  ASSERT_TRUE(model->removeRows(0, 1));
  EXPECT_EQ(third->row(), 1) << "removing a row renumbers the items";
  EXPECT_EQ(model->item(1, 0), third);
  model->insertRow(0, row({"node0"}));
  EXPECT_EQ(third->row(), 2);
  EXPECT_EQ(model->item(0, 1), nullptr) << "a short row leaves its other cells empty";
}

TEST(TableView, ClickAndProgramSelectAndDoubleClickCarriesTheIndex) {
  auto model = nodeModel();
  int selectionChanges = 0;
  ModelIndex doubleClicked;
  TablePage page(model, [&](TableView& view) {
    view.setSelectionMode(SelectionMode::Single);
    view.selectionChanged().connect([&] { ++selectionChanges; });
    view.doubleClicked().connect([&](ModelIndex i, MouseEvent) { doubleClicked = i; });
  });
  page.event(*page.view, "click", {}, "1,2");
  ASSERT_EQ(page.view->selectedIndexes().size(), 1u);
  EXPECT_EQ(page.view->selectedIndexes()[0].row(), 1);
  page.event(*page.view, "click", {}, "2,0");
  EXPECT_EQ(page.view->selectedIndexes()[0].row(), 2);
  EXPECT_EQ(selectionChanges, 2);
  page.event(*page.view, "dblclick", {}, "0,2");
  EXPECT_EQ(doubleClicked.row(), 0);
  EXPECT_EQ(doubleClicked.column(), 2);
  page.event(*page.view, "click", {}, "7,0");  // out of the model: nothing
  page.event(*page.view, "click", {}, "1;0");
  EXPECT_EQ(selectionChanges, 2);

  // Whole rows, selected by the program.
  page.view->setSelectionBehavior(SelectionBehavior::Rows);
  page.view->select(model->index(1, 1));
  EXPECT_EQ(selectionChanges, 3);
  ASSERT_EQ(page.view->selectedIndexes().size(), 1u);
  EXPECT_EQ(page.view->selectedIndexes()[0].row(), 1);
  EXPECT_TRUE(page.view->isSelected(model->index(1, 0)));
  EXPECT_NE(page.view->html().find("class=\"w-sel\"><td"), std::string::npos) << "the row is marked";
  page.view->select(model->index(1, 1));
  EXPECT_EQ(selectionChanges, 3) << "the same again: no change";
}

TEST(TableView, ColumnsRowsAndLook) {
  auto model = nodeModel();
  TableView view;
  view.setModel(model);
  view.setColumnWidth(0, 100);
  view.setColumnHidden(1, true);
  view.setAlternatingRowColors(true);
  view.setRowHeight(25);
  model->item(2, 2)->setIcon("icons/unknown.png");
  model->item(2, 2)->setToolTip("Unknown error; power control not available");
  model->item(0, 0)->setText("<b>x</b>");
  const std::string html = view.html();
  EXPECT_EQ(html.find("MC MAC address"), std::string::npos);
  EXPECT_EQ(html.find("00:1a:2b:3c:4d:01"), std::string::npos);
  EXPECT_NE(html.find("<col style=\"width:100px\">"), std::string::npos);
  EXPECT_NE(html.find("w-alternating"), std::string::npos);
  EXPECT_NE(html.find("height:25px"), std::string::npos);
  EXPECT_NE(html.find("src=\"icons/unknown.png\""), std::string::npos);
  EXPECT_NE(html.find("title=\"Unknown error; power control not available\""), std::string::npos);
  EXPECT_NE(html.find("&lt;b&gt;x&lt;/b&gt;"), std::string::npos);
}

TEST(TableView, EditorSavesOnEnterAndDiscardsOnEscape) {
  auto model = nodeModel();
  model->item(0, 0)->setFlags(ItemIsSelectable | ItemIsEditable);
  std::vector<std::string> changes;
  model->itemChanged().connect([&](StandardItem* item) { changes.push_back(item->text()); });
  TablePage page(model);
  page.event(*page.view, "dblclick", {}, "1,0");
  EXPECT_FALSE(page.view->isEditing(model->index(1, 0))) << "not editable: no editor";
  page.event(*page.view, "dblclick", {}, "0,0");
  ASSERT_TRUE(page.view->isEditing(model->index(0, 0)));
  LineEdit* editor = page.editor();
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text(), "node1");
  Event enter;
  enter.type = "keydown";
  enter.key = "Enter";
  enter.target = editor->id();
  enter.value = "web_01";
  page.event(enter);
  EXPECT_FALSE(page.view->isEditing(model->index(0, 0)));
  EXPECT_EQ(model->item(0, 0)->text(), "web_01");
  ASSERT_EQ(changes, std::vector<std::string>{"web_01"});

  page.event(*page.view, "dblclick", {}, "0,0");
  Event escape = enter;
  escape.key = "Escape";
  escape.target = page.editor()->id();
  escape.value = "discarded";
  page.event(escape);
  EXPECT_FALSE(page.view->isEditing(model->index(0, 0)));
  EXPECT_EQ(model->item(0, 0)->text(), "web_01");
}

namespace {

// Keeps its editor open while the text is no valid host name, as a host
// name cell does.
class HostNameDelegate : public ItemDelegate {
 public:
  mutable int refused = 0;

 protected:
  void doCloseEditor(Widget* editor, bool save) const override {
    const std::string text = std::any_cast<std::string>(editState(editor));
    if (save && text.find('.') != std::string::npos) {
      ++refused;
      return;
    }
    ItemDelegate::doCloseEditor(editor, save);
  }
};

}  // namespace

TEST(TableView, DelegateMayKeepItsEditorOpen) {
  auto model = nodeModel();
  model->item(1, 0)->setFlags(ItemIsSelectable | ItemIsEditable);
  auto delegate = std::make_shared<HostNameDelegate>();
  TablePage page(model, [&](TableView& view) { view.setItemDelegateForColumn(0, delegate); });
  page.run([&] { page.view->edit(model->index(1, 0)); });
  LineEdit* editor = page.editor();
  ASSERT_NE(editor, nullptr);
  page.event(*editor, "blur", "web.01");
  EXPECT_EQ(delegate->refused, 1);
  EXPECT_TRUE(page.view->isEditing(model->index(1, 0)));
  EXPECT_EQ(model->item(1, 0)->text(), "node2");
  page.event(*editor, "blur", "web_01");
  EXPECT_FALSE(page.view->isEditing(model->index(1, 0)));
  EXPECT_EQ(model->item(1, 0)->text(), "web_01");
}

namespace {

// Shows a combo box in every cell of its column, like a partition column.
class ComboDelegate : public AbstractItemDelegate {
 public:
  std::shared_ptr<StringListModel> choices = std::make_shared<StringListModel>(std::vector<std::string>{"-1", "0"});
  int created = 0;

  std::unique_ptr<Widget> update(std::unique_ptr<Widget> widget, const ModelIndex& index, unsigned) override {
    auto* combo = dynamic_cast<ComboBox*>(widget.get());
    if (!combo) {
      widget = std::make_unique<ComboBox>();
      combo = static_cast<ComboBox*>(widget.get());
      ++created;
    }
    combo->setModel(choices);
    combo->setCurrentIndex(combo->findText(asString(index.data())));
    return widget;
  }
  void replaceChoices(std::vector<std::string> list) {
    choices = std::make_shared<StringListModel>(std::move(list));
    closeEditor().emit(nullptr, true);
  }
};

}  // namespace

TEST(TableView, DelegateWidgetsInEveryCellFollowTheModel) {
  auto model = std::make_shared<StandardItemModel>(0, 1);
  model->appendRow(row({"0"}));
  model->appendRow(row({"1"}));
  auto delegate = std::make_shared<ComboDelegate>();
  TableView view;
  view.setItemDelegateForColumn(0, delegate);
  view.setModel(model);
  std::vector<ComboBox*> combos;
  view.visitChildren([&](Widget& w) { combos.push_back(dynamic_cast<ComboBox*>(&w)); });
  ASSERT_EQ(combos.size(), 2u);
  EXPECT_EQ(combos[0]->currentText(), "0");
  EXPECT_EQ(combos[1]->currentIndex(), -1);  // "1" is no choice yet
  delegate->replaceChoices({"-1", "0", "1"});
  EXPECT_EQ(combos[1]->currentText(), "1");  // the same widgets, new choices
  EXPECT_EQ(delegate->created, 2);
  EXPECT_NE(view.html().find("<select"), std::string::npos);
}

TEST(TableView, AChangeSendsItsRowOrOnlyItsCellsWidget) {
  auto model = nodeModel();
  auto delegate = std::make_shared<ComboDelegate>();
  delegate->choices = std::make_shared<StringListModel>(std::vector<std::string>{"up", "down", "unknown"});
  TablePage page(model, [&](TableView& view) {
    view.setItemDelegateForColumn(2, delegate);
    view.setSelectionMode(SelectionMode::Single);
  });
  const auto sent = [&] {
    std::vector<std::string> html;
    for (const Update& u : page.take())
      for (const auto& w : u.widgets) html.push_back(w.second);
    return html;
  };
  page.run([&] { model->item(1, 0)->setText("web_02"); });
  std::vector<std::string> html = sent();
  ASSERT_EQ(html.size(), 1u);
  EXPECT_EQ(html[0].rfind("<tr id=\"w", 0), 0u) << html[0];
  EXPECT_NE(html[0].find("web_02"), std::string::npos);
  EXPECT_EQ(html[0].find("node1"), std::string::npos) << "no other row";

  page.run([&] { model->item(2, 2)->setText("down"); });
  html = sent();
  ASSERT_EQ(html.size(), 1u);
  EXPECT_EQ(html[0].rfind("<select", 0), 0u) << "the cell's widget alone: " << html[0];

  page.event(*page.view, "click", {}, "0,1");
  html = sent();
  ASSERT_EQ(html.size(), 1u);
  EXPECT_NE(html[0].find("class=\"w-sel\""), std::string::npos) << "the selected cell's row";

  page.run([&] { model->appendRow(row({"node4", "unset", "up"})); });
  html = sent();
  ASSERT_EQ(html.size(), 1u);
  EXPECT_EQ(html[0].rfind("<div id=\"" + page.view->id() + "\"", 0), 0u) << "a new row: the table";
  EXPECT_NE(html[0].find("node4"), std::string::npos);
}

TEST(TableView, DraggingACellOntoAnotherCopiesItsText) {
  auto model = nodeModel();
  for (int r = 0; r < 3; ++r) model->item(r, 1)->setFlags(ItemIsSelectable | ItemIsDragEnabled | ItemIsDropEnabled);
  TablePage page(model);
  Event drop;
  drop.type = "drop";
  drop.target = page.view->id();
  drop.arg = "2,1";
  drop.source = "0,1";
  page.event(drop);
  EXPECT_EQ(model->item(2, 1)->text(), "unset");  // drops not enabled on the view yet
  page.run([&] {
    page.view->setDragEnabled(true);
    page.view->setDropsEnabled(true);
  });
  EXPECT_NE(page.view->html().find("draggable=\"true\""), std::string::npos);
  page.event(drop);
  EXPECT_EQ(model->item(2, 1)->text(), "00:1a:2b:3c:4d:01");
  drop.source = "0,0";  // a host name cell is not draggable
  page.event(drop);
  EXPECT_EQ(model->item(2, 1)->text(), "00:1a:2b:3c:4d:01");
}

TEST(ComboBox, PersonChoosesAnEntry) {
  ComboBox* combo = nullptr;
  std::vector<std::string> chosen;
  TestPage page([&](Application& app) {
    combo = app.root()->addWidget(std::make_unique<ComboBox>());
    for (const char* s : {"1U", "2U", "4U"}) combo->addItem(s);
    combo->activatedText().connect([&](std::string t) { chosen.push_back(t); });
  });
  EXPECT_EQ(combo->currentText(), "1U");
  page.event(*combo, "change", "2");
  EXPECT_EQ(combo->currentIndex(), 2);
  EXPECT_EQ(chosen, std::vector<std::string>{"4U"});
  page.event(*combo, "change", "9");  // no such entry
  EXPECT_EQ(combo->currentIndex(), 2);
  EXPECT_EQ(combo->findText("2U"), 1);
  EXPECT_EQ(combo->findText("2u"), -1);
  page.run([&] { combo->clear(); });
  EXPECT_EQ(combo->count(), 0);
  EXPECT_EQ(combo->currentIndex(), -1);
}
