// The serial module: bytes typed at the port's far end reach the controller
// as "UART" datagrams, "UART" commands write to the port exactly the bytes
// that arrived, forwarding switches with CALLBACK, SUART stores the line
// settings, and a port that cannot be opened leaves forwarding off.

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "loopback_udp.h"
#include "private_ipc.h"
#include "stdio_capture.h"
#include "uart.h"
#include "utils.h"

namespace {

const bool time_scaled = (setenv("VYX_TIME_SCALE", "50", 1), true);
const char kOidSerial[] = ".1.3.6.1.4.1.32473.3.2.14.0";
const char kOidConfigSave[] = ".1.3.6.1.4.1.32473.3.5.11.0";

using vyxtest::FakeAgent;
using vyxtest::FakeSerial;

TEST(UartParameters, StoredForm) {
  char out[64] = "untouched";
  ASSERT_TRUE(uart_format_parameters("9600,8,N,1", out, sizeof(out)));
  EXPECT_STREQ(out, "\"9600,N,8,1\"");
  ASSERT_TRUE(uart_format_parameters("115200,7,even,2", out, sizeof(out)));
  EXPECT_STREQ(out, "\"115200,even,7,0\"");  // stop bits two characters into the parity
  ASSERT_TRUE(uart_format_parameters("19200,8,E", out, sizeof(out)));
  EXPECT_STREQ(out, "\"19200,E,8,0\"");
  ASSERT_TRUE(uart_format_parameters("9600,8,Nonsensicalparity,1", out, sizeof(out)));
  EXPECT_STREQ(out, "\"9600,Nonsensi,8,0\"");
  // A rate that is not a plain number stores 0; the data bits read as far
  // as they are digits.
  ASSERT_TRUE(uart_format_parameters("96k,8,N,1", out, sizeof(out)));
  EXPECT_STREQ(out, "\"0,N,8,1\"");
  ASSERT_TRUE(uart_format_parameters(" 9600 ,8x,N,1", out, sizeof(out)));
  EXPECT_STREQ(out, "\"9600,N,8,1\"");
  ASSERT_TRUE(uart_format_parameters("9600,,N,1", out, sizeof(out)));
  EXPECT_STREQ(out, "\"9600,N,0,1\"");
  strcpy(out, "untouched");
  for (const char* bad : {"", "9600", "9600,8", "99999999999999999,8,N,1", "9600,4294967304,N,1"})
    EXPECT_FALSE(uart_format_parameters(bad, out, sizeof(out))) << bad;
  EXPECT_STREQ(out, "untouched");
  EXPECT_FALSE(uart_format_parameters("9600,8,N,1", out, 8));  // no room
}

class Serial : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(time_scaled);
    REQUIRE_PRIVATE_IPC();
    cm = vyxtest::shared_manager('R');
    ASSERT_NE(cm->mpUart, nullptr);
    ASSERT_TRUE(FakeSerial::Get().Ok());
  }
  void TearDown() override {
    if (cm != nullptr) Send("CALLBACK0");
    error_sender_clear();
    FakeSerial::Get().Take();
  }
  std::string Send(const std::string& command) { return vyxtest::dispatch(cm, command); }
  void From(vyxtest::LoopbackUdp& ctl) {
    cm->mpServer->siOther = ctl.Address();
  }
  // The next serial datagram, past the error reports.
  static bool NextSerial(vyxtest::LoopbackUdp& ctl, std::string* d, int ms = 5000) {
    while (ctl.Next(d, ms))
      if (d->compare(0, 4, "LOG:") != 0) return true;
    return false;
  }
  CommandManager* cm = nullptr;
};

TEST_F(Serial, BytesBothWays) {
  vyxtest::LoopbackUdp ctl;
  From(ctl);
  ASSERT_EQ(Send("CALLBACK1"), "OK\r\n");
  ASSERT_TRUE(FakeSerial::Get().Type(std::string("a\0\xff", 3)));
  std::string d;
  ASSERT_TRUE(NextSerial(ctl, &d));
  EXPECT_EQ(d, "UARTa");
  ASSERT_TRUE(NextSerial(ctl, &d));
  EXPECT_EQ(d, std::string("UART\0", 5));
  ASSERT_TRUE(NextSerial(ctl, &d));
  EXPECT_EQ(d, "UART\xff");

  EXPECT_EQ(Send(std::string("UARThello\0\r\n", 12)), "OK\r\n");
  EXPECT_EQ(FakeSerial::Get().TakeAtLeast(8), std::string("hello\0\r\n", 8));
  EXPECT_EQ(Send("UART"), "OK\r\n");
  EXPECT_EQ(Send(std::string(2040, 'U').replace(0, 4, "UART")), "OK\r\n");
  EXPECT_EQ(FakeSerial::Get().TakeAtLeast(2036), std::string(2036, 'U'));
}

TEST_F(Serial, LengthBeyondTheDataWritesOnlyTheData) {
  vyxtest::LoopbackUdp ctl;
  From(ctl);
  ASSERT_EQ(Send("CALLBACK1"), "OK\r\n");
  // A length the datagram never had, in a buffer of exactly its size.
  char exact[] = "UARTab";
  char* reply = cm->ProcessCommand(exact, 4000);
  ASSERT_NE(reply, nullptr);
  EXPECT_STREQ(reply, "OK\r\n");
  // And in mCommand: at most what the receive buffer can hold.
  memset(cm->mCommand, 'z', CommandManager::kCommandSize);
  memcpy(cm->mCommand, "UARTcd", 6);
  EXPECT_STREQ(cm->ProcessCommand(cm->mCommand, 6), "OK\r\n");
  EXPECT_STREQ(cm->ProcessCommand(cm->mCommand, -3), "OK\r\n");
  EXPECT_STREQ(cm->ProcessCommand(cm->mCommand, 2), "OK\r\n");
  EXPECT_STREQ(cm->ProcessCommand(cm->mCommand, 1 << 30), "OK\r\n");
  std::string got = FakeSerial::Get().TakeAtLeast(4 + CommandManager::kReceiveLimit - 4);
  EXPECT_EQ(got.substr(0, 4), "abcd");
  EXPECT_EQ(got.size(), 4u + CommandManager::kReceiveLimit - 4);
}

