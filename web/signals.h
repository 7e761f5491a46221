// Signals on Boost.Signals2 whose emission survives the destruction of their
// owner: a slot may delete the widget that emitted (an editor closing itself,
// a button clearing its own container), so emission holds its own reference
// to the slot list.
#pragma once

#include <boost/signals2/signal.hpp>

#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace web {

using Connection = boost::signals2::connection;
using ScopedConnection = boost::signals2::scoped_connection;

template <class... Args>
class Signal {
 public:
  using Slots = boost::signals2::signal<void(Args...)>;

  Signal() = default;
  Signal(const Signal&) = delete;
  Signal& operator=(const Signal&) = delete;
  virtual ~Signal() = default;

  // A slot taking the signal's arguments, or none of them.
  template <class F>
  Connection connect(F&& f) {
    const bool wasEmpty = empty();
    Connection c;
    if constexpr (std::is_invocable_v<F&, Args...>) {
      c = slots().connect(std::forward<F>(f));
    } else {
      static_assert(std::is_invocable_v<F&>, "slot must take the signal's arguments or none");
      c = slots().connect([g = std::forward<F>(f)](Args...) mutable { g(); });
    }
    if (wasEmpty) firstConnected();
    return c;
  }

  // obj->method, with the signal's arguments or none.
  template <class T, class R, class... M>
  Connection connect(T* obj, R (T::*method)(M...)) {
    if constexpr (sizeof...(M) == 0) {
      return connect([obj, method] { (obj->*method)(); });
    } else {
      return connect([obj, method](Args... a) { (obj->*method)(a...); });
    }
  }

  void emit(Args... args) const {
    const std::shared_ptr<Slots> keep = slots_;
    if (keep) (*keep)(args...);
  }
  void operator()(Args... args) const { emit(args...); }

  bool empty() const { return !slots_ || slots_->empty(); }
  std::size_t connectionCount() const { return slots_ ? slots_->num_slots() : 0; }
  void disconnectAll() {
    if (slots_) slots_->disconnect_all_slots();
  }

 protected:
  // Lets an event signal tell its widget that the browser must now send it.
  virtual void firstConnected() {}

 private:
  Slots& slots() {
    if (!slots_) slots_ = std::make_shared<Slots>();
    return *slots_;
  }
  // Made on first connect: an unused signal costs one pointer.
  std::shared_ptr<Slots> slots_;
};

// Told when an event signal gets its first slot.
class EventSink {
 public:
  virtual void eventSignalConnected() = 0;

 protected:
  ~EventSink() = default;
};

// A signal fed by a browser event; connecting the first slot makes the widget
// ask the browser for that event on its next render.
template <class... Args>
class EventSignal : public Signal<Args...> {
 public:
  explicit EventSignal(EventSink* owner) : owner_(owner) {}

 protected:
  void firstConnected() override { owner_->eventSignalConnected(); }

 private:
  EventSink* const owner_;
};

}  // namespace web
