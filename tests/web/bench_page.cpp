// Figures of Trellium's page under load (not a test): memory per live
// session, page load time with and without 60 hostile connections open, and
// resident memory through a flood of 10,000 page loads. Runs trellium in a
// scratch system root:
//   web_bench_page PATH/TO/trellium BUILD/resources SOURCE_DIR
// Prints one line per figure.
#include <signal.h>

#include <algorithm>
#include <iterator>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scratch.h"
#include "tests/web/support/demo_process.h"
#include "tests/web/support/net_client.h"

using namespace web::test;
using Clock = std::chrono::steady_clock;

namespace {

using Trellium = DemoProcess;

long openDescriptors(pid_t pid) {
  const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
  return std::distance(begin(fds), end(fds));
}

// A page as a browser loads it: the page, its files, its socket. Returns
// the milliseconds until the socket is open, or -1.
double loadPage(Trellium& t, const std::string& from, std::unique_ptr<WebSocketClient>& socket) {
  const auto begin = Clock::now();
  TcpConnection c(t.port(), from);
  const auto page = c.get("/");
  if (page.status != 200) return -1;
  for (const char* file : {"/_w/web.css", "/trellium.css", "/_w/idiomorph.min.js", "/_w/client.js",
                           "/images/headline.png", "/images/favicon.svg"})
    if (c.get(file).status != 200) return -1;
  socket = std::make_unique<WebSocketClient>();
  const std::string origin = "http://127.0.0.1:" + std::to_string(t.port());
  if (socket->open(t.port(), "/_w/ws?s=" + sessionIdOf(page.body), origin, from) != 101) return -1;
  return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

void printLoads(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  const long failed = std::count(ms.begin(), ms.end(), -1.0);
  std::printf("page load (page, 6 files, socket) %s: median %.1f ms, max %.1f ms, %ld failed of %zu\n", what,
              ms[ms.size() / 2], ms.back(), failed, ms.size());
}

std::vector<double> loads(Trellium& t, const std::string& from, int n) {
  std::vector<double> ms;
  for (int i = 0; i < n; ++i) {
    std::unique_ptr<WebSocketClient> socket;
    ms.push_back(loadPage(t, from, socket));
    if (socket && socket->isOpen()) socket->send("{\"e\":\"quit\"}");  // as a closed browser tab does
  }
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: web_bench_page PATH/TO/trellium BUILD/resources SOURCE_DIR" << std::endl;
    return 2;
  }
  trl::test::ScratchRoot root;
  const std::string sysroot = root.mkdir("/sysroot");
  if (std::system((std::string(argv[3]) + "/lab/make-sysroot.sh " + sysroot + " " + argv[2] + " >/dev/null").c_str()))
    return 1;
  const std::string resources = argv[2];
  Trellium t(argv[1], {"--sysroot", sysroot, "--http-address", "127.0.0.1", "--http-port", "0", "--docroot",
                       resources + "/docroot", "--approot", resources + "/", "--reconnect-grace", "2"},
             SIGTERM);
  t.discardOutput();  // a line per session: the pipe must never fill
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  // Page load time, quiet, then with 60 hostile connections from six
  // addresses: 4 idle sockets, 2 kept-alive connections and 4 live pages
  // answering pings from each.
  loads(t, "127.0.0.100", 3);  // warm up
  printLoads("with nobody else", loads(t, "127.0.0.100", 20));
  std::vector<std::unique_ptr<TcpConnection>> hostile;
  std::vector<std::unique_ptr<WebSocketClient>> hostilePages;
  for (int a = 0; a < 6; ++a) {
    const std::string from = "127.0.0." + std::to_string(10 + a);
    for (int i = 0; i < 4; ++i) hostile.push_back(std::make_unique<TcpConnection>(t.port(), from));
    for (int i = 0; i < 2; ++i) {
      hostile.push_back(std::make_unique<TcpConnection>(t.port(), from));
      hostile.back()->get("/trellium.css");
    }
    for (int i = 0; i < 4; ++i) {
      hostilePages.emplace_back();
      loadPage(t, from, hostilePages.back());
    }
  }
  printLoads("with 60 hostile connections open", loads(t, "127.0.0.100", 20));
  // 300 more idle sockets from 30 addresses on top: the caps hold the
  // descriptors within the process's 128.
  for (int i = 0; i < 300; ++i)
    hostile.push_back(std::make_unique<TcpConnection>(t.port(), "127.0.1." + std::to_string(1 + i % 30)));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::printf("descriptors of the process with 360 hostile connections tried: %ld (limit 128)\n",
              openDescriptors(t.pid()));
  printLoads("with 360 hostile connections tried", loads(t, "127.0.0.100", 20));
  hostile.clear();
  hostilePages.clear();
  std::this_thread::sleep_for(std::chrono::seconds(3));

  // Memory per live session: 21 pages with their sockets, from three
  // addresses (the per-address cap is 8).
  const long quiet = t.residentKb();
  std::vector<std::unique_ptr<WebSocketClient>> live;
  for (int i = 0; i < 21; ++i) {
    live.emplace_back();
    loadPage(t, "127.0.0." + std::to_string(20 + i % 3), live.back());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long withLive = t.residentKb();
  std::printf("memory per live session (21 pages with sockets): %.1f kB (%ld kB -> %ld kB)\n",
              static_cast<double>(withLive - quiet) / 21, quiet, withLive);
  for (auto& ws : live) ws->send("{\"e\":\"quit\"}");
  live.clear();
  std::this_thread::sleep_for(std::chrono::seconds(4));

  // A flood of 10,000 page loads from four addresses; the sessions nobody
  // follows up end after the grace time (2 s here).
  const long before = t.residentKb();
  std::atomic<int> served{0};
  const auto begin = Clock::now();
  std::vector<std::thread> flood;
  for (int a = 0; a < 4; ++a)
    flood.emplace_back([&, a] {
      TcpConnection c(t.port(), "127.0.0." + std::to_string(30 + a));
      for (int i = 0; i < 2500; ++i) served += c.get("/").status == 200;
    });
  for (auto& th : flood) th.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  const long flooded = t.residentKb();
  std::this_thread::sleep_for(std::chrono::seconds(5));
  const long after = t.residentKb();
  std::printf("flood: %d of 10000 page loads served in %.1f s; resident memory %ld kB before, %ld kB right after, "
              "%ld kB once the sessions ended\n",
              served.load(), seconds, before, flooded, after);
  return 0;
}
