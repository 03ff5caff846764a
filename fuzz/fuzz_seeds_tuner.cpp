// Seeds of the tuner manager and the command handlers: what the device
// targets, the command target, the upgrade target and the scan-results
// target need to reach their less travelled paths (single-channel scans of
// a strong, weak and absent signal, languages and captions announced and
// withdrawn, a guide larger than the store, forwarding cut by a new
// controller list, the processes around the device failing a step midway,
// damaged and odd archives and scan-results files).

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_seeds.h"
#include "fuzz_support.h"
#include "tsfixture.h"

namespace {

using Pieces = std::vector<std::string>;

std::string Str(const tsfix::Bytes& b) { return std::string(b.begin(), b.end()); }

// A piece of the device targets: selector, then its bytes.
std::string Dev(int selector, const std::string& bytes) {
  return std::string(1, static_cast<char>(selector)) + bytes;
}
std::string Cmd(const std::string& command) { return Dev(0, command); }

void Write(const std::string& target, const std::string& name, const Pieces& pieces) {
  vyxseeds::WriteSeed(target, "tuner-" + name, vyxfuzz::join_pieces(pieces));
}

// The guide day of the other seeds: MJD 59290 at 00:00 UTC in GPS seconds.
const uint32_t kDay = (59290u - 44244u) * 86400u + 18u;

// Transmitter: one channel scanned at a time (Tuner://), with the signal
// strong (channel found, no programs come in the scan's windows), weak
// (ignored) and absent; a channel the mode cannot tune; a stream asked for
// while a scan runs; the scan in the QAM band.  "BLIND7" is refused, and the
// target waits a moment after it: the one-channel scan ends meanwhile.
void ScanSeeds() {
  Write("device", "scan-one", {Dev(5, "\4"), Cmd("TUNERMODE0"), Cmd("Tuner://5"),
                               Cmd("UNIT1,127.0.0.1,9,5,1,1"), Cmd("BLIND7"), Cmd("SCA?"),
                               Dev(5, "\2"), Cmd("Tuner://6"), Cmd("BLIND7"), Dev(5, std::string(1, '\0')),
                               Cmd("Tuner://99"), Cmd("TUNERMODE1"), Cmd("Tuner://7"), Cmd("BLIND7"),
                               Cmd("SCA?"), Cmd("SCAL"), Cmd("TUNERMODE0")});
  // A scan whose list cannot be saved: the system manager refuses the disk.
  Write("device", "scan-unsaved", {Dev(5, "\4"), Dev(7, "\1"), Cmd("Tuner://9"), Cmd("BLIND7"), Cmd("SCA?"),
                                   Dev(7, std::string(1, '\0')), Cmd("SCAL")});
}

// A PAT of programs 1 and 2 and their PMTs, program 1 with audio in two
// languages and captions in two, program 2 with the older video and audio
// stream types; `withdrawn`: program 1's PMT in a new version that no
// longer lists its second audio stream (whose language entry, after one
// that stays, ages out).
tsfix::Bytes LanguageMux(int pmtRepeats, bool withdrawn) {
  tsfix::PsipStream s;
  s.Add(0x0000, tsfix::MakePat(0x21, 0, {{1, 0x101}, {2, 0x102}}));
  tsfix::Descriptor langs = tsfix::LanguageDescriptor({{"spa", 3}, {"eng", 0}});
  tsfix::Descriptor one = tsfix::LanguageDescriptor({{"eng", 0}});
  tsfix::Descriptor fra = tsfix::LanguageDescriptor({{"fra", 0}});
  tsfix::Descriptor cc =
      tsfix::CaptionDescriptor({{"eng", true, 1, false, true}, {"fra", true, 2, false, true}});
  const tsfix::Bytes first = tsfix::MakePmt(
      1, 0x200, 0, {{0x02, 0x200, {}}, {0x81, 0x201, {langs}}, {0x81, 0x203, {fra}}, {0x02, 0x202, {cc}}});
  const tsfix::Bytes later =
      tsfix::MakePmt(1, 0x200, 1, {{0x02, 0x200, {}}, {0x81, 0x201, {one}}, {0x02, 0x202, {cc}}});
  s.Add(0x101, first);
  s.Add(0x102, tsfix::MakePmt(2, 0x210, 0, {{0x01, 0x210, {}}, {0x03, 0x211, {one}}}));
  for (int i = 0; i < pmtRepeats; ++i) s.Add(0x101, withdrawn ? later : first);
  return s.Build();
}

// Transmitter: streams of the language multiplex (a second stream joins the
// channel already tuned), the language and caption lists and their dump,
// then the PMT's new version announced until the withdrawn language goes.
void LanguageSeeds() {
  Write("device", "languages", {Cmd("UNIT1,127.0.0.1,9,5,21,1"), Dev(2, Str(LanguageMux(2, false))),
                                Cmd("UNIT4,2,127.0.0.1,9,5,21,2"), Dev(2, Str(LanguageMux(1, false))),
                                Cmd("STATUS"), Cmd("LAN?"), Cmd("SUB?"), Cmd("DUMPLANG"),
                                Dev(2, Str(LanguageMux(34, true))), Cmd("LAN?"), Cmd("DUMPLANG"),
                                Cmd("UNIT0")});
  // Receiver: the player plays program 1 (its status memory says so) and
  // hears its PAT and PMT; the languages are listed and chosen, the stream
  // chosen again (its languages cleared), a section of no table the
  // receiver reads.
  tsfix::Bytes pat = tsfix::MakePat(0x21, 1, {{1, 0x101}, {2, 0x102}});
  tsfix::Descriptor langs = tsfix::LanguageDescriptor({{"eng", 0}, {"spa", 3}});
  tsfix::Descriptor cc = tsfix::CaptionDescriptor({{"eng", true, 1, false, true}});
  tsfix::Bytes pmt =
      tsfix::MakePmt(1, 0x200, 0, {{0x02, 0x200, {}}, {0x81, 0x201, {langs}}, {0x02, 0x202, {cc}}});
  Write("device_rx", "languages",
        {Cmd("UNIT1,239.1.1.1,1234,0,1"), Dev(6, std::string("\1\0", 2)), Dev(2, Str(pat)), Dev(2, Str(pmt)),
         Dev(2, Str(pmt)), Cmd("LAN?"), Cmd("SUB?"), Cmd("LANG spa,3,eng,0"), Cmd("LANG deu,0"),
         Cmd("UNIT1,239.1.1.1,1234,0,1"), Dev(2, std::string("\xC7\x00\x01\x00", 4)), Cmd("DUMPLANG"),
         Dev(6, std::string("\0\0", 2)), Cmd("UNIT0")});
}

// A transmitter's tuned multiplex whose guide announces more events than
// the store holds (9 channels of 240 one-minute events, none ended by the
// clock): a few texts come before their events (records without an event
// table, the first to make room), the last channels' events and a text for
// an event that found no room are counted and reported once.  Titles are
// empty but one, longer than a title is kept.
tsfix::Bytes FullGuide() {
  const int kChannels = 9;
  const int kEvents = 240;
  const uint32_t start = kDay + 6 * 3600;
  tsfix::PsipStream s;
  std::vector<tsfix::PatEntry> pat;
  std::vector<tsfix::TvctChannel> vct;
  for (int ch = 1; ch <= kChannels; ++ch) {
    pat.push_back({static_cast<uint16_t>(ch), static_cast<uint16_t>(0x30 + ch)});
    vct.push_back(tsfix::Channel("FULL" + std::to_string(ch), 40, ch, 0x24, ch, ch));
  }
  // More programs than the virtual channels name: the channel list and the
  // language lists run past a datagram.
  std::vector<tsfix::PatEntry> listed = pat;
  for (int more = 10; more <= 120; ++more)
    listed.push_back({static_cast<uint16_t>(more), static_cast<uint16_t>(0x400 + more)});
  s.Add(0x0000, tsfix::MakePat(0x24, 3, listed));
  for (const tsfix::PatEntry& e : pat)
    s.Add(e.pid, tsfix::MakePmt(e.program, 0x100, 3, {{0x02, static_cast<uint16_t>(0x100 + e.program), {}}}));
  s.AddPacked(0x1FFB, {tsfix::MakeMgt(tsfix::GuideMgtTables(1, false), 3), tsfix::MakeTvct(0x24, 3, vct), tsfix::MakeStt(start, 18)});
  // Texts ahead of their events (events no table announces).
  for (uint16_t id = 1000; id <= 1003; ++id)
    s.Add(0x1E00,
          tsfix::MakeEtt(tsfix::EventEtmId(1, id), 3, tsfix::PlainMss("Early text " + std::to_string(id))));
  for (int ch = 1; ch <= kChannels; ++ch) {
    // Two sections a channel: 240 events do not fit one.
    for (int half = 0; half < 2; ++half) {
      std::vector<tsfix::EitEvent> events;
      for (int ev = half * kEvents / 2; ev < (half + 1) * kEvents / 2; ++ev) {
        const std::string title = ch == 1 && ev == 0 ? std::string(200, 'T') : std::string();
        const uint32_t at = start + 60u * static_cast<uint32_t>(ev);
        events.push_back(tsfix::Event(static_cast<uint16_t>(1 + ev), at, 60, tsfix::PlainMss(title)));
      }
      s.Add(0x1D00, tsfix::MakeEit(static_cast<uint16_t>(ch), 3, static_cast<uint8_t>(half), 1, events));
    }
  }
  // A text in a mode other than Latin-1 (the guide answers give it in hex).
  s.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(1, 2), 3, tsfix::PlainMss("Mode text", 0x3F)));
  // Texts of the last channel's last events, which found no room.
  for (uint16_t id = 230; id <= 232; ++id)
    s.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(kChannels, id), 3, tsfix::PlainMss("No room")));
  return s.Build();
}

