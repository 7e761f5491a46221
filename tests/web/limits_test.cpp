// Who gets a place: connection caps per address and in total, eviction of
// idle connections, WebSockets counted apart, and the cap on sessions that
// wait for their page.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tests/web/support/test_page.h"
#include "web/connection_limits.h"
#include "web/session_registry.h"

using namespace web;
using Kind = ConnectionLimits::Kind;

namespace {

struct Held {
  std::unique_ptr<ConnectionLimits::Place> place;
  bool evicted = false;
};

// Admits one connection and records its eviction.
std::shared_ptr<Held> admit(ConnectionLimits& table, Kind kind, const std::string& address, bool idle = false) {
  auto h = std::make_shared<Held>();
  h->place = table.admit(kind, address);
  if (!h->place) return nullptr;
  EXPECT_TRUE(h->place->onEvict([h = std::weak_ptr<Held>(h)] {
    if (auto held = h.lock()) held->evicted = true;
  }));
  h->place->setIdle(idle);
  return h;
}

std::shared_ptr<Session> sessionFrom(const std::string& id, const std::string& address) {
  Environment env;
  env.setClientAddress(address);
  return std::make_shared<Session>(id, env, nullptr);
}

}  // namespace

TEST(ConnectionLimits, AnAddressAtItsCapMakesRoomOnlyFromItsOwnIdleConnections) {
  ConnectionLimits table({10, 2, 10, 2});
  auto busy = admit(table, Kind::Http, "10.0.0.1");
  auto idle = admit(table, Kind::Http, "10.0.0.1", true);
  auto other = admit(table, Kind::Http, "10.0.0.2", true);
  // The third from 10.0.0.1 takes the place of its own idle one, not 10.0.0.2's.
  auto third = admit(table, Kind::Http, "10.0.0.1");
  ASSERT_TRUE(third);
  EXPECT_TRUE(idle->evicted);
  EXPECT_FALSE(busy->evicted);
  EXPECT_FALSE(other->evicted);
  EXPECT_EQ(table.count(Kind::Http, "10.0.0.1"), 2u);
  // Nothing idle left there: refused, and nobody else pays.
  EXPECT_FALSE(table.wouldAdmit(Kind::Http, "10.0.0.1"));
  EXPECT_FALSE(admit(table, Kind::Http, "10.0.0.1"));
  EXPECT_FALSE(other->evicted);
  // A place given back is free again; an evicted one was given back already.
  busy.reset();
  idle.reset();
  EXPECT_EQ(table.count(Kind::Http, "10.0.0.1"), 1u);
  EXPECT_TRUE(admit(table, Kind::Http, "10.0.0.1"));
}

TEST(ConnectionLimits, WhenFullTheOldestIdleConnectionOfTheLargestHolderGoes) {
  ConnectionLimits table({4, 3, 10, 10});
  auto a1 = admit(table, Kind::Http, "a", true);
  auto b1 = admit(table, Kind::Http, "b", true);
  auto b2 = admit(table, Kind::Http, "b", true);
  auto b3 = admit(table, Kind::Http, "b");
  EXPECT_EQ(table.count(Kind::Http), 4u);
  auto c1 = admit(table, Kind::Http, "c");
  ASSERT_TRUE(c1);
  EXPECT_TRUE(b1->evicted);
  EXPECT_FALSE(a1->evicted || b2->evicted || b3->evicted);
  // No idle connection at all: a newcomer is refused (the server answers 503).
  a1->place->setIdle(false);
  b2->place->setIdle(false);
  EXPECT_FALSE(admit(table, Kind::Http, "d"));
}

TEST(ConnectionLimits, WebSocketsAreCountedApartAndTakenOnlyForAFairerShare) {
  ConnectionLimits table({1, 1, 4, 3});
  auto http = admit(table, Kind::Http, "a");
  std::vector<std::shared_ptr<Held>> sockets;
  for (int i = 0; i < 3; ++i) sockets.push_back(admit(table, Kind::Socket, "a"));
  // HTTP being full takes nothing from the sockets, and the other way round.
  EXPECT_EQ(table.count(Kind::Socket, "a"), 3u);
  EXPECT_FALSE(admit(table, Kind::Socket, "a")) << "per-address cap";
  auto b1 = admit(table, Kind::Socket, "b");
  ASSERT_TRUE(b1);  // the last free place
  // Full: b (1) is far below a (3), so a's oldest socket makes room.
  auto b2 = admit(table, Kind::Socket, "b");
  ASSERT_TRUE(b2);
  EXPECT_TRUE(sockets[0]->evicted);
  EXPECT_FALSE(sockets[1]->evicted);
  // Each newcomer takes from a holder of two or more, until all hold one.
  auto c1 = admit(table, Kind::Socket, "c");
  ASSERT_TRUE(c1);
  EXPECT_TRUE(sockets[1]->evicted);
  auto d1 = admit(table, Kind::Socket, "d");
  ASSERT_TRUE(d1);
  EXPECT_TRUE(b1->evicted);
  EXPECT_FALSE(admit(table, Kind::Socket, "e"));
  EXPECT_FALSE(sockets[2]->evicted || b2->evicted || c1->evicted || d1->evicted);
  EXPECT_EQ(table.count(Kind::Http), 1u);
  EXPECT_FALSE(http->evicted);
}

TEST(ConnectionLimits, AConnectionEvictedBeforeItListensIsToldSo) {
  ConnectionLimits table({1, 1, 1, 1});
  auto first = table.admit(Kind::Http, "a");
  first->setIdle(true);
  auto second = table.admit(Kind::Http, "a");
  ASSERT_TRUE(second);
  EXPECT_FALSE(first->onEvict([] {}));
  EXPECT_TRUE(second->onEvict([] {}));
}

TEST(SessionRegistry, WaitingSessionsAreCappedPerAddressAndInTotal) {
  SessionRegistry registry;
  const SessionCaps caps{4, 2};
  auto live = sessionFrom("live", "a");
  live->connect(std::make_shared<web::test::Recorder>());
  EXPECT_TRUE(registry.admit(live, caps).empty());
  EXPECT_TRUE(registry.admit(sessionFrom("a1", "a"), caps).empty());
  EXPECT_TRUE(registry.admit(sessionFrom("a2", "a"), caps).empty());
  // A third waiting session from a: a's oldest waiting one makes room; the
  // live page is not waiting and stays.
  auto evicted = registry.admit(sessionFrom("a3", "a"), caps);
  ASSERT_EQ(evicted.size(), 1u);
  EXPECT_EQ(evicted[0]->id(), "a1");
  EXPECT_TRUE(registry.find("live"));
  // Full in total (a2, a3, b1, c1): the next takes the place of the oldest
  // waiting session of the address holding the most (a).
  EXPECT_TRUE(registry.admit(sessionFrom("b1", "b"), caps).empty());
  EXPECT_TRUE(registry.admit(sessionFrom("c1", "c"), caps).empty());
  evicted = registry.admit(sessionFrom("d1", "d"), caps);
  ASSERT_EQ(evicted.size(), 1u);
  EXPECT_EQ(evicted[0]->id(), "a2");
  EXPECT_EQ(registry.size(), 5u);
  for (const char* id : {"live", "a3", "b1", "c1", "d1"}) EXPECT_TRUE(registry.find(id)) << id;
}
