// Prints the time from a back-end event to the change a page receives: a
// lease appended to the leases file (the registry's inotify descriptor
// fires, the table is merged and saved, the DHCP restart stand-in runs) until
// a second page's update carries the new server count. Once with the other
// page idle, once with it held in a long handler that keeps its lock.
//   gui_event_loop_bench [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "tests/support/shell_loop.h"
#include "tests/web/support/test_page.h"
#include "web/handler_pool.h"

namespace {

using Clock = std::chrono::steady_clock;
using web::test::TestPage;

// Milliseconds from each append to the page's update, sorted.
std::vector<double> measure(const TestPage& page, int rounds) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const Clock::time_point start = Clock::now();
    const std::string summary = trl::test::ShellLoop::appendLease("10.0.2.", 0x002590000300ULL);
    while (!page.sent(summary)) {
      if (Clock::now() - start > std::chrono::seconds(30)) {
        std::fprintf(stderr, "no update within 30 s\n");
        std::exit(1);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times;
}

void print(const char* what, const std::vector<double>& times) {
  std::fprintf(stderr, "%-44s median %6.1f ms, max %6.1f ms (%zu rounds)\n", what, times[times.size() / 2],
               times.back(), times.size());
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  // The back end's log lines, to the end of the process (it shuts down at
  // exit): the figures go to standard error.
  static trl::test::CaptureStdout quiet;
  std::vector<double> idle, busy;
  {
    trl::test::ShellLoop shell;
    web::HandlerPool pool(2);
    TestPage held(&pool, trl::test::ShellLoop::createSession), page(&pool, trl::test::ShellLoop::createSession);
    idle = measure(page, rounds);
    std::promise<void> finish;
    std::shared_future<void> finished = finish.get_future().share();
    held.run([finished] { finished.wait(); });  // keeps its session's lock meanwhile
    busy = measure(page, rounds);
    finish.set_value();
  }
  std::fprintf(stderr, "lease appended to the change a page receives:\n");
  print("  the other page idle", idle);
  print("  the other page held in a long handler", busy);
  return 0;
}
