// A block (or inline) element holding widgets: in document flow, or placed by
// one layout. The container owns both.
#pragma once

#include <memory>
#include <vector>

#include "web/layout.h"
#include "web/widget.h"

namespace web {

class Container : public Widget {
 public:
  Container();
  ~Container() override;

  template <class W>
  W* addWidget(std::unique_ptr<W> widget) {
    W* raw = widget.get();
    insert(count(), std::move(widget));
    return raw;
  }
  template <class W, class... A>
  W* addNew(A&&... args) {
    return addWidget(std::make_unique<W>(std::forward<A>(args)...));
  }
  template <class W>
  W* insertWidget(int index, std::unique_ptr<W> widget) {
    W* raw = widget.get();
    insert(index, std::move(widget));
    return raw;
  }
  // Takes a widget out, from the flow or from the layout.
  std::unique_ptr<Widget> removeWidget(Widget* widget);
  // Removes every child and the layout.
  void clear();

  // Children in document flow (not those in the layout).
  int count() const { return static_cast<int>(children_.size()); }
  Widget* widget(int index) const;
  int indexOf(const Widget* widget) const;

  // Replaces any earlier layout (and the widgets in it).
  template <class L>
  L* setLayout(std::unique_ptr<L> layout) {
    L* raw = layout.get();
    installLayout(std::move(layout));
    return raw;
  }
  Layout* layout() const { return layout_.get(); }

  // Aligns the flow children (text-align and, for a layout, its content).
  void setContentAlignment(unsigned alignment);

  void visitChildren(const std::function<void(Widget&)>& fn) override;

 protected:
  void renderElement(std::string& out) override;
  // Children and layout, without the element around them.
  void renderContents(std::string& out);
  std::string contentStyle() const;

 private:
  void insert(int index, std::unique_ptr<Widget> widget);
  void installLayout(std::unique_ptr<Layout> layout);

  std::vector<std::unique_ptr<Widget>> children_;
  std::unique_ptr<Layout> layout_;
  unsigned contentAlignment_ = AlignNone;
};

}  // namespace web
