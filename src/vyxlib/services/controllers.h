#ifndef VYX_SERVICES_CONTROLLERS_H
#define VYX_SERVICES_CONTROLLERS_H

// Who may command the device: an opt-in list of controller addresses and
// CIDR blocks, kept in /mnt/hd1/vyx_controllers (one entry a line, '#'
// starts a comment).  With no list every source is served.  Used only from
// the command thread, so it takes no lock.

#include <cstddef>
#include <cstdint>

class ControllerList {
 public:
  // The listing of every entry fits one reply of the command protocol.
  static constexpr int kMaxEntries = 48;
  // A longer line is a bad line.
  static constexpr size_t kMaxLineLength = 80;
  // A larger file is refused whole.
  static constexpr size_t kMaxFileBytes = 4096;
  // "255.255.255.255/32" and its terminator.
  static constexpr size_t kEntryText = 19;

  enum LoadEnum {
    eLoadMissing,     // no file: everyone is served
    eLoadUnreadable,  // cannot be read, or too large: everyone, reported
    eLoadInvalid,     // no valid entry, or too many: everyone, reported
    eLoadListed,      // the list is in force
  };

  struct Entry {
    uint32_t net;   // host order, host bits cleared
    uint32_t mask;  // host order
  };

  ControllerList() : mCount(0), mRefused(0) {}

  // Reads the file and puts its list in force, or none (everyone) when the
  // file is missing, unreadable or holds no valid entry; bad lines and a
  // refused file are reported.
  LoadEnum Load(const char* path);

  // One entry: a dotted quad, or a dotted quad, '/' and a prefix length
  // 0..32; nothing else, blanks around it allowed.  Host bits are cleared.
  static bool ParseEntry(const char* text, size_t length, Entry* out);

  // A comma-separated list of entries (a command's fields) into `out`, at
  // most kMaxEntries.  The count, or -1 when any field is bad or there are
  // too many.
  static int ParseList(const char* text, Entry* out);

  // Puts `entries` in force in memory (count 0: no list).
  void Set(const Entry* entries, int count);

  // Writes the list in force to `path` as a whole (temporary file, flushed
  // to the disk, then renamed over it), between a read-write and a read-only
  // remount of partition 1; with no list the file is removed.
  bool Save(const char* path) const;

  bool Active() const { return mCount > 0; }
  int Count() const { return mCount; }
  // `address` in network order, as in a socket address.
  bool Allows(uint32_t address) const;
  static bool Covers(const Entry* entries, int count, uint32_t address);

  // The entries as "a.b.c.d" (a /32) or "a.b.c.d/n", joined by `separator`.
  // The length written (cut to `room`).
  size_t Format(char* out, size_t room, char separator) const;
  static size_t FormatEntry(const Entry& e, char* out, size_t room);

  // Datagrams from unlisted sources: counted, and reported one in so many.
  void CountRefused(uint32_t address, int port);
  unsigned int Refused() const { return mRefused; }

 private:
  Entry mEntries[kMaxEntries];
  int mCount;
  unsigned int mRefused;
};

extern const char kControllersFile[];

#endif
