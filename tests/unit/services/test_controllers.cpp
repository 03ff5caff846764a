// The controller list: its entries, its file and the source check.  A file
// that cannot serve as a list leaves every source served.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "core/reportdue.h"
#include "services/controllers.h"
#include "stdio_capture.h"

namespace {

uint32_t Addr(const char* dotted) { return inet_addr(dotted); }

struct ListFile : ::testing::Test {
  std::string path;
  void SetUp() override {
    char dir[] = "/tmp/vyx_controllers_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    path = std::string(dir) + "/vyx_controllers";
  }
  void TearDown() override {
    unlink(path.c_str());
    rmdir(path.c_str());
    rmdir(path.substr(0, path.rfind('/')).c_str());
  }
  void Write(const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }
  // Loads the file; the error stream's text in `err`.
  ControllerList::LoadEnum Load(ControllerList& list, std::string* err = nullptr) {
    vyxtest::StdioCapture capture(stderr);
    ControllerList::LoadEnum r = list.Load(path.c_str());
    std::string text = capture.Stop();
    if (err != nullptr) *err = text;
    return r;
  }
  std::string Listed(const ControllerList& list) {
    char out[1024];
    list.Format(out, sizeof(out), ',');
    return out;
  }
};

TEST(ControllerEntry, AddressesAndBlocks) {
  struct {
    const char* text;
    const char* normal;  // null: refused
  } cases[] = {
      {"10.77.0.1", "10.77.0.1"},          {" 10.77.0.5/24\r", "10.77.0.0/24"},
      {"0.0.0.0/0", "0.0.0.0/0"},          {"192.168.1.255/32", "192.168.1.255"},
      {"10.77.0.1/31", "10.77.0.0/31"},    {"10.77.0", nullptr},
      {"10.77.0.256", nullptr},            {"10.77.0.1/33", nullptr},
      {"10.77.0.1/", nullptr},             {"10.77.0.1x", nullptr},
      {"1000.1.1.1", nullptr},             {"10.77.0.1 10.77.0.2", nullptr},
      {"", nullptr},                       {"-1.2.3.4", nullptr},
      {"10..0.1", nullptr},                {"10.77.0.1/2 4", nullptr},
  };
  for (const auto& c : cases) {
    ControllerList::Entry e;
    bool ok = ControllerList::ParseEntry(c.text, strlen(c.text), &e);
    EXPECT_EQ(ok, c.normal != nullptr) << c.text;
    if (!ok || c.normal == nullptr) continue;
    char out[ControllerList::kEntryText];
    ControllerList::FormatEntry(e, out, sizeof(out));
    EXPECT_STREQ(out, c.normal) << c.text;
  }
}

TEST(ControllerEntry, ListsOfACommandAndTheSourceCheck) {
  ControllerList::Entry e[ControllerList::kMaxEntries];
  ASSERT_EQ(ControllerList::ParseList("10.77.0.9,192.168.4.0/22", e), 2);
  ControllerList list;
  EXPECT_TRUE(list.Allows(Addr("172.16.0.1")));  // no list: everyone
  list.Set(e, 2);
  EXPECT_TRUE(list.Allows(Addr("10.77.0.9")));
  EXPECT_FALSE(list.Allows(Addr("10.77.0.8")));
  EXPECT_TRUE(list.Allows(Addr("192.168.7.255")));
  EXPECT_FALSE(list.Allows(Addr("192.168.8.0")));
  EXPECT_FALSE(list.Allows(Addr("192.168.3.255")));

  EXPECT_EQ(ControllerList::ParseList("10.77.0.9,,10.0.0.1", e), -1);

  // The listing of a full list of the longest entries fits one reply.
  for (int i = 0; i < ControllerList::kMaxEntries; i++)
    ControllerList::ParseEntry("255.255.255.255/31", 18, &e[i]);
  list.Set(e, ControllerList::kMaxEntries);
  char out[1024];
  EXPECT_EQ(list.Format(out, sizeof(out), ','), ControllerList::kMaxEntries * 19u - 1);
}

TEST_F(ListFile, MissingFileServesEveryone) {
  ControllerList list;
  std::string err;
  EXPECT_EQ(Load(list, &err), ControllerList::eLoadMissing);
  EXPECT_EQ(err, "");
  EXPECT_FALSE(list.Active());
}

TEST_F(ListFile, CommentsBlanksAndBadLines) {
  Write("# the head end\n"
        "10.77.0.2   # the controller\n"
        "\n"
        "   \t\r\n"
        "10.77.1.0/24\r\n"
        "10.77.0.300\n"
        "10.78.0.0/16 trailing words\n" +
        std::string(100, ' ') + "10.79.0.1\n"
        "10.80.0.1");  // no line end
  ControllerList list;
  std::string err;
  EXPECT_EQ(Load(list, &err), ControllerList::eLoadListed);
  EXPECT_EQ(Listed(list), "10.77.0.2,10.77.1.0/24,10.80.0.1");
  EXPECT_NE(err.find("line 6 is not an address"), std::string::npos) << err;
  EXPECT_NE(err.find("line 7 is not an address"), std::string::npos) << err;
  EXPECT_NE(err.find("line 8 is not an address"), std::string::npos) << err;  // too long
  EXPECT_EQ(err.find("line 2 "), std::string::npos) << err;
}

TEST_F(ListFile, FilesThatCannotServeAsAListServeEveryone) {
  ControllerList list;
  ControllerList::Entry e;
  ControllerList::ParseEntry("10.0.0.1", 8, &e);
  std::string err;
  struct {
    std::string text;
    ControllerList::LoadEnum want;
    const char* report;
  } cases[] = {
      {"", ControllerList::eLoadInvalid, "lists no valid controller"},
      {"# nothing yet\n\n", ControllerList::eLoadInvalid, "lists no valid controller"},
      {"10.0.0.1/40\nhost.example\n", ControllerList::eLoadInvalid, "lists no valid controller"},
      {std::string(5000, '#'), ControllerList::eLoadUnreadable, "larger than 4096 bytes"},
  };
  for (const auto& c : cases) {
    Write(c.text);
    list.Set(&e, 1);  // a list from before must not survive a failed load
    EXPECT_EQ(Load(list, &err), c.want) << c.text.substr(0, 40);
    EXPECT_NE(err.find(c.report), std::string::npos) << err;
    EXPECT_NE(err.find("every controller is served"), std::string::npos) << err;
    EXPECT_FALSE(list.Active());
    EXPECT_TRUE(list.Allows(Addr("192.0.2.1")));
  }
  std::string many;
  for (int i = 0; i <= ControllerList::kMaxEntries; i++) many += "10.0.1." + std::to_string(i) + "\n";
  Write(many);
  EXPECT_EQ(Load(list, &err), ControllerList::eLoadInvalid);
  EXPECT_NE(err.find("more than 48"), std::string::npos) << err;
  EXPECT_FALSE(list.Active());

  // A directory in its place cannot be read.
  unlink(path.c_str());
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  EXPECT_EQ(Load(list, &err), ControllerList::eLoadUnreadable);
  EXPECT_NE(err.find("cannot be read"), std::string::npos) << err;
  EXPECT_FALSE(list.Active());
}

TEST(ControllerRefusals, CountedAndReportedRateLimited) {
  report_limits_restart();
  ControllerList list;
  vyxtest::StdioCapture capture(stderr);
  for (int i = 0; i < 600; i++) list.CountRefused(Addr("10.9.9.9"), 4000);
  std::string err = capture.Stop();
  EXPECT_EQ(list.Refused(), 600u);
  // The first at once; the others within the interval wait for the next line.
  EXPECT_NE(err.find("[x1] Command from 10.9.9.9:4000 refused: not a listed controller (1 so far)"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("(2 so far)"), std::string::npos) << err;
  EXPECT_EQ(err.find("(600 so far)"), std::string::npos) << err;
}

}  // namespace