TEST_F(Serial, ForwardingOffDropsBothWaysAndOnAgainRetargets) {
  vyxtest::LoopbackUdp first, second;
  From(first);
  ASSERT_EQ(Send("CALLBACK1"), "OK\r\n");
  int fd = cm->mpUart->mSerialFd;
  ASSERT_GE(fd, 0);
  ASSERT_EQ(Send("CALLBACK0"), "OK\r\n");
  EXPECT_FALSE(cm->mpUart->mForwardUart);
  EXPECT_EQ(Send("UARTdropped"), "OK\r\n");
  ASSERT_TRUE(FakeSerial::Get().Type("q"));
  std::string d;
  EXPECT_FALSE(NextSerial(first, &d, 300));

  From(second);
  ASSERT_EQ(Send("CALLBACK1"), "OK\r\n");
  EXPECT_EQ(cm->mpUart->mSerialFd, fd);  // opened once
  ASSERT_TRUE(FakeSerial::Get().Type("r"));
  ASSERT_TRUE(NextSerial(second, &d));
  // The byte typed while forwarding was off may be read now; "r" comes last.
  if (d == "UARTq") {
    ASSERT_TRUE(NextSerial(second, &d));
  }
  EXPECT_EQ(d, "UARTr");
  EXPECT_FALSE(NextSerial(first, &d, 100));
  EXPECT_EQ(FakeSerial::Get().Take().find("dropped"), std::string::npos);
}

TEST_F(Serial, SuartStoresTheSettings) {
  FakeAgent::Get().ClearRequests();
  EXPECT_EQ(Send("SUART9600,8,N,1"), "OK\r\n");
  EXPECT_EQ(FakeAgent::Get().Log(), (std::vector<std::string>{std::string("set ") + kOidSerial + " s \"9600,N,8,1\"",
                                                                std::string("set ") + kOidConfigSave + " i 0"}));
  FakeAgent::Get().ClearRequests();
  EXPECT_EQ(Send("SUART96k,8,N,1"), "OK\r\n");
  EXPECT_EQ(FakeAgent::Get().Log(), (std::vector<std::string>{std::string("set ") + kOidSerial + " s \"0,N,8,1\"",
                                                                std::string("set ") + kOidConfigSave + " i 0"}));
  FakeAgent::Get().ClearRequests();
  for (const std::string& c : {std::string(""), std::string("9600"), std::string("9600,8"), std::string("1,99999999999,z")})
    EXPECT_EQ(Send("SUART" + c), "KO\r\n") << c;
  EXPECT_TRUE(FakeAgent::Get().Log().empty());
  FakeAgent::Get().Garble(true);
  vyxtest::StdioCapture err(stderr);
  EXPECT_EQ(Send("SUART9600,8,N,1"), "KO\r\n");
  FakeAgent::Get().Garble(false);
  EXPECT_NE(err.Stop().find("serialParameters: 9600,8,N,1"), std::string::npos);
}

TEST_F(Serial, SuartWhoseSaveTheAgentRefusesIsKo) {
  // The settings are taken, the save of the configuration is not.
  FakeAgent::Get().ClearRequests();
  FakeAgent::Get().Script(std::string(kOidSerial) + " = STRING: \"9600,N,8,1\"\n");
  FakeAgent::Get().Script(std::string("no such thing", 13));  // unterminated, no '='
  vyxtest::StdioCapture err(stderr);
  EXPECT_EQ(Send("SUART9600,8,N,1"), "KO\r\n");
  std::string text = err.Stop();
  EXPECT_NE(text.find("configSave"), std::string::npos) << text;
  EXPECT_EQ(text.find("serialParameters"), std::string::npos) << text;
  EXPECT_EQ(FakeAgent::Get().Log().size(), 2u);
  // The script is used up: the agent answers as usual again.
  EXPECT_EQ(Send("SUART9600,8,N,1"), "OK\r\n");
}

TEST_F(Serial, TransmitterRefuses) {
  CommandManager* t = vyxtest::shared_manager('T');
  EXPECT_EQ(t->mpUart, nullptr);
  EXPECT_EQ(vyxtest::dispatch(t, "UARTabc"), "KO\r\n");
  EXPECT_EQ(vyxtest::dispatch(t, "SUART9600,8,N,1"), "KO\r\n");
}

TEST(UartPort, ThatCannotBeOpenedLeavesForwardingOff) {
  const char* saved = uart_device_path;
  uart_device_path = "/nonexistent/ttyS0";
  {
    Uart uart;
    UdpServer server;
    server.siOther.sin_family = AF_INET;
    server.siOther.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.siOther.sin_port = htons(9);
    vyxtest::StdioCapture err(stderr);
    uart.SetUartForwarding(&server);
    EXPECT_NE(err.Stop().find("Cant open serial"), std::string::npos);
    EXPECT_FALSE(uart.mForwardUart);
    EXPECT_EQ(uart.mSerialFd, -1);
    char data[] = "xyz";
    EXPECT_TRUE(uart.ProcessUartCommand(data, 3));  // nothing written, nothing to fail
    EXPECT_TRUE(uart.WriteToUdp(data, 3));
  }
  uart_device_path = saved;
}

}  // namespace
