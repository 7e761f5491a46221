// The sensor history without a controller: the ring buffer, the choice of
// node and sensor, the event descriptor and the sampling thread's gate.
#include <gtest/gtest.h>
#include <poll.h>

#include <cmath>
#include <thread>

#include "modules/nodes.h"
#include "tests/support/registry_root.h"

namespace {

using trl::test::leaseBlock;

class HistoryTest : public ::testing::Test {
 protected:
  trl::test::RegistryRoot root;
  std::unique_ptr<Nodes> nodes;
  void SetUp() override {
    root.setLeases(leaseBlock("10.0.0.11", "00:25:90:01:02:03"));  // node1, no controller
    nodes = std::make_unique<Nodes>(root.config());
  }
  History& history() { return nodes->history(); }
  static HistoryData sample(double value) { return HistoryData(std::chrono::system_clock::now(), value); }
};

TEST_F(HistoryTest, RingKeepsTheLatestFortySamples) {
  history().changeHistoryNode("node1");
  for (int i = 0; i < 41; ++i) history().sampleRound();
  const auto samples = history().samples();
  ASSERT_EQ(samples.size(), 40u);
  for (const HistoryData& s : samples) EXPECT_TRUE(std::isnan(s.data)) << "a node without a session gives NaN";

  history().clear();
  for (int i = 0; i < 41; ++i) history().push(sample(i));
  EXPECT_EQ(history().samples().front().data, 1.0) << "the first sample is gone";
  EXPECT_EQ(history().samples().back().data, 40.0);
}

TEST_F(HistoryTest, ChangingNodeOrSensorEmptiesTheBufferAndExtremesSkipNaN) {
  EXPECT_EQ(history().historyNodeName(), "unset");
  EXPECT_EQ(history().historySensorName(), "");
  EXPECT_TRUE(std::isnan(history().min())) << "empty buffer";
  for (const double v : {5.0, std::nan(""), 2.0, 9.0, std::nan("")}) history().push(sample(v));
  EXPECT_EQ(history().min(), 2.0);
  EXPECT_EQ(history().max(), 9.0);
  history().changeHistorySensor("");
  history().changeHistoryNode("unset");
  EXPECT_EQ(history().samples().size(), 5u) << "the same choice keeps the samples";
  history().changeHistorySensor("CPU Temp");
  EXPECT_TRUE(history().samples().empty());
  history().push(sample(1));
  history().changeHistoryNode("node1");
  EXPECT_TRUE(history().samples().empty());
  history().push(sample(1));
  history().reset();
  EXPECT_TRUE(history().samples().empty());
}

TEST_F(HistoryTest, EveryChangedConsumesOneTrigger) {
  const int fd = nodes->historyUpdateFd();
  for (int i = 0; i < 3; ++i) history().triggerEvent();
  EXPECT_TRUE(history().changed(fd));
  pollfd pending{fd, POLLIN, 0};
  EXPECT_EQ(::poll(&pending, 1, 0), 1) << "two triggers still pending";
  EXPECT_TRUE(history().changed(fd));
  EXPECT_TRUE(history().changed(fd));
  EXPECT_EQ(::poll(&pending, 1, 0), 0);
  EXPECT_NE(trl::test::errorOf([&] { history().changed(fd + 1000); }).find("] incorrect fd detected"),
            std::string::npos);
}

TEST_F(HistoryTest, SamplesOnlyWhileASessionIsOpen) {
  history().changeHistoryNode("node1");
  history().setInterval(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // some fifteen rounds' time
  EXPECT_TRUE(history().samples().empty()) << "nobody watching: no samples";
  pollfd pending{nodes->historyUpdateFd(), POLLIN, 0};
  EXPECT_EQ(::poll(&pending, 1, 0), 0) << "and no events";
  const trl::test::SessionOpen watching(root);
  for (int i = 0; i < 500 && history().samples().size() < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_GE(history().samples().size(), 3u);
  EXPECT_EQ(::poll(&pending, 1, 0), 1);
}

}  // namespace