void GuideSeeds() {
  Write("device", "guide-full",
        {Cmd("UNIT0"), Cmd("UNIT1,127.0.0.1,9,12,24,1"), Dev(2, Str(FullGuide())), Cmd("EITN24,1"),
         Cmd("EITL24,9,0300"), Cmd("EITL24,1,0400"), Cmd("SCAL"), Cmd("LAN?"), Cmd("UNIT0")});
}

// Three streams of every program of a 120-program multiplex: the status
// reply lists them all, longer than a reply may be (it is cut).
void ManyProgramSeeds() {
  tsfix::MuxGenerator gen(120, 0x25, 400, 0);
  Write("device", "many-programs", {Cmd("UNIT0"), Cmd("UNIT1,127.0.0.1,9,5"), Cmd("UNIT4,2,127.0.0.1,9,5"),
                                    Cmd("UNIT4,3,127.0.0.1,9,5"), Dev(2, Str(gen.Generate(130))), Cmd("STATUS"),
                                    Cmd("SCAL"), Cmd("UNIT0")});
}

// Forwarding (IR, serial, errors, scan progress) asked for from eth0, then
// a list set from 127.0.0.1 that leaves eth0 out: forwarding stops.
void ControllerSeeds() {
  Write("device", "forwarding-cut", {Dev(3, "CALLBACK1"), Dev(3, "SCA?"), Cmd("CONTROLLERS,127.0.0.1"),
                                     Dev(3, "STATUS"), Cmd("CONTROLLERS?")});
}

