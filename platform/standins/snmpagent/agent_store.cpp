#include "agent_store.h"

#include <arpa/inet.h>
#include <sys/statvfs.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "standin.h"
#include "zernsnmp.h"

int32_t agent_board_version(bool transmitter) {
  // 4 = board family, 0x0E / 0x10 = transmitter / receiver board, then the
  // board revision (2.3).
  uint32_t v = (4u << 24) | ((transmitter ? 0x0Eu : 0x10u) << 16) | 0x0203u;
  return static_cast<int32_t>(v);
}

namespace {

// Value type, default value and behaviour of each row with an OID.  Rows whose
// type letter is '?' or empty in the table get the type that fits the setting.
struct RowDefault {
  ZernSettingEnum row;
  char type;
  const char* value;  // null: filled from the identity
  bool writable;
  bool persistent;
};

const RowDefault kDefaults[] = {
    {eZERN_VERSION, 'i', nullptr, false, false},
    {eCURRENT_ITEM_BEING_PLAYED, 's', "None", true, false},
    {eIS_DOWNLOADING, 'i', "0", true, false},
    {eFREE_SPACE, 'i', "1000000", true, false},
    {eIP_ADDRESS, 'a', nullptr, true, true},
    {eIP_MASK, 'a', nullptr, true, true},
    {eIP_GATEWAY, 'a', nullptr, true, true},
    {eIP_DNS1, 'a', nullptr, true, true},
    {eIP_DNS2, 'a', "0.0.0.0", true, true},
    {eDHCP_ENABLE, 'i', "0", true, true},
    {eDOMAIN, 's', "local", true, true},
    {eNETWORK_COMMIT, 'i', "0", true, false},
    {eNETWORK_CONTROL, 'i', "0", true, true},
    {eTRAP_ENABLE, 'i', "0", true, true},
    {eTRAP_DESTINATION, 's', "", true, true},
    {eMULTIPLE_UPGRADE, 's', "", true, false},
    {eWIRELESS_CONNECTION_TYPE, 'i', "0", true, true},
    {eWIRELESS_SECURITY_TYPE, 'i', "0", true, true},
    {eWIRELESS_SSID, 's', "", true, true},
    {eWIRELESS_KEY, 's', "", true, true},
    {eWIRELESS_CHANNEL_SELECTION, 'i', "0", true, true},
    {eWIRELESS_CHANNEL_STRENGTH, 'i', "0", true, true},
    {eWIRELESS_NETWORK_CONTROL, 'i', "0", true, true},
    {eWIRELESS_DHCP_ENABLE, 'i', "0", true, true},
    {eWIRELESS_IP_ADDRESS, 'a', "0.0.0.0", true, true},
    {eWIRELESS_IP_MASK, 'a', "0.0.0.0", true, true},
    {eWIRELESS_IP_GATEWAY, 'a', "0.0.0.0", true, true},
    {eWIRELESS_IP_DNS1, 'a', "0.0.0.0", true, true},
    {eWIRELESS_IP_DNS2, 'a', "0.0.0.0", true, true},
    {eWIRELESS_DOMAIN, 's', "", true, true},
    {eVIRTUAL_PLAY_CHANNEL, 'i', "0", true, true},
    {eVIRTUAL_CHANNEL_ID, 'i', "0", true, true},
    {eVIRTUAL_CHANNEL_MEDIA, 's', "", true, true},
    {eVIRTUAL_CHANNEL_ALIAS, 's', "", true, true},
    {eVIRTUAL_CHANNEL_DISPLAY_POSITION, 'i', "0", true, true},
    {eSSI_VIRTUAL_CHANNEL_ENABLE, 'i', "0", true, true},
    {eVIRTUAL_CHANNEL_MIN, 'i', "2", true, true},
    {eVIRTUAL_CHANNEL_MAX, 'i', "69", true, true},
    {eVIRTUAL_CHANNEL_ALIAS_DURATION, 'i', "5", true, true},
    {ePLAY_MODE, 'i', "0", true, true},
    {ePLAY_MEDIA, 'i', "0", true, true},
    {eACTIVE_LAYER, 'i', "0", true, true},
    {eCOORDINATE_MODE, 's', "percent", true, true},
    {ePLAY_LAYER, 's', "video", true, true},
    {eX_POSITION, 'i', "50", true, true},
    {eY_POSITION, 'i', "50", true, true},
    {eX_SIZE, 'i', "100", true, true},
    {eY_SIZE, 'i', "100", true, true},
    {eALPHA_LAYER, 'i', "255", true, true},
    {eVIDEO_RESOLUTION, 'i', "0", true, true},
    {eMONITOR_TYPE, 'i', "0", true, true},
    {eSERIAL_PARAMETERS, 's', "\"9600,N,8,1\"", true, true},
    {eIR_CONTROL, 'i', "0", true, true},
    {eCONFIG_SAVE, 'i', "0", true, false},
    {eREBOOT, 'i', "0", true, false},
    {eTUNER_MODE, 'i', "0", true, true},
    {eTUNER_SCAN, 'i', "0", true, true},
    {eCLOSE_CAPTION, 'i', "0", true, true},
    {eNETWORK_BUFFER_SIZE, 'i', "2048", true, true},
};

const char* type_name(char type) {
  switch (type) {
    case 'i':
      return "INTEGER";
    case 'a':
      return "IpAddress";
    default:
      return "STRING";
  }
}

// The OID as the agent prints it: with its leading dot.
std::string canonical_oid(const std::string& oid) {
  if (!oid.empty() && oid[0] != '.') return "." + oid;
  return oid;
}

bool valid_oid_text(const std::string& oid) {
  if (oid.empty() || oid.size() > AgentStore::kMaxOid) return false;
  for (char c : oid)
    if (!(isdigit(static_cast<unsigned char>(c)) || c == '.')) return false;
  return true;
}

bool parse_int32(const std::string& text, long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
  *out = v;
  return true;
}

bool valid_ipv4(const std::string& text) {
  struct in_addr a;
  return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool has_control_chars(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && isspace(static_cast<unsigned char>(s[b]))) b++;
  while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) e--;
  return s.substr(b, e - b);
}

