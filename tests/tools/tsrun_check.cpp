// tsrun_check: a recording of one transmitter stream against the multiplex
// that was fed, packet by packet, without holding the recording in memory
// (it may be a FIFO that a recorder writes for hours).
//
//   tsrun_check INPUT RECORDING --pids P,P,... --pat TSID:NUM=PID,... [--restarts N]
//
// INPUT is the looping input file (read whole), RECORDING a file, FIFO or
// "-" (standard input).  --pids lists the PIDs the stream forwards besides
// the PAT; --pat the regenerated PAT it must carry (transport id and the
// program loop, in order, with the programs not streamed as number 0).
//
// The packets of those PIDs, taken from the input in order and looped,
// form one sequence; the recording without its PAT packets must be an
// unbroken run of it.  That covers every PID's own sequence and the order
// between PIDs.  A run that goes on from the sequence's first packet
// instead of the expected one is a restart of the feed from the file's
// start (a retune); --restarts bounds how many are allowed (default 0).
// Continuity counters must run on, except where the input itself jumps at
// its loop (a PID's first packet of the file after its last).  Each PAT
// section must have a valid CRC and the given contents.
//
// Prints one JSON object; the first few problems go to
// standard error.  Exit 0 when the recording holds, 1 when not, 2 on bad
// usage or an unreadable input.

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const size_t kPacket = 188;
const int kReportLimit = 10;

