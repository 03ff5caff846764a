// The controller list: its file, its entries and the source check.  Missing,
// unreadable or invalid, the list is off and every source is served, so a
// broken file never locks the installer out; the reasons go to the error
// report at start-up.

#include "services/controllers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/reportdue.h"
#include "systemmanager.h"
#include "utils.h"

const char kControllersFile[] = "/mnt/hd1/vyx_controllers";

namespace {

constexpr int kDisk = 1;
// Bad lines named in the report of one load; the rest are only counted.
constexpr int kBadLinesNamed = 4;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// A decimal number of 1 to 3 digits at most `max`; advances `p`.
bool small_number(const char*& p, const char* end, unsigned max, unsigned* value) {
  unsigned v = 0;
  int digits = 0;
  while (p < end && *p >= '0' && *p <= '9' && digits < 3) {
    v = v * 10 + static_cast<unsigned>(*p - '0');
    ++p;
    ++digits;
  }
  if (digits == 0 || v > max) return false;
  if (p < end && *p >= '0' && *p <= '9') return false;
  *value = v;
  return true;
}

// The whole of `fd` into `buffer` (at most `room` bytes): its length, or -1
// on a read error, or `room` when the file is larger.
long read_all(int fd, char* buffer, size_t room) {
  size_t got = 0;
  while (got < room) {
    ssize_t n = read(fd, buffer + got, room - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<long>(got);
}

struct ListText {
  const char* text;
  size_t length;
};

bool write_list(FILE* f, void* ctx) {
  const ListText* t = static_cast<const ListText*>(ctx);
  return fwrite(t->text, 1, t->length, f) == t->length;
}

}  // namespace

bool ControllerList::ParseEntry(const char* text, size_t length, Entry* out) {
  const char* p = text;
  const char* end = text + length;
  while (p < end && is_blank(*p)) ++p;
  while (end > p && is_blank(end[-1])) --end;
  uint32_t address = 0;
  for (int i = 0; i < 4; i++) {
    unsigned part = 0;
    if (i > 0) {
      if (p >= end || *p != '.') return false;
      ++p;
    }
    if (!small_number(p, end, 255, &part)) return false;
    address = (address << 8) | part;
  }
  unsigned prefix = 32;
  if (p < end && *p == '/') {
    ++p;
    if (!small_number(p, end, 32, &prefix)) return false;
  }
  if (p != end) return false;
  uint32_t mask = prefix == 0 ? 0u : 0xFFFFFFFFu << (32 - prefix);
  out->net = address & mask;
  out->mask = mask;
  return true;
}

int ControllerList::ParseList(const char* text, Entry* out) {
  int count = 0;
  const char* p = text;
  for (;;) {
    const char* comma = strchr(p, ',');
    size_t length = comma != nullptr ? static_cast<size_t>(comma - p) : strlen(p);
    if (count == kMaxEntries) return -1;
    if (!ParseEntry(p, length, &out[count])) return -1;
    ++count;
    if (comma == nullptr) return count;
    p = comma + 1;
  }
}

ControllerList::LoadEnum ControllerList::Load(const char* path) {
  mCount = 0;
  int fd = open(path, O_RDONLY);
  if (fd < 0) {
    if (errno == ENOENT) return eLoadMissing;
    VYX_ERROR("%s cannot be read: every controller is served", path);
    return eLoadUnreadable;
  }
  static char text[kMaxFileBytes + 1];
  long length = read_all(fd, text, sizeof(text));
  close(fd);
  if (length < 0 || static_cast<size_t>(length) > kMaxFileBytes) {
    VYX_ERROR("%s %s: every controller is served", path,
              length < 0 ? "cannot be read" : "is larger than 4096 bytes");
    return eLoadUnreadable;
  }
  Entry entries[kMaxEntries];
  int count = 0;
  int valid = 0;
  int bad = 0;
  int lineNo = 0;
  for (const char* line = text; line < text + length;) {
    const char* eol = static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(text + length - line)));
    if (eol == nullptr) eol = text + length;
    ++lineNo;
    size_t lineLength = static_cast<size_t>(eol - line);
    const char* hash = static_cast<const char*>(memchr(line, '#', lineLength));
    size_t used = hash != nullptr ? static_cast<size_t>(hash - line) : lineLength;
    const char* q = line;
    while (q < line + used && (is_blank(*q))) ++q;
    bool empty = q == line + used;
    Entry e;
    if (lineLength > kMaxLineLength || (!empty && !ParseEntry(line, used, &e))) {
      if (bad++ < kBadLinesNamed) VYX_ERROR("%s line %d is not an address or a CIDR block", path, lineNo);
    } else if (!empty) {
      if (valid < kMaxEntries) entries[count++] = e;
      ++valid;
    }
    line = eol + 1;
  }
  if (valid > kMaxEntries) {
    VYX_ERROR("%s lists %d controllers, more than %d: every controller is served", path, valid,
              kMaxEntries);
    return eLoadInvalid;
  }
  if (valid == 0) {
    VYX_ERROR("%s lists no valid controller: every controller is served", path);
    return eLoadInvalid;
  }
  Set(entries, count);
  VYX_LOG("Commands only from the %d controllers of %s (%d bad lines)\n", count, path, bad);
  return eLoadListed;
}

