// Figures of the web server (not a test): memory per open session, static
// requests per second, and push-to-socket latency. Runs the demo server:
//   web_bench_server PATH/TO/web_demo
// Prints one "name: value" line per figure.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "tests/web/support/demo_process.h"
#include "tests/web/support/net_client.h"
#include "tests/support/scratch.h"

using namespace web::test;
using Clock = std::chrono::steady_clock;

namespace {

// Keep-alive GETs of one file on one connection; returns how many succeeded.
long hammer(unsigned short port, const std::string& path, long count) {
  TcpConnection c(port);
  long ok = 0;
  for (long i = 0; i < count; ++i) ok += c.get(path).status == 200;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: web_bench_server PATH/TO/web_demo [sessions]" << std::endl;
    return 2;
  }
  const int sessions = argc > 2 ? std::atoi(argv[2]) : 50;
  trl::test::ScratchRoot root;
  const std::string docroot = root.mkdir("/www");
  trl::test::writeFile(docroot + "/style.css", std::string(2048, 'x'));
  // One client opens them all: the per-address caps are raised to match.
  const std::string many = std::to_string(sessions + 8);
  DemoProcess demo(argv[1], {"--http-address", "127.0.0.1", "--http-port", "0", "--docroot", docroot,
                             "--max-websockets", many, "--max-websockets-per-address", many,
                             "--max-waiting-sessions-per-address", many});
  const unsigned short port = demo.port();

  // Memory per open session: each one a page and its socket.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long before = demo.residentKb();
  std::vector<std::unique_ptr<WebSocketClient>> sockets;
  for (int i = 0; i < sessions; ++i) {
    const auto page = httpRequest(port, "GET", "/");
    auto ws = std::make_unique<WebSocketClient>();
    ws->open(port, "/_w/ws?s=" + sessionIdOf(page.body), "http://127.0.0.1:" + std::to_string(port));
    sockets.push_back(std::move(ws));
  }
  demo.command("count");
  const std::string counted = demo.expect("sessions ");
  const long after = demo.residentKb();
  std::printf("sessions open: %s\n", counted.substr(9).c_str());
  std::printf("resident memory: %ld kB before, %ld kB with %d sessions\n", before, after, sessions);
  std::printf("memory per session: %.1f kB\n", static_cast<double>(after - before) / sessions);

  // Push latency: back-end push to the message arriving on every socket.
  std::vector<double> latencies;
  for (int round = 0; round < 20; ++round) {
    const auto t0 = Clock::now();
    demo.command("push round " + std::to_string(round));
    for (auto& ws : sockets) ws->waitFor("round " + std::to_string(round), std::chrono::seconds(5));
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf("push to %d sockets: median %.2f ms, max %.2f ms\n", sessions, latencies[latencies.size() / 2],
              latencies.back());
  sockets.clear();

  // Static requests per second: 2 threads x 4 keep-alive connections.
  const long perConnection = 5000;
  std::atomic<long> done{0};
  const auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) threads.emplace_back([&] { done += hammer(port, "/style.css", perConnection); });
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  std::printf("static requests: %ld in %.2f s = %.0f per second\n", done.load(), seconds, done / seconds);
  return 0;
}