uint32_t crc32_mpeg(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint32_t>(p[i]) << 24;
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

unsigned pid_of(const uint8_t* p) { return static_cast<unsigned>((p[1] & 0x1F) << 8 | p[2]); }
bool has_payload(const uint8_t* p) { return (p[3] & 0x10) != 0; }

struct Counts {
  unsigned long long bytes = 0, packets = 0, checked = 0, pat_packets = 0, pat_sections = 0;
  unsigned long long loops = 0, breaks = 0, missing = 0, restarts = 0, unknown = 0, foreign = 0;
  unsigned long long sync_losses = 0, skipped_bytes = 0, cc_errors = 0, cc_wraps = 0, pat_errors = 0;
};

class Checker {
 public:
  Checker(std::vector<uint8_t> input, std::vector<bool> forwarded, std::vector<uint8_t> pat)
      : mForwarded(std::move(forwarded)),
        mInput(std::move(input)),
        mPat(std::move(pat)),
        mLastCc(8192, -1),
        mWrapped(8192, false) {
    std::vector<bool> seen(8192, false);
    for (size_t off = 0; off + kPacket <= mInput.size(); off += kPacket) {
      unsigned pid = pid_of(&mInput[off]);
      if (pid == 0 || !mForwarded[pid]) continue;
      mSeq.push_back(static_cast<uint32_t>(off));
      mFirstOfPid.push_back(!seen[pid]);
      seen[pid] = true;
    }
  }
  size_t SequenceLength() const { return mSeq.size(); }
  Counts& counts() { return mC; }

  // One 188-byte packet of the recording that starts with a sync byte.
  void Packet(const uint8_t* p) {
    ++mC.packets;
    unsigned pid = pid_of(p);
    if (pid == 0) {
      Pat(p);
      return;
    }
    if (!mForwarded[pid]) {
      ++mC.foreign;
      Report("packet %llu: PID 0x%x is not one of the stream's", mC.packets, pid);
      return;
    }
    ++mC.checked;
    size_t n = mSeq.size();
    // Follow every place of the sequence this packet may be at; packets
    // that repeat (a table every so often) leave more than one for a while.
    mNext.clear();
    for (uint32_t c : mCandidates)
      if (Same(c, p)) mNext.push_back(static_cast<uint32_t>((c + 1) % n));
    if (mNext.empty()) {
      uint32_t expected = mCandidates.empty() ? 0 : mCandidates[0];
      bool restart = false;
      for (uint32_t j = 0; j < n; ++j) {
        if (!Same(j, p)) continue;
        mNext.push_back(static_cast<uint32_t>((j + 1) % n));
        if (j == 0) restart = true;
      }
      if (mNext.empty()) {
        ++mC.unknown;
        Report("packet %llu (PID 0x%x): not a packet of the input", mC.packets, pid);
      } else if (!mCandidates.empty() && restart) {
        ++mC.restarts;
        Report("packet %llu (PID 0x%x): the input again from its start (restart)", mC.packets, pid);
      } else if (!mCandidates.empty()) {
        ++mC.breaks;
        uint32_t found = (mNext[0] + n - 1) % n;
        unsigned long long gap = (found + n - expected) % n;
        mC.missing += gap;
        Report("packet %llu (PID 0x%x): %llu packets of the input missing before it", mC.packets, pid, gap);
      }
    }
    // It was the sequence's last packet (counted once the place is certain).
    if (mNext.size() == 1 && mNext[0] == 0) ++mC.loops;
    uint32_t at = mNext.empty() ? 0 : (mNext[0] + n - 1) % n;
    mCandidates.swap(mNext);
    // The input's loop starts a PID again, maybe with a packet without
    // payload (which carries no counter): its next counter may jump.
    if (!mCandidates.empty() && mFirstOfPid[at]) mWrapped[pid] = true;
    Continuity(p, pid, mWrapped[pid]);
    if (has_payload(p)) mWrapped[pid] = false;
  }

  // Bytes that did not start a packet where one was due.
  void Skipped(size_t n) {
    ++mC.sync_losses;
    mC.skipped_bytes += n;
    Report("after packet %llu: %zu bytes without a packet", mC.packets, n);
  }

  void Report(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (++mReports > kReportLimit) return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
  }

 private:
  bool Same(uint32_t index, const uint8_t* p) const {
    return memcmp(&mInput[mSeq[index]], p, kPacket) == 0;
  }

  void Continuity(const uint8_t* p, unsigned pid, bool inputWraps) {
    if (!has_payload(p)) return;
    int cc = p[3] & 0x0F;
    int last = mLastCc[pid];
    mLastCc[pid] = cc;
    if (last < 0 || cc == ((last + 1) & 0x0F)) return;
    if (inputWraps) {
      ++mC.cc_wraps;  // the input's own jump where it loops
      return;
    }
    ++mC.cc_errors;
    Report("packet %llu (PID 0x%x): continuity counter %d after %d", mC.packets, pid, cc, last);
  }

  // PAT packets: sections gathered across packets, each checked whole.
  void Pat(const uint8_t* p) {
    ++mC.pat_packets;
    Continuity(p, 0, false);
    if (!has_payload(p)) return;
    int afc = (p[3] >> 4) & 3;
    size_t start = afc == 3 ? 5u + p[4] : 4u;
    if (start >= kPacket) return;
    const uint8_t* pl = p + start;
    size_t len = kPacket - start;
    if (p[1] & 0x40) {
      size_t ptr = pl[0];
      if (1 + ptr > len) {
        PatError("pointer field past the packet");
        return;
      }
      if (mSection.size() > 0) Append(pl + 1, ptr);
      mSection.clear();
      mCollecting = true;
      Append(pl + 1 + ptr, len - 1 - ptr);
    } else if (mCollecting) {
      Append(pl, len);
    }
  }

  void Append(const uint8_t* data, size_t len) {
    mSection.insert(mSection.end(), data, data + len);
    while (mCollecting && mSection.size() >= 3 && mSection[0] != 0xFF) {
      size_t total = 3 + ((mSection[1] & 0x0F) << 8 | mSection[2]);
      if (mSection.size() < total) {
        if (mSection.size() > 1024 + 3) PatError("section longer than a PAT may be");
        return;
      }
      CheckPat(mSection.data(), total);
      mSection.erase(mSection.begin(), mSection.begin() + static_cast<long>(total));
    }
    if (!mSection.empty() && mSection[0] == 0xFF) {
      mSection.clear();
      mCollecting = false;
    }
  }

  void CheckPat(const uint8_t* s, size_t len) {
    ++mC.pat_sections;
    if (len < 12 || s[0] != 0x00) {
      PatError("not a PAT section");
    } else if (crc32_mpeg(s, len) != 0) {
      PatError("CRC does not match");
    } else if (len - 12 != mPat.size() - 2 || memcmp(s + 3, mPat.data(), 2) != 0 ||
               memcmp(s + 8, mPat.data() + 2, len - 12) != 0) {
      PatError("transport id or programs not the expected ones");
    }
  }
  void PatError(const char* what) {
    ++mC.pat_errors;
    Report("PAT packet %llu: %s", mC.pat_packets, what);
  }

 private:
  std::vector<bool> mForwarded;  // by PID
  std::vector<uint8_t> mInput;
  std::vector<uint8_t> mPat;  // transport id (2 bytes), then the program loop
  std::vector<uint32_t> mSeq;
  std::vector<bool> mFirstOfPid;
  std::vector<uint32_t> mCandidates, mNext;
  std::vector<int> mLastCc;
  std::vector<bool> mWrapped;  // by PID: the input looped since its last payload
  std::vector<uint8_t> mSection;
  bool mCollecting = false;
  Counts mC;
  int mReports = 0;
};

bool read_file(const char* path, std::vector<uint8_t>* out) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out->insert(out->end(), buf, buf + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// "0x100,257" -> mask; false on a bad number.
bool parse_pids(const char* text, std::vector<bool>* mask) {
  std::string s = text;
  size_t pos = 0;
  while (pos <= s.size()) {
    size_t comma = s.find(',', pos);
    std::string item = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(item.c_str(), &end, 0);
    if (item.empty() || *end != '\0' || errno != 0 || v >= 8192) return false;
    (*mask)[v] = true;
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return true;
}

// "1:1=0x1000,0=0x10" -> transport id and program loop bytes.
bool parse_pat(const char* text, std::vector<uint8_t>* pat) {
  char* end = nullptr;
  unsigned long tsid = strtoul(text, &end, 0);
  if (end == text || *end != ':' || tsid > 0xFFFF) return false;
  pat->push_back(static_cast<uint8_t>(tsid >> 8));
  pat->push_back(static_cast<uint8_t>(tsid));
  const char* p = end + 1;
  while (*p != '\0') {
    unsigned long num = strtoul(p, &end, 0);
    if (end == p || *end != '=' || num > 0xFFFF) return false;
    p = end + 1;
    unsigned long pid = strtoul(p, &end, 0);
    if (end == p || pid >= 8192 || (*end != ',' && *end != '\0')) return false;
    uint8_t entry[4] = {static_cast<uint8_t>(num >> 8), static_cast<uint8_t>(num),
                        static_cast<uint8_t>(0xE0 | pid >> 8), static_cast<uint8_t>(pid)};
    pat->insert(pat->end(), entry, entry + 4);
    p = *end == ',' ? end + 1 : end;
  }
  return pat->size() > 2;
}

int usage() {
  fprintf(stderr, "usage: tsrun_check INPUT RECORDING --pids P,P,... --pat TSID:NUM=PID,... [--restarts N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const char* inputPath = argv[1];
  const char* recPath = argv[2];
  std::vector<bool> forwarded(8192, false);
  std::vector<uint8_t> pat;
  bool havePids = false;
  unsigned long long allowedRestarts = 0;
  for (int i = 3; i < argc; i += 2) {
    if (i + 1 >= argc) return usage();
    std::string opt = argv[i];
    if (opt == "--pids") {
      if (!parse_pids(argv[i + 1], &forwarded)) return usage();
      havePids = true;
    } else if (opt == "--pat") {
      if (!parse_pat(argv[i + 1], &pat)) return usage();
    } else if (opt == "--restarts") {
      allowedRestarts = strtoull(argv[i + 1], nullptr, 10);
    } else {
      return usage();
    }
  }
  if (!havePids || pat.empty()) return usage();

  std::vector<uint8_t> input;
  if (!read_file(inputPath, &input) || input.empty() || input.size() % kPacket != 0) {
    fprintf(stderr, "%s: not a readable file of whole packets\n", inputPath);
    return 2;
  }
  for (size_t off = 0; off < input.size(); off += kPacket) {
    if (input[off] != 0x47) {
      fprintf(stderr, "%s: no sync byte at offset %zu\n", inputPath, off);
      return 2;
    }
  }
  Checker check(std::move(input), forwarded, pat);
  if (check.SequenceLength() == 0) {
    fprintf(stderr, "%s: none of the PIDs is in it\n", inputPath);
    return 2;
  }

  FILE* rec = strcmp(recPath, "-") == 0 ? stdin : fopen(recPath, "rb");
  if (rec == nullptr) {
    fprintf(stderr, "%s: %s\n", recPath, strerror(errno));
    return 2;
  }
  // A window of the recording: packets are taken from its front, and a
  // lost sync is searched for as two sync bytes a packet apart.
  std::vector<uint8_t> buf(kPacket * 8192);
  size_t have = 0;
  bool eof = false;
  Counts& c = check.counts();
  while (!eof || have > 0) {
    if (!eof && have < buf.size()) {
      // fread fills the window unless the recording ends.
      size_t n = fread(buf.data() + have, 1, buf.size() - have, rec);
      if (n < buf.size() - have) eof = true;
      have += n;
      c.bytes += n;
    }
    size_t pos = 0;
    while (have - pos >= kPacket && (eof || have - pos >= 2 * kPacket)) {
      const uint8_t* p = buf.data() + pos;
      if (p[0] == 0x47) {
        check.Packet(p);
        pos += kPacket;
        continue;
      }
      size_t q = pos + 1;
      while (q + kPacket < have && !(buf[q] == 0x47 && buf[q + kPacket] == 0x47)) ++q;
      if (q + kPacket >= have && !eof && pos > 0) break;  // decide once more bytes are in
      if (q + kPacket >= have && eof) q = have;          // no packet in what is left
      check.Skipped(q - pos);
      pos = q;
    }
    if (eof && have - pos > 0 && have - pos < kPacket) {
      check.Skipped(have - pos);
      pos = have;
    }
    memmove(buf.data(), buf.data() + pos, have - pos);
    have -= pos;
  }
  if (rec != stdin) fclose(rec);

  bool ok = c.checked > 0 && c.pat_sections > 0 && c.unknown == 0 && c.breaks == 0 &&
            c.restarts <= allowedRestarts && c.foreign == 0 && c.sync_losses == 0 && c.cc_errors == 0 &&
            c.pat_errors == 0;
  if (c.checked == 0) fprintf(stderr, "no packet of the stream's PIDs\n");
  if (c.pat_sections == 0) fprintf(stderr, "no PAT section\n");
  if (c.restarts > allowedRestarts)
    fprintf(stderr, "%llu restarts of the input, %llu allowed\n", c.restarts, allowedRestarts);
  printf("{\"bytes\": %llu, \"packets\": %llu, \"checked\": %llu, \"loops\": %llu, \"pat_packets\": %llu, "
         "\"pat_sections\": %llu, \"pat_errors\": %llu, \"breaks\": %llu, \"missing\": %llu, "
         "\"restarts\": %llu, \"unknown\": %llu, \"foreign\": %llu, \"sync_losses\": %llu, "
         "\"skipped_bytes\": %llu, \"cc_errors\": %llu, \"cc_input_wraps\": %llu, \"ok\": %s}\n",
         c.bytes, c.packets, c.checked, c.loops, c.pat_packets, c.pat_sections, c.pat_errors, c.breaks,
         c.missing, c.restarts, c.unknown, c.foreign, c.sync_losses, c.skipped_bytes, c.cc_errors, c.cc_wraps,
         ok ? "true" : "false");
  return ok ? 0 : 1;
}
