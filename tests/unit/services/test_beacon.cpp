// Discovery beacon: the announcement texts, the seed of the random waits and
// the announcing/quiet decisions of the sender thread.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "services/beacon.h"

namespace {

TEST(BeaconText, TransmitterAndReceiver) {
  char out[BEACON_PACKET_SIZE];
  int n = BeaconFormat(out, sizeof(out), 'T', "001122334455");
  std::string tx =
      "VYXB<Device-UUID=VYX_IPTV_TX_QAM-001122334455><Device-SDKClass=SettopBox>"
      "<Device-Make=VYX-Morvane><Device-Model=VYX_IPTV_TX_QAM><Device-Revision=0.82.14>\r\n";
  ASSERT_EQ(n, static_cast<int>(tx.size()));
  EXPECT_EQ(std::string(out), tx);

  n = BeaconFormat(out, sizeof(out), 'R', "a0b1c2d3e4f5");
  std::string rx =
      "VYXB<Device-UUID=VYX_IPTV_RX_HD-a0b1c2d3e4f5><Device-SDKClass=SettopBox>"
      "<Device-Make=VYX-Morvane><Device-Model=VYX_IPTV_RX_HD><Device-Revision=0.82.14>\r\n";
  ASSERT_EQ(n, static_cast<int>(rx.size()));
  EXPECT_EQ(std::string(out), rx);
  // Any type but 'T' announces a receiver.
  BeaconFormat(out, sizeof(out), 'A', "a0b1c2d3e4f5");
  EXPECT_EQ(std::string(out), rx);
}

TEST(BeaconText, SmallBufferIsNeverOverrun) {
  char out[40];
  memset(out, 'x', sizeof(out));
  EXPECT_EQ(BeaconFormat(out, 32, 'T', "001122334455"), -1);
  EXPECT_EQ(strlen(out), 31u);
  EXPECT_EQ(out[32], 'x');
}

TEST(BeaconText, SeedIsTheLowWordOfTheAddress) {
  EXPECT_EQ(BeaconSeed("001122334455"), 0x22334455u);
  EXPECT_EQ(BeaconSeed("a0b1c2d3e4f5"), 0xc2d3e4f5u);
}

TEST(BeaconType, StoresOnlyTransmitterOrReceiver) {
  EXPECT_STREQ(BeaconType('T'), "T");
  EXPECT_STREQ(BeaconType(0), "T");
  EXPECT_STREQ(BeaconType('X'), "T");
  EXPECT_STREQ(BeaconType('R'), "R");
}

// Runs the decision over a sequence of waits; returns the beacons sent.
struct Sim {
  BeaconCycle c{eSending, 0, 0};
  int traffic = 0;
  int sent = 0;
  bool Wait(int seconds, bool request = false) {
    bool s = BeaconAfterWait(&c, request, traffic, seconds);
    if (s) sent++;
    return s;
  }
};

TEST(BeaconCycle, QuietWhileCommandedResumesAfterTenMinutes) {
  Sim sim;
  EXPECT_TRUE(sim.Wait(45));  // no commands: announce after each wait
  sim.traffic = 1;
  EXPECT_FALSE(sim.Wait(45));  // commands seen: quiet from this wait on
  EXPECT_EQ(sim.c.state, eSleeping);
  // A command every minute (waits of 30..59 s) keeps it quiet.
  int clock = 0, nextCommand = 60;
  for (int k = 0; k < 100; k++) {
    int w = 30 + (k * 7) % 30;
    clock += w;
    if (clock >= nextCommand) {
      sim.traffic++;
      nextCommand += 60;
    }
    ASSERT_FALSE(sim.Wait(w)) << k;
  }
  EXPECT_EQ(sim.c.state, eSleeping);
  // Commands stop: the waits accumulate and at 601 s it announces again.
  sim.Wait(59);  // this one may still count new traffic
  int silence = sim.c.silence;
  int waits = 0;
  while (sim.c.state == eSleeping) {
    ASSERT_FALSE(sim.Wait(50));
    waits++;
    ASSERT_LT(waits, 20);
  }
  EXPECT_GE(silence + 50 * waits, 601);
  EXPECT_LT(silence + 50 * (waits - 1), 601);
  EXPECT_TRUE(sim.Wait(50));
}

TEST(BeaconCycle, RestartRequestWinsOverCommands) {
  Sim sim;
  sim.traffic = 3;
  EXPECT_FALSE(sim.Wait(30));
  EXPECT_EQ(sim.c.state, eSleeping);
  sim.traffic = 4;
  // A request during a wait: announce after it, even with commands coming.
  EXPECT_TRUE(sim.Wait(30, true));
  EXPECT_EQ(sim.c.state, eSending);
  sim.traffic = 5;
  EXPECT_FALSE(sim.Wait(30));  // and the next command quiets it again
}

TEST(BeaconCycle, CounterClearedByRestartDoesNotQuiet) {
  // BeaconRestart clears the traffic count: zero is never taken as traffic.
  Sim sim;
  sim.c.baseline = 7;
  sim.traffic = 0;
  EXPECT_TRUE(sim.Wait(30));
  EXPECT_EQ(sim.c.state, eSending);
}

}  // namespace
