// The audit log: whole lines that text from outside cannot break or forge,
// appended by many writers at once, and its tail.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <thread>
#include <vector>

#include "modules/audit_log.h"
#include "modules/error.h"
#include "tests/support/scratch.h"

namespace {

TEST(AuditLog, OneEscapedLinePerAction) {
  trl::test::ScratchRoot root;
  root.mkdir("/var/log");
  EXPECT_TRUE(trl::auditTail(100).empty()) << "no log yet";
  trl::writeAuditLine({"alice", "10.0.0.7", trl::AuditAction::PowerOff, "node3"});
  // A host name from a lease may hold anything: it stays in its field.
  trl::writeAuditLine({"", "::1", trl::AuditAction::TableEdit, "evil\n2025-01-01T00:00:00+0000\troot\tx\ty\\z\x01"});
  const std::string text = trl::test::readFile(root.dir() + "/var/log/trellium/audit.log");
  const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d{4}\t[^\t\n]+\t[^\t\n]+\t[^\t\n]+\t[^\t\n]+\n)");
  const std::vector<std::string> lines = trl::auditTail(100);
  ASSERT_EQ(lines.size(), 2u) << text;
  for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l + "\n", line)) << l;
  EXPECT_TRUE(trl::test::endsWith(lines[0], "\talice\t10.0.0.7\tpower off\tnode3"));
  EXPECT_TRUE(trl::test::endsWith(lines[1], "\t-\t::1\tedit server table\tevil\\n2025-01-01T00:00:00+0000\\troot\\tx\\ty\\\\z\\x01"))
      << lines[1];
  struct stat st;
  ASSERT_EQ(::stat((root.dir() + "/var/log/trellium/audit.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_EQ(::stat((root.dir() + "/var/log/trellium").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST(AuditLog, ConcurrentWritersNeverMixLinesAndTheTailIsTheEnd) {
  trl::test::ScratchRoot root;
  root.mkdir("/var/log");
  // Long targets, so that the tail spans blocks.
  const std::string padding(200, 'p');
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w)
    writers.emplace_back([w, &padding] {
      for (int i = 0; i < 150; ++i)
        trl::writeAuditLine({"writer" + std::to_string(w), "127.0.0.1", trl::AuditAction::PowerOn,
                             std::to_string(i) + padding});
    });
  for (auto& t : writers) t.join();
  const std::string text = trl::test::readFile(root.dir() + "/var/log/trellium/audit.log");
  int count = 0;
  for (std::size_t begin = 0, end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1, ++count)
    EXPECT_TRUE(trl::test::endsWith(text.substr(begin, end - begin), padding));
  EXPECT_EQ(count, 600);
  const auto tail = trl::auditTail(100);
  ASSERT_EQ(tail.size(), 100u);
  EXPECT_TRUE(trl::test::endsWith(text, tail.back() + "\n"));
  EXPECT_NE(text.find(tail.front() + "\n" + tail[1] + "\n"), std::string::npos) << "whole lines, in order";
  EXPECT_EQ(trl::auditTail(1000).size(), 600u);
}

TEST(AuditLog, ALineThatCannotBeWrittenIsAnError) {
  trl::test::ScratchRoot root;
  root.mkdir("/var/log/trellium/audit.log");  // a directory in its place
  EXPECT_THROW(trl::writeAuditLine({"alice", "127.0.0.1", trl::AuditAction::SignIn, ""}), _SysError);
}

}  // namespace