void ControllerList::Set(const Entry* entries, int count) {
  if (count < 0) count = 0;
  if (count > kMaxEntries) count = kMaxEntries;
  for (int i = 0; i < count; i++) mEntries[i] = entries[i];
  mCount = count;
}

bool ControllerList::Save(const char* path) const {
  static char text[kMaxEntries * kEntryText + 128];
  size_t length = static_cast<size_t>(
      snprintf(text, sizeof(text), "# Controllers that may command this device; set by CONTROLLERS\n"));
  for (int i = 0; i < mCount; i++) {
    length += FormatEntry(mEntries[i], text + length, sizeof(text) - length - 1);
    text[length++] = '\n';
    text[length] = '\0';
  }
  // An empty list is no file: every controller is served again.
  ListText t = {text, length};
  int rc = mCount > 0 ? SystemManager::WriteBetweenRemounts(kDisk, path, write_list, &t)
                      : SystemManager::RemoveBetweenRemounts(kDisk, path);
  if (rc < 0 && rc > kWriteFileOpenFailed) {
    VYX_ERROR("Cant remount rw");
    return false;
  }
  if (rc != 0) {
    VYX_ERROR("cant write %s", path);
    return false;
  }
  return true;
}

bool ControllerList::Covers(const Entry* entries, int count, uint32_t address) {
  uint32_t a = ntohl(address);
  for (int i = 0; i < count; i++)
    if ((a & entries[i].mask) == entries[i].net) return true;
  return false;
}

bool ControllerList::Allows(uint32_t address) const {
  return mCount == 0 || Covers(mEntries, mCount, address);
}

size_t ControllerList::FormatEntry(const Entry& e, char* out, size_t room) {
  if (room == 0) return 0;
  int prefix = 0;
  for (uint32_t m = e.mask; m != 0; m <<= 1) prefix++;
  int n = prefix == 32 ? snprintf(out, room, "%u.%u.%u.%u", e.net >> 24, (e.net >> 16) & 0xFF,
                                  (e.net >> 8) & 0xFF, e.net & 0xFF)
                       : snprintf(out, room, "%u.%u.%u.%u/%d", e.net >> 24, (e.net >> 16) & 0xFF,
                                  (e.net >> 8) & 0xFF, e.net & 0xFF, prefix);
  if (n < 0) return 0;
  return static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}

size_t ControllerList::Format(char* out, size_t room, char separator) const {
  if (room == 0) return 0;
  out[0] = '\0';
  size_t length = 0;
  for (int i = 0; i < mCount && length + 1 < room; i++) {
    if (i > 0) {
      out[length++] = separator;
      out[length] = '\0';
    }
    length += FormatEntry(mEntries[i], out + length, room - length);
  }
  return length;
}

void ControllerList::CountRefused(uint32_t address, int port) {
  ++mRefused;
  struct in_addr a;
  a.s_addr = address;
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, text, sizeof(text));
  VYX_ERROR_LIMITED("Command from %s:%d refused: not a listed controller (%u so far)", text, port, mRefused);
}