// A ustar archive of one member; `sizeField` replaces the size field's 12
// bytes when not empty (the checksum made right for it).
std::string Tar(const std::string& body, const std::string& sizeField = "") {
  return vyxseeds::TarArchive("rootfs.img", body, 0, sizeField);
}

// The upgrade target's pieces for an archive: its size, chunks, a status.
Pieces UpgradeOf(const std::string& archive, const Pieces& after) {
  Pieces pieces = {std::to_string(archive.size())};
  for (size_t at = 0; at < archive.size(); at += 1500) pieces.push_back(":" + archive.substr(at, 1500));
  pieces.push_back("?");
  pieces.insert(pieces.end(), after.begin(), after.end());
  return pieces;
}

void UpgradeSeeds() {
  // A whole archive burns; a new announcement while it burns is refused.
  Write("upgrade", "burning", UpgradeOf(Tar(std::string(600, 'r')), {"20", "?"}));
  // Size fields in the base-256 form: a size, a negative one, one too large.
  std::string base256(12, '\0');
  base256[0] = static_cast<char>(0x80);
  base256[10] = 0x02;
  base256[11] = 0x58;  // 600
  Write("upgrade", "size-base256", UpgradeOf(Tar(std::string(600, 'b'), base256), {}));
  std::string negative = base256;
  negative[0] = static_cast<char>(0xC0);
  Write("upgrade", "size-negative", UpgradeOf(Tar(std::string(600, 'n'), negative), {}));
  Write("upgrade", "size-huge", UpgradeOf(Tar(std::string(600, 'h'), std::string("\xBF") + std::string(11, '\xFF')), {}));
  Write("upgrade", "size-garbled", UpgradeOf(Tar(std::string(600, 'g'), "12x45"), {}));
}

// The command target's selector: bit 0 the receiver, bit 3 the system
// manager refuses remounts, bits 4-7 the one setting the agent fails
// (1 DHCP, 2 address, 3 gateway, 4 mask, 5 network commit, 6 captions,
// 7 resolution, 8 configuration save, 9 upgrade).
std::string On(int selector, const std::string& datagram) { return Dev(selector, datagram); }