std::string error_packet(const char* reason, const std::string& oid) {
  std::string r = "Error in packet.\nReason: ";
  r += reason;
  r += "\n";
  if (!oid.empty()) r += "Failed object: " + oid + "\n";
  return r;
}

// The request text up to its first NUL, its line end removed; false when it is
// longer than the agent accepts.
bool request_text(const char* text, size_t len, std::string* out) {
  size_t n = strnlen(text, len);
  if (n >= AgentStore::kMaxRequest) return false;
  out->assign(text, n);
  while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) out->pop_back();
  return true;
}

// The default route's gateway from /proc/net/route (little-endian hex), or "".
std::string default_gateway() {
  std::string text;
  if (!read_file_limited("/proc/net/route", 16384, &text)) return std::string();
  size_t start = text.find('\n');
  while (start != std::string::npos && start + 1 < text.size()) {
    size_t end = text.find('\n', start + 1);
    std::string line = text.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
    char iface[32];
    unsigned long dest = 1, gateway = 0;
    if (sscanf(line.c_str(), "%31s %lx %lx", iface, &dest, &gateway) == 3 && dest == 0 && gateway != 0) {
      struct in_addr a;
      a.s_addr = static_cast<in_addr_t>(gateway);
      char buf[INET_ADDRSTRLEN];
      if (inet_ntop(AF_INET, &a, buf, sizeof(buf)) != nullptr) return buf;
    }
    start = end;
  }
  return std::string();
}

}  // namespace

