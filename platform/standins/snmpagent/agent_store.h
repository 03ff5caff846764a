#ifndef PLATFORM_AGENT_STORE_H
#define PLATFORM_AGENT_STORE_H

// The device's settings as the local SNMP agent keeps them: every row of the
// settings table that has an OID, with its value type and current value.
// Requests are the text lines of the agent's queue protocol (a get is the OID
// alone, a set is "OID TYPE VALUE" with TYPE i, s or a); answers are the
// agent's text form "OID = TYPE: value\n".  Failures answer in the shape of
// the agent's own error output, which never holds both '=' and ':', so the
// plug-in's reply cutter turns them into "no answer".

#include <cstdint>
#include <map>
#include <string>

struct AgentIdentity {
  bool transmitter = false;
  std::string ip;
  std::string mask;
  std::string gateway;
};

// Board version the agent reports: top byte 4 (the supported board family);
// bits 16-23 are 0x0E on a transmitter board and 0x10 on a receiver board.
int32_t agent_board_version(bool transmitter);

struct AgentSetting {
  int row;            // index in the settings table
  char type;          // 'i' INTEGER, 's' STRING, 'a' IpAddress
  bool fixedType;     // the table fixes the type letter of a set
  bool writable;
  bool persistent;    // kept across restarts once set (not for actions)
  std::string value;
};

enum AgentActionEnum { eActionNone, eActionReboot, eActionNetworkCommit, eActionUpgrade };

struct AgentResult {
  std::string reply;     // the text answered on the reply queue
  std::string oid;       // canonical OID ("" when none could be read)
  bool ok = false;       // the request was served (not an error reply)
  bool stored = false;   // a set changed a persistent value
  AgentActionEnum action = eActionNone;
};

class AgentStore {
 public:
  explicit AgentStore(const AgentIdentity& id);

  // Longest request text looked at, longest string value stored, longest OID.
  static const size_t kMaxRequest = 1024;
  static const size_t kMaxValue = 880;
  static const size_t kMaxOid = 96;

  // `text` is the request text of `len` bytes (not necessarily terminated).
  AgentResult Get(const char* text, size_t len);
  AgentResult Set(const char* text, size_t len);

  // Dynamic values: a file whose first line is the player's current item, and
  // the directory whose free space FREE_SPACE reports ("" for none).
  void SetItemFile(const std::string& path) { mItemFile = path; }
  void SetFreeSpaceDir(const std::string& dir) { mFreeSpaceDir = dir; }
  // With DHCP on, IP_ADDRESS, IP_MASK and IP_GATEWAY answer what the host's
  // network has now (the lease), not the stored static settings.
  void SetLiveNetwork(bool on) { mLiveNetwork = on; }

  // Persistence: the file holds one set request per line.  Load applies them
  // (invalid lines are skipped and counted); Save rewrites the file.
  bool Load(const std::string& path, int* applied, int* skipped);
  bool Save(const std::string& path) const;

  const AgentSetting* Find(const std::string& oid) const;
  std::string Value(int row) const;  // current value of a table row ("" if none)

 private:
  std::string Answer(const std::string& oid, const AgentSetting& s, const std::string& value) const;
  std::string CurrentValue(const AgentSetting& s) const;
  std::map<std::string, AgentSetting> mSettings;
  std::map<std::string, bool> mStored;  // OIDs set at least once
  std::string mItemFile;
  std::string mFreeSpaceDir;
  bool mLiveNetwork = false;
};

#endif