void CommandSeeds() {
  const char* kStatic = "DHCP0,10.0.0.2,10.0.0.1,255.255.255.0";
  // Each static-address step failing in turn, and the commit.
  for (int setting : {2, 3, 4, 5})
    Write("commands", "dhcp-fails-" + std::to_string(setting), {On(setting << 4, kStatic), On(0, "IP?")});
  Write("commands", "dhcp-bad-address", {On(0, "DHCP0,10.0.0,10.0.0.1,255.255.255.0"), On(1, "DHCP0,10.0.0.2,,")});
  // Captions that cannot be set: subtitles, a URL, a stream played.
  Write("commands", "captions-fail",
        {On(1, "SUBS 3"), On(0x61, "SUBS 2"), On(0x61, "URLhttp://example/,0,0,640,480,255,0"),
         On(1, "SUBS 3"), On(0x61, "UNIT1,239.1.1.1,1234,0,1"), On(1, "SUBS OFF")});
  Write("commands", "resolution-fails", {On(0x71, "RESOLUTION?"), On(0x81, "RESOLUTION5"), On(1, "RESOLUTION?")});
  // The disk cannot be made writable: a tuner mode stored and one refused
  // (the disk still checked), the start-up item (both roles), the
  // controller list, an upgrade.
  Write("commands", "remount-refused",
        {On(8, "TUNERMODE1"), On(8, "TUNERMODE9"), On(8, "UNIT1,239.1.1.1,1234,5,1,2"),
         On(9, "UNIT1,239.1.1.1,1234,0,1"), On(8, "CONTROLLERS,0.0.0.0"), On(8, "UPGR20"), On(0, "UPGR?"),
         On(0, "TUNERMODE0"), On(0, "UNIT0")});
  // A whole archive whose burn the agent does not start.
  const std::string archive = Tar(std::string(400, 'a'));
  Write("commands", "burn-refused", {On(0, "UPGR" + std::to_string(archive.size())), On(0, "UPGR:" + archive.substr(0, 1500)),
                                     On(0x90, "UPGR:" + archive.substr(1500)), On(0, "UPGR?")});
  // Fields out of range, an over-long URL, IR codes outside the remote's.
  Write("commands", "refusals",
        {On(0, "VSCALE,10,20,101,40,255"), On(1, "URL" + std::string(1100, 'u') + ",0,0,640,480,255,0"),
         On(1, "REMOTE0"), On(1, "REMOTE1ff"), On(0, "UNIT4,2,239.1.1.2,0,5,1,3"), On(0, "UNIT2,239.1.1.1,1234,5,1,2"), On(0, "UNIT7,1"),
         On(1, "UNIT,239.1.1.1,1234"), On(0, "UNIT0")});
  // Commands refused while a download is under way.
  Write("commands", "upgrade-blocks", {On(0, "UPGR20"), On(0, "DHCP1"), On(0, "UNIT1,239.1.1.1,1234,5,1,2"),
                                       On(0, "Tuner://5"), On(0, "BLIND1"), On(1, "UPGR20"), On(1, "UNIT1,239.1.1.1,1234,0,1"),
                                       On(0, "UPGR0"), On(1, "UPGR0")});
  // The debug stream: no input file, an output file; then closed.
  Write("commands", "stream-to-file", {On(0, "STREAMFROMFILE x,out.ts"), On(0, "STREAMFROMFILE x"), On(0, "STREAMFROMFILE")});
}

// Scan-results files: a line longer than any record's, and more records
// than the pool holds.
void ScanResultSeeds() {
  const std::string line = "005 0001 0002 0005 ff N 02 81 4b 55 4c 58 00 00 00 00 00 00 00 00 00 00\n";
  vyxseeds::WriteSeed("scan_results", "tuner-overlong", line + std::string(600, '7') + "\n" + line);
  std::string many;
  for (int i = 0; i < 1030; ++i) {
    char record[96];
    snprintf(record, sizeof(record), "%03d %04x %04x %04x ff N 02 81 4b 55 4c 58 00 00 00 00 00 00 00 00 00 00\n",
             2 + i % 60, 1 + i / 60, 1 + i, 2 + i % 60);
    many += record;
  }
  vyxseeds::WriteSeed("scan_results", "tuner-pool", many);
}

}  // namespace

namespace vyxseeds {

void TunerCommandSeeds(const std::string& /*samples*/) {
  ScanSeeds();
  LanguageSeeds();
  GuideSeeds();
  ManyProgramSeeds();
  ControllerSeeds();
  UpgradeSeeds();
  CommandSeeds();
  ScanResultSeeds();
}

}  // namespace vyxseeds