AgentStore::AgentStore(const AgentIdentity& id) {
  std::string gateway = id.gateway;
  for (const RowDefault& d : kDefaults) {
    const ZernSettingsType& row = ZernSettings[d.row];
    AgentSetting s;
    s.row = d.row;
    s.type = d.type;
    s.fixedType = row.type[0] == 'i' || row.type[0] == 's' || row.type[0] == 'a';
    s.writable = d.writable;
    s.persistent = d.persistent;
    if (d.value != nullptr) {
      s.value = d.value;
    } else if (d.row == eZERN_VERSION) {
      s.value = std::to_string(agent_board_version(id.transmitter));
    } else if (d.row == eIP_ADDRESS) {
      s.value = id.ip;
    } else if (d.row == eIP_MASK) {
      s.value = id.mask;
    } else {
      s.value = gateway;  // gateway and first DNS server
    }
    mSettings[row.snmp_cmd] = s;
  }
}

const AgentSetting* AgentStore::Find(const std::string& oid) const {
  auto it = mSettings.find(canonical_oid(oid));
  return it == mSettings.end() ? nullptr : &it->second;
}

std::string AgentStore::Value(int row) const {
  if (row < 0 || row >= ZERN_SETTINGS_COUNT) return std::string();
  const AgentSetting* s = Find(ZernSettings[row].snmp_cmd);
  return s == nullptr ? std::string() : CurrentValue(*s);
}

std::string AgentStore::CurrentValue(const AgentSetting& s) const {
  if (s.row == eCURRENT_ITEM_BEING_PLAYED && !mItemFile.empty()) {
    // The player publishes what it plays; its word wins over a stored value.
    std::string text;
    if (read_file_limited(mItemFile, kMaxValue, &text)) {
      size_t nl = text.find_first_of("\r\n");
      if (nl != std::string::npos) text.resize(nl);
      if (!has_control_chars(text)) return text;
    }
  }
  if (mLiveNetwork && (s.row == eIP_ADDRESS || s.row == eIP_MASK || s.row == eIP_GATEWAY)) {
    auto dhcp = mSettings.find(ZernSettings[eDHCP_ENABLE].snmp_cmd);
    std::string ip, mask;
    if (dhcp != mSettings.end() && dhcp->second.value == "1" && host_ipv4(&ip, &mask)) {
      if (s.row == eIP_ADDRESS) return ip;
      if (s.row == eIP_MASK) return mask;
      std::string gateway = default_gateway();
      if (!gateway.empty()) return gateway;
    }
  }
  if (s.row == eFREE_SPACE && !mFreeSpaceDir.empty()) {
    struct statvfs st;
    if (statvfs(mFreeSpaceDir.c_str(), &st) == 0) {
      unsigned long long kb = static_cast<unsigned long long>(st.f_bavail) * st.f_frsize / 1024;
      if (kb > INT32_MAX) kb = INT32_MAX;
      return std::to_string(kb);
    }
  }
  return s.value;
}

std::string AgentStore::Answer(const std::string& oid, const AgentSetting& s, const std::string& value) const {
  std::string r = oid + " = " + type_name(s.type) + ": ";
  if (s.type == 's')
    r += "\"" + value + "\"";
  else
    r += value;
  r += "\n";
  return r;
}

AgentResult AgentStore::Get(const char* text, size_t len) {
  AgentResult res;
  std::string req;
  if (!request_text(text, len, &req)) {
    res.reply = error_packet("tooBig (Response message would have been too large.)", "");
    return res;
  }
  req = trim(req);
  std::string oid = req.substr(0, req.find_first_of(" \t"));
  if (!valid_oid_text(oid)) {
    res.reply = oid.empty() ? std::string("Error: no object identifier given\n")
                            : "Invalid object identifier: " + oid.substr(0, kMaxOid) + "\n";
    return res;
  }
  res.oid = canonical_oid(oid);
  const AgentSetting* s = Find(res.oid);
  if (s == nullptr) {
    // The agent's own wording: an '=' but no ':'.
    res.reply = res.oid + " = No Such Object available on this agent at this OID\n";
    return res;
  }
  res.reply = Answer(res.oid, *s, CurrentValue(*s));
  res.ok = true;
  return res;
}

