// Layouts place a container's widgets with CSS flex boxes or grids. A layout
// owns its items; the container that holds the layout owns the layout.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "web/alignment.h"
#include "web/widget.h"

namespace web {

class Layout;

class LayoutItem {
 public:
  LayoutItem(std::unique_ptr<Widget> widget, std::unique_ptr<Layout> layout);
  ~LayoutItem();
  Widget* widget() const { return widget_.get(); }
  Layout* layout() const { return layout_.get(); }

  int stretch = 0;
  unsigned alignment = AlignNone;
  int row = 0, column = 0, rowSpan = 1, columnSpan = 1;  // grid only

 private:
  friend class Layout;
  std::unique_ptr<Widget> widget_;
  std::unique_ptr<Layout> layout_;
};

class Layout {
 public:
  Layout();
  virtual ~Layout();
  Layout(const Layout&) = delete;
  Layout& operator=(const Layout&) = delete;

  int count() const { return static_cast<int>(items_.size()); }
  LayoutItem* itemAt(int index) const;
  int indexOf(const Widget* widget) const;
  // Takes a widget out of this layout or one nested in it.
  std::unique_ptr<Widget> removeWidget(Widget* widget);
  void clear();

  void setSpacing(int pixels);
  int spacing() const { return spacing_; }
  void setContentsMargins(int left, int top, int right, int bottom);
  // Where the items sit when they do not fill the container.
  void setContentAlignment(unsigned alignment);

  // The container element's own CSS, and the items inside it.
  virtual std::string containerStyle() const = 0;
  virtual void renderItems(std::string& out);
  void visitWidgets(const std::function<void(Widget&)>& fn) const;
  // Called by the container (or outer layout) that takes this layout.
  void attach(Widget* owner);

 protected:
  LayoutItem& addItem(std::unique_ptr<Widget> widget, std::unique_ptr<Layout> layout);
  // CSS placing one item; used for widgets and nested layouts alike.
  virtual std::string itemStyle(const LayoutItem& item) const = 0;
  void placeItem(LayoutItem& item);
  void changed();
  std::string marginsCss() const;

  std::vector<std::unique_ptr<LayoutItem>> items_;
  Widget* owner_ = nullptr;
  int spacing_ = 6;
  int margins_[4] = {0, 0, 0, 0};  // left top right bottom
  unsigned contentAlignment_ = AlignNone;
};

}  // namespace web
