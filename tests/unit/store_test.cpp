#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "modules/store.h"
#include "tests/support/scratch.h"

namespace {

// Same size as a node record, with a recognisable payload.
struct Rec {
  uint64_t id;
  char text[328];
};
static_assert(sizeof(Rec) == 336);

Rec rec(uint64_t id) {
  Rec r{};
  r.id = id;
  snprintf(r.text, sizeof r.text, "record %llu", static_cast<unsigned long long>(id));
  return r;
}

// Length of this process's mapping of path, from /proc/self/maps.
size_t mappedBytes(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  size_t total = 0;
  while (std::getline(maps, line)) {
    if (line.size() < path.size() || line.compare(line.size() - path.size(), path.size(), path) != 0) continue;
    unsigned long lo, hi;
    if (sscanf(line.c_str(), "%lx-%lx", &lo, &hi) == 2) total += hi - lo;
  }
  return total;
}

class StoreTest : public ::testing::Test {
 protected:
  trl::test::ScratchRoot root;
  std::string dir = root.mkdir("/var/lib/trellium");
  std::string file = dir + "/nodes.db";

  void fill(size_t n) {
    Store<Rec> s("nodes", true, false);
    for (size_t i = 0; i < n; ++i) s.push_back(rec(i));
  }
};

TEST_F(StoreTest, MissingFileIsEmptyPageMappedAndPrivateAndAMissingDirectoryFails) {
  Store<Rec> s("nodes", true, false);
  EXPECT_EQ(s.size(), 0u);
  EXPECT_EQ(s.begin(), s.end());
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(mappedBytes(file), 4096u);
  EXPECT_NE(trl::test::errorOf<_SysError>([] { Store<Rec> bad("missing/nodes", true, false); })
                .find("] open failed with 'No such file or directory'"),
            std::string::npos);
}

TEST_F(StoreTest, PartialTrailingRecordIsIgnoredAndOutOfBoundEraseChangesNothing) {
  fill(3);
  {
    std::ofstream out(file, std::ios::app | std::ios::binary);
    out << "torn";
  }
  Store<Rec> s("nodes", true, false);
  ASSERT_EQ(s.size(), 3u);
  for (Rec* bad : {s.end(), s.begin() - 1}) {
    const std::string error = trl::test::errorOf<_SysError>([&] { s.erase(bad); });
    EXPECT_EQ(error.rfind("[modules/store:", 0), 0u) << error;
    EXPECT_NE(error.find("] Out of bound deletion with '"), std::string::npos) << error;
  }
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[2].id, 2u);
}

TEST_F(StoreTest, GrowsInStepsOfTenAndRemapsOnlyAcrossPages) {
  fill(4);
  Store<Rec> s("nodes", true, false);
  EXPECT_EQ(trl::test::fileSize(file), 4 * 336);
  s.push_back(rec(4));
  EXPECT_EQ(trl::test::fileSize(file), 14 * 336);
  EXPECT_EQ(mappedBytes(file), 8192u);  // 14 records = 4704 bytes
  for (int i = 5; i < 14; ++i) {
    s.push_back(rec(i));
    EXPECT_EQ(trl::test::fileSize(file), 14 * 336) << "after record " << i;
  }
  s.push_back(rec(14));
  EXPECT_EQ(trl::test::fileSize(file), 24 * 336);
  EXPECT_EQ(mappedBytes(file), 8192u);  // 8064 bytes still fit two pages
  s.reserve(25);
  EXPECT_EQ(trl::test::fileSize(file), 44 * 336);  // 9 free, 25 wanted: 16 missing, 20 more
  for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s[i].id, i);
}

TEST_F(StoreTest, EraseShiftsAndShrinksAtElevenFreeSlots) {
  Store<Rec> s("nodes", true, false);
  for (int i = 0; i < 20; ++i) s.push_back(rec(i));
  ASSERT_EQ(trl::test::fileSize(file), 20 * 336);
  Rec* next = s.erase(s.begin() + 1);
  EXPECT_EQ(next->id, 2u);
  EXPECT_EQ(s.size(), 19u);
  for (int i = 0; i < 9; ++i) s.erase(s.begin());  // 10 free: no shrink yet
  EXPECT_EQ(trl::test::fileSize(file), 20 * 336);
  s.erase(s.begin());  // 11 free: one step back
  EXPECT_EQ(trl::test::fileSize(file), 10 * 336);
  EXPECT_EQ(s.size(), 9u);
  EXPECT_EQ(s[0].id, 11u);
  EXPECT_EQ(s[8].id, 19u);
}

TEST_F(StoreTest, ReopenKeepsRecordsByteForByteAndOrderlyCloseTrims) {
  Rec written[5];
  {
    Store<Rec> s("nodes", true, false);
    for (int i = 0; i < 5; ++i) s.push_back(written[i] = rec(100 + i));
  }
  EXPECT_EQ(trl::test::fileSize(file), 5 * 336) << "trimmed to size at close";
  {
    Store<Rec> s("nodes", true, false);
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(std::memcmp(s.begin(), written, sizeof written), 0);
    s.clear();
    s.compact();
  }
  EXPECT_EQ(trl::test::fileSize(file), 0);
  fill(5);
  EXPECT_EQ(Store<Rec>("nodes", true, true).size(), 0u) << "truncate";
  {
    Store<Rec> s("scratch", false, false);
    s.push_back(rec(1));
    EXPECT_EQ(trl::test::fileSize(dir + "/scratch.db"), 10 * 336);
  }
  EXPECT_EQ(trl::test::fileSize(dir + "/scratch.db"), -1) << "a non-persistent store leaves no file";
}

TEST_F(StoreTest, UncleanStopLeavesZeroFilledSpareSlots) {
  fill(2);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    Store<Rec>* s = new Store<Rec>("nodes", true, false);  // never closed
    s->push_back(rec(7));
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  Store<Rec> s("nodes", true, false);
  ASSERT_EQ(s.size(), 12u);
  EXPECT_EQ(s[0].id, 0u);
  EXPECT_EQ(s[2].id, 7u);
  const Rec zero{};
  for (int i = 3; i < 12; ++i) EXPECT_EQ(std::memcmp(&s[i], &zero, sizeof zero), 0) << "slot " << i;
}

}  // namespace