AgentResult AgentStore::Set(const char* text, size_t len) {
  AgentResult res;
  std::string req;
  if (!request_text(text, len, &req)) {
    res.reply = error_packet("tooBig (Response message would have been too large.)", "");
    return res;
  }
  // "OID TYPE VALUE": the value is the rest of the line (strings may hold blanks).
  size_t p = 0;
  while (p < req.size() && isspace(static_cast<unsigned char>(req[p]))) p++;
  size_t oidEnd = req.find_first_of(" \t", p);
  std::string oid = req.substr(p, oidEnd == std::string::npos ? std::string::npos : oidEnd - p);
  if (!valid_oid_text(oid)) {
    res.reply = oid.empty() ? std::string("Error: no object identifier given\n")
                            : "Invalid object identifier: " + oid.substr(0, kMaxOid) + "\n";
    return res;
  }
  res.oid = canonical_oid(oid);
  p = oidEnd == std::string::npos ? req.size() : oidEnd;
  while (p < req.size() && isspace(static_cast<unsigned char>(req[p]))) p++;
  if (p >= req.size()) {
    res.reply = res.oid + ": Missing type/value for variable\n";
    return res;
  }
  char letter = req[p++];
  if (p < req.size() && !isspace(static_cast<unsigned char>(req[p]))) {
    res.reply = res.oid + ": Bad variable type (\"" + req.substr(p - 1, 8) + "\")\n";
    return res;
  }
  if (p < req.size()) p++;  // the one blank before the value
  std::string value = req.substr(p);
  if (letter != 'i' && letter != 's' && letter != 'a') {
    res.reply = res.oid + ": Bad variable type (\"" + std::string(1, letter) + "\")\n";
    return res;
  }

  auto it = mSettings.find(res.oid);
  if (it == mSettings.end() || !it->second.writable) {
    res.reply = error_packet("notWritable (That object does not support modification)", res.oid);
    return res;
  }
  AgentSetting& s = it->second;
  if (s.fixedType && letter != s.type) {
    res.reply = error_packet("wrongType (The set datatype does not match the data type the agent expects)", res.oid);
    return res;
  }
  if (letter == 'i' || letter == 'a') value = trim(value);
  if (value.size() > kMaxValue) {
    res.reply = error_packet("wrongLength (The set value has an illegal length from what the agent expects)", res.oid);
    return res;
  }
  long number = 0;
  bool good = true;
  if (letter == 'i') good = parse_int32(value, &number);
  if (letter == 'a') good = valid_ipv4(value);
  if (letter == 's') good = !has_control_chars(value);
  if (!good) {
    res.reply = error_packet("wrongValue (The set value is illegal or unsupported in some way)", res.oid);
    return res;
  }
  if (letter == 'i') value = std::to_string(number);
  s.type = letter;
  s.value = value;
  if (s.persistent) {
    mStored[res.oid] = true;
    res.stored = true;
  }
  if (s.row == eREBOOT) res.action = eActionReboot;
  if (s.row == eNETWORK_COMMIT) res.action = eActionNetworkCommit;
  if (s.row == eMULTIPLE_UPGRADE) res.action = eActionUpgrade;
  res.reply = Answer(res.oid, s, value);
  res.ok = true;
  return res;
}

bool AgentStore::Load(const std::string& path, int* applied, int* skipped) {
  *applied = 0;
  *skipped = 0;
  std::string text;
  if (path.empty() || !read_file_limited(path, 1 << 20, &text)) return false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (trim(line).empty() || line[0] == '#') continue;
    const AgentSetting* s = Find(trim(line).substr(0, trim(line).find(' ')));
    // Only settings that are kept across restarts come back from the file.
    if (s == nullptr || !s->persistent) {
      (*skipped)++;
      continue;
    }
    AgentResult r = Set(line.data(), line.size());
    if (r.ok)
      (*applied)++;
    else
      (*skipped)++;
  }
  return true;
}

bool AgentStore::Save(const std::string& path) const {
  if (path.empty()) return false;
  std::string out = "# settings of the local SNMP agent: one set request per line\n";
  for (const auto& kv : mStored) {
    auto it = mSettings.find(kv.first);
    if (it == mSettings.end()) continue;
    out += kv.first + " " + it->second.type + " " + it->second.value + "\n";
  }
  return write_file_atomic(path, out);
}
