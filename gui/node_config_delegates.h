// How the Servers tab's grid shows and edits its cells: host names and MAC
// addresses in a line edit that refuses what the registry could not take,
// and the power state as an icon with its word.
// Used only inside their session, under the session's lock (not thread-safe).
#pragma once

#include <memory>
#include <string>

#include "web/item_delegate.h"

namespace web {
class LineEdit;
}

// A line-edit delegate that keeps its editor open while the text is refused.
// Saving (Enter, leaving the field) a refused text says why in an "Error" box,
// whose OK puts the focus back into the field; Escape always leaves the cell
// as it was. A text that equals the cell's closes without saving.
class CheckedItemDelegate : public web::ItemDelegate {
 public:
  // The text shown when a typed text is refused.
  const std::string& refusal() const { return refusal_; }

 protected:
  // logName: the class name that prefixes the log line; valid judges the
  // text, an emptied field being judged as the word "unset"; quietWhenEmpty
  // keeps a refused empty field open without the box.
  CheckedItemDelegate(std::string logName, bool (*valid)(const std::string&), std::string refusal,
                      bool quietWhenEmpty);
  std::unique_ptr<web::Widget> createEditor(const web::ModelIndex& index, unsigned flags) const override;
  void doCloseEditor(web::Widget* editor, bool save) const override;
  virtual void prepare(web::LineEdit& editor) const = 0;

 private:
  const std::string logName_;
  bool (*const valid_)(const std::string&);
  const std::string refusal_;
  const bool quietWhenEmpty_;
  // The cell's text when the editor opened; one editor is open at a time.
  mutable std::string orig_;
};

// Host names: letters, digits, "-" and "_"; the field takes at most the 15
// characters a record holds.
class HostNameItemDelegate : public CheckedItemDelegate {
 public:
  HostNameItemDelegate();

 protected:
  void prepare(web::LineEdit& editor) const override;
};

// MAC addresses: xx:xx:xx:xx:xx:xx in lower-case hexadecimal. An emptied
// field stays open without a box, showing the expected form instead.
class MacAddrItemDelegate : public CheckedItemDelegate {
 public:
  MacAddrItemDelegate();

 protected:
  void prepare(web::LineEdit& editor) const override;
};

// The power cell: the item's icon and word as one widget, with the item's
// tooltip, so a new power state sends only that cell to the page.
class PowerCellDelegate : public web::AbstractItemDelegate {
 public:
  std::unique_ptr<web::Widget> update(std::unique_ptr<web::Widget> widget, const web::ModelIndex& index,
                                      unsigned flags) override;
};
