// The server under hostile clients on loopback, run as a process of its own
// (the demo application): sockets and live pages from one address lock
// nobody else out, and a flood of page loads gives its memory back.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <regex>
#include <thread>
#include <vector>

#include "tests/support/scratch.h"
#include "tests/web/support/demo_process.h"
#include "tests/web/support/net_client.h"

using namespace web::test;
using trl::test::eventually;
using Clock = std::chrono::steady_clock;

namespace {

class Load : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {}) {
    const std::string docroot = root.mkdir("/www");
    trl::test::writeFile(docroot + "/style.css", "body { color: black }");
    std::vector<std::string> args{"--http-address", "127.0.0.1", "--http-port", "0", "--docroot", docroot};
    args.insert(args.end(), extra.begin(), extra.end());
    demo = std::make_unique<DemoProcess>(WEB_DEMO, args);
    port = demo->port();
    origin = "http://127.0.0.1:" + std::to_string(port);
  }

  int sessions() {
    demo->command("count");
    const std::string line = demo->expect("sessions ");
    return line.empty() ? -1 : std::stoi(line.substr(9));
  }

  // Page loads one after another on one keep-alive connection; how many succeeded.
  int loadPages(int count, const std::string& from) {
    TcpConnection c(port, from);
    int ok = 0;
    for (int i = 0; i < count; ++i) ok += c.get("/").status == 200;
    return ok;
  }

  trl::test::ScratchRoot root;
  std::unique_ptr<DemoProcess> demo;
  unsigned short port = 0;
  std::string origin;
};

std::string clickButtonOf(const std::string& page) {
  std::smatch m;
  return std::regex_search(page, m, std::regex("id=\"(w[0-9]+)\" class=\"w-button click\"")) ? m[1].str() : "";
}

}  // namespace

TEST_F(Load, OneAddressFullOfIdleSocketsAndLivePagesLocksNobodyOut) {
  start();
  const std::string hostile = "127.0.0.2", admin = "127.0.0.3";
  std::vector<std::unique_ptr<TcpConnection>> idle, keptAlive;
  for (int i = 0; i < 64; ++i) idle.push_back(std::make_unique<TcpConnection>(port, hostile));
  int served = 0;
  for (int i = 0; i < 64; ++i) {
    keptAlive.push_back(std::make_unique<TcpConnection>(port, hostile));
    served += keptAlive.back()->get("/style.css").status == 200;
  }
  EXPECT_EQ(served, 64) << "each new connection takes the place of an idle one of its own address";
  std::vector<std::unique_ptr<WebSocketClient>> pages;
  int open = 0, busy = 0;
  for (int i = 0; i < 64; ++i) {
    const std::string sid = sessionIdOf(httpRequest(port, "GET", "/", {}, {}, hostile).body);
    pages.push_back(std::make_unique<WebSocketClient>());
    const int status = pages.back()->open(port, "/_w/ws?s=" + sid, origin, hostile);
    open += status == 101;
    busy += status == 503 && pages.back()->handshakeHeaders().count("retry-after");
  }
  EXPECT_EQ(open, 8);
  EXPECT_EQ(busy, 56);

  // Another address loads the page, its files and its socket, and works it.
  const auto begin = Clock::now();
  const auto page = httpRequest(port, "GET", "/", {}, {}, admin);
  ASSERT_EQ(page.status, 200);
  for (const char* file : {"/_w/client.js", "/_w/web.css", "/_w/idiomorph.min.js", "/style.css"})
    EXPECT_EQ(httpRequest(port, "GET", file, {}, {}, admin).status, 200) << file;
  WebSocketClient ws;
  ASSERT_EQ(ws.open(port, "/_w/ws?s=" + sessionIdOf(page.body), origin, admin), 101);
  const auto loaded = Clock::now() - begin;
  ws.send("{\"e\":\"click\",\"id\":\"" + clickButtonOf(page.body) + "\",\"n\":1}");
  EXPECT_FALSE(ws.waitFor("Clicks: 1").empty());
  std::cout << "page load from another address beside them: "
            << std::chrono::duration_cast<std::chrono::milliseconds>(loaded).count() << " ms" << std::endl;
}

TEST_F(Load, AFloodOfPageLoadsGivesItsMemoryBack) {
  start({"--reconnect-grace", "1"});
  // What a steady server holds: its threads, arenas and caches in use.
  ASSERT_EQ(loadPages(400, "127.0.0.4"), 400);
  ASSERT_TRUE(eventually([&] { return sessions() == 0; }, std::chrono::seconds(20)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const long before = demo->residentKb();

  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  for (const char* from : {"127.0.0.4", "127.0.0.5", "127.0.0.6", "127.0.0.7"})
    clients.emplace_back([&, from] { served += loadPages(2500, from); });
  for (auto& t : clients) t.join();
  EXPECT_EQ(served, 10000);
  const long flooded = demo->residentKb();
  EXPECT_LE(sessions(), 32) << "waiting sessions are capped";

  ASSERT_TRUE(eventually([&] { return sessions() == 0; }, std::chrono::seconds(20)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the next round returns freed memory
  const long after = demo->residentKb();
  std::cout << "resident memory: " << before << " kB before 10,000 page loads, " << flooded << " kB right after, "
            << after << " kB once their sessions ended" << std::endl;
  EXPECT_LE(after, before + 4096);
}
