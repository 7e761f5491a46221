// Base of every widget: identity, ownership by its parent, style, visibility,
// the browser events it asks for, and the dirty marks that let an update send
// only the outermost changed widgets.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "web/event.h"
#include "web/length.h"
#include "web/signals.h"
#include "web/text_format.h"

namespace web {

namespace Side {
constexpr unsigned Top = 1, Right = 2, Bottom = 4, Left = 8;
constexpr unsigned Horizontals = Left | Right, Verticals = Top | Bottom, All = 15;
}  // namespace Side

enum class Overflow { Visible, Auto, Hidden, Scroll };
enum Orientation : unsigned { Horizontal = 1, Vertical = 2 };

class Widget : public EventSink {
 public:
  Widget();
  virtual ~Widget();
  Widget(const Widget&) = delete;
  Widget& operator=(const Widget&) = delete;

  // "w" followed by a number unique in the process; the element's id.
  std::string id() const;
  std::uint64_t idNumber() const { return id_; }
  Widget* parent() const { return parent_; }

  // Size and style.
  void resize(const Length& width, const Length& height);
  void setWidth(const Length& width);
  void setHeight(const Length& height);
  const Length& width() const { return width_; }
  const Length& height() const { return height_; }
  // Bounds for a size that follows the page (auto: none).
  void setMinimumSize(const Length& width, const Length& height);
  void setMaximumSize(const Length& width, const Length& height);
  void setMargin(int pixels, unsigned sides = Side::All);
  void setPadding(int pixels, unsigned sides = Side::All);
  void setStyleClass(const std::string& classes);
  void addStyleClass(const std::string& cls);
  void removeStyleClass(const std::string& cls);
  bool hasStyleClass(const std::string& cls) const;
  const std::string& styleClass() const { return styleClass_; }
  // One inline CSS property; an empty value removes it.
  void setStyle(const std::string& property, const std::string& value);
  std::string style(const std::string& property) const;
  void setOverflow(Overflow overflow, unsigned orientation = Horizontal | Vertical);
  void setCursor(const std::string& cursor) { setStyle("cursor", cursor); }
  void setInline(bool isInline);
  bool isInline() const { return inline_; }
  void setToolTip(const std::string& text, TextFormat format = TextFormat::Plain);
  const std::string& toolTip() const { return toolTip_; }
  // One more attribute of the element (role, aria-*, tabindex, ...); an
  // empty value removes it. Names are lower-case letters, digits and '-';
  // those the widget writes itself (id, class, style, title, data-ev) and
  // event handlers (on...) are refused with std::invalid_argument.
  void setAttributeValue(const std::string& name, const std::string& value);
  std::string attributeValue(const std::string& name) const;

  // Visibility and input.
  void setHidden(bool hidden);
  void hide() { setHidden(true); }
  void show() { setHidden(false); }
  bool isHidden() const { return hidden_; }
  bool isVisible() const;  // neither this nor an ancestor hidden
  void setDisabled(bool disabled);
  void disable() { setDisabled(true); }
  void enable() { setDisabled(false); }
  bool isDisabled() const { return disabled_; }
  bool isEnabled() const;  // neither this nor an ancestor disabled
  void setFocus();         // puts the keyboard focus here in the browser

  // Browser events.
  EventSignal<>& clicked();
  EventSignal<>& doubleClicked();
  EventSignal<>& mouseWentOver();
  EventSignal<>& mouseWentOut();
  EventSignal<>& focussed();
  EventSignal<>& blurred();
  EventSignal<std::string>& keyWentDown();

  // Rendering: the element and what is inside; clears the dirty marks of
  // everything it writes.
  void render(std::string& out);
  std::string html();
  bool isDirty() const { return dirty_; }
  bool hasDirtyDescendant() const { return dirtyBelow_; }
  // Appends the outermost dirty widgets whose elements are in the page.
  void collectDirty(std::vector<Widget*>& out);

  // Owned children, and those whose elements are in the page.
  virtual void visitChildren(const std::function<void(Widget&)>& fn);
  virtual void visitRenderedChildren(const std::function<void(Widget&)>& fn);
  // The widget with that id among this one and its rendered descendants.
  Widget* find(std::string_view id);

  // The session's entry for a browser event aimed at this widget. Overrides
  // update their state first and emit last: a slot may delete the widget.
  virtual void handleEvent(const Event& event);

  // For layouts and views: CSS that places this widget inside its parent.
  void setPlacementStyle(std::string css);
  // Attaches a child: called by every owner (container, layout, view).
  void adopt(Widget& child);
  // Re-render this widget at the next update.
  void markDirty();

 protected:
  virtual const char* tagName() const { return inline_ ? "span" : "div"; }
  virtual bool isVoidElement() const { return false; }
  virtual void renderElement(std::string& out) = 0;
  // "<tag id=... class=... style=... title=... data-ev=..." without the '>'.
  void openTag(std::string& out, std::string_view extraClass = {}, std::string_view extraStyle = {}) const;
  // The browser events this widget needs, space separated.
  virtual void addEventNames(std::string& names) const;
  void eventSignalConnected() override { markDirty(); }
  // Clears the marks of a child rendered by hand (not through render()).
  static void clearMarks(Widget& w);

 private:
  struct Signals;
  Signals& signals();

  std::uint64_t id_;
  Widget* parent_ = nullptr;
  Length width_, height_;
  std::string styleClass_;
  std::vector<std::pair<std::string, std::string>> style_;
  std::vector<std::pair<std::string, std::string>> attributes_;
  std::string placement_;
  std::string toolTip_;
  std::unique_ptr<Signals> signals_;
  TextFormat toolTipFormat_ = TextFormat::Plain;
  bool inline_ = false;
  bool hidden_ = false;
  bool disabled_ = false;
  bool dirty_ = true;
  bool dirtyBelow_ = false;
};

// Removes a widget: at once outside a session, else when the current event
// is done, so the code that emitted the signal still finds it alive.
void dispose(std::unique_ptr<Widget> widget);

// Runs fn on a widget and each of its owned descendants, parents first.
void forEachWidget(Widget& root, const std::function<void(Widget&)>& fn);

}  // namespace web
