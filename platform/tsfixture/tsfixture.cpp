#include "tsfixture.h"

#include <cstdio>
#include <cstring>

namespace tsfix {

uint32_t Crc32(const uint8_t* data, size_t len) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < len; ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      uint32_t in = (data[i] >> bit) & 1u;
      uint32_t top = crc >> 31;
      crc <<= 1;
      if (top ^ in) crc ^= 0x04C11DB7u;
    }
  }
  return crc;
}

void AppendCrc(Bytes& section) {
  uint32_t crc = Crc32(section.data(), section.size());
  section.push_back(static_cast<uint8_t>(crc >> 24));
  section.push_back(static_cast<uint8_t>(crc >> 16));
  section.push_back(static_cast<uint8_t>(crc >> 8));
  section.push_back(static_cast<uint8_t>(crc));
}

void FixCrc(Bytes& section) {
  if (section.size() < 4) return;
  section.resize(section.size() - 4);
  AppendCrc(section);
}

void FixCrcAtLength(Bytes& section) {
  if (section.size() < 3) return;
  size_t total = 3 + (((section[1] & 0x0F) << 8) | section[2]);
  if (total < 3 + 4 || total > section.size()) return;
  uint32_t crc = Crc32(section.data(), total - 4);
  for (int i = 0; i < 4; i++) section[total - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
}

Bytes MakePacket(uint16_t pid, bool pusi, uint8_t cc, const uint8_t* payload, size_t payloadLen,
                 int adaptationLength, uint8_t scrambling, bool hasPayload) {
  Bytes p(kPacket, 0xFF);
  p[0] = 0x47;
  p[1] = static_cast<uint8_t>((pusi ? 0x40 : 0x00) | ((pid >> 8) & 0x1F));
  p[2] = static_cast<uint8_t>(pid & 0xFF);
  if (!hasPayload && adaptationLength < 0) adaptationLength = 183;
  uint8_t afc = hasPayload ? (adaptationLength >= 0 ? 3 : 1) : 2;
  p[3] = static_cast<uint8_t>(((scrambling & 3) << 6) | (afc << 4) | (cc & 0x0F));
  size_t pos = 4;
  if (adaptationLength >= 0) {
    p[4] = static_cast<uint8_t>(adaptationLength);
    if (adaptationLength > 0) p[5] = 0x00;  // no flags; the rest is stuffing
    pos = 5 + static_cast<size_t>(adaptationLength);
  }
  if (hasPayload && pos < kPacket && payload != nullptr) {
    size_t n = payloadLen < kPacket - pos ? payloadLen : kPacket - pos;
    memcpy(p.data() + pos, payload, n);
  }
  return p;
}

Bytes MakeDataPacket(uint16_t pid, uint8_t cc, uint8_t fill) {
  uint8_t data[184];
  memset(data, fill, sizeof(data));
  return MakePacket(pid, false, cc, data, sizeof(data));
}

Bytes MakeSection(uint8_t tableId, uint16_t tableIdExtension, uint8_t version, bool currentNext,
                  uint8_t sectionNo, uint8_t lastSectionNo, const Bytes& body) {
  size_t sectionLength = 5 + body.size() + 4;
  Bytes s;
  s.push_back(tableId);
  s.push_back(static_cast<uint8_t>(0xB0 | ((sectionLength >> 8) & 0x0F)));
  s.push_back(static_cast<uint8_t>(sectionLength & 0xFF));
  s.push_back(static_cast<uint8_t>(tableIdExtension >> 8));
  s.push_back(static_cast<uint8_t>(tableIdExtension & 0xFF));
  s.push_back(static_cast<uint8_t>(0xC0 | ((version & 0x1F) << 1) | (currentNext ? 1 : 0)));
  s.push_back(sectionNo);
  s.push_back(lastSectionNo);
  s.insert(s.end(), body.begin(), body.end());
  AppendCrc(s);
  return s;
}

Bytes MakePat(uint16_t tsid, uint8_t version, const std::vector<PatEntry>& programs,
              bool currentNext) {
  Bytes body;
  for (const PatEntry& e : programs) {
    body.push_back(static_cast<uint8_t>(e.program >> 8));
    body.push_back(static_cast<uint8_t>(e.program & 0xFF));
    body.push_back(static_cast<uint8_t>(0xE0 | ((e.pid >> 8) & 0x1F)));
    body.push_back(static_cast<uint8_t>(e.pid & 0xFF));
  }
  return MakeSection(0x00, tsid, version, currentNext, 0, 0, body);
}

Descriptor LanguageDescriptor(const std::vector<LanguageEntry>& langs) {
  Descriptor d;
  d.tag = 0x0A;
  for (const LanguageEntry& l : langs) {
    for (int i = 0; i < 3; ++i) d.body.push_back(i < static_cast<int>(l.code.size()) ? l.code[i] : ' ');
    d.body.push_back(l.audioType);
  }
  return d;
}

Descriptor CaptionDescriptor(const std::vector<CaptionService>& services, int countOverride,
                             int lengthOverride) {
  Descriptor d;
  d.tag = 0x86;
  int count = countOverride >= 0 ? countOverride : static_cast<int>(services.size());
  d.body.push_back(static_cast<uint8_t>(0xE0 | (count & 0x1F)));
  for (const CaptionService& s : services) {
    for (int i = 0; i < 3; ++i) d.body.push_back(i < static_cast<int>(s.code.size()) ? s.code[i] : ' ');
    d.body.push_back(static_cast<uint8_t>((s.digitalCc ? 0x80 : 0x40) | (s.serviceNumber & 0x3F)));
    d.body.push_back(static_cast<uint8_t>((s.easyReader ? 0x80 : 0) | (s.wideAspect ? 0x40 : 0) | 0x3F));
    d.body.push_back(0xFF);
  }
  d.lengthOverride = lengthOverride;
  return d;
}

Bytes SerializeDescriptors(const std::vector<Descriptor>& descriptors) {
  Bytes out;
  for (const Descriptor& d : descriptors) {
    out.push_back(d.tag);
    int len = d.lengthOverride >= 0 ? d.lengthOverride : static_cast<int>(d.body.size());
    out.push_back(static_cast<uint8_t>(len));
    out.insert(out.end(), d.body.begin(), d.body.end());
  }
  return out;
}

Bytes MakePmt(uint16_t program, uint16_t pcrPid, uint8_t version, const std::vector<EsEntry>& es,
              const std::vector<Descriptor>& programInfo, bool currentNext) {
  Bytes body;
  Bytes info = SerializeDescriptors(programInfo);
  body.push_back(static_cast<uint8_t>(0xE0 | ((pcrPid >> 8) & 0x1F)));
  body.push_back(static_cast<uint8_t>(pcrPid & 0xFF));
  body.push_back(static_cast<uint8_t>(0xF0 | ((info.size() >> 8) & 0x0F)));
  body.push_back(static_cast<uint8_t>(info.size() & 0xFF));
  body.insert(body.end(), info.begin(), info.end());
  for (const EsEntry& e : es) {
    Bytes d = SerializeDescriptors(e.descriptors);
    size_t esl = e.esInfoLengthOverride >= 0 ? static_cast<size_t>(e.esInfoLengthOverride) : d.size();
    body.push_back(e.streamType);
    body.push_back(static_cast<uint8_t>(0xE0 | ((e.pid >> 8) & 0x1F)));
    body.push_back(static_cast<uint8_t>(e.pid & 0xFF));
    body.push_back(static_cast<uint8_t>(0xF0 | ((esl >> 8) & 0x0F)));
    body.push_back(static_cast<uint8_t>(esl & 0xFF));
    body.insert(body.end(), d.begin(), d.end());
  }
  return MakeSection(0x02, program, version, currentNext, 0, 0, body);
}

std::vector<Bytes> PsiPacketizer::Packetize(const Bytes& section) { return PacketizeMany({section}); }

std::vector<Bytes> PsiPacketizer::PacketizeMany(const std::vector<Bytes>& sections) {
  Bytes stream;
  std::vector<size_t> starts;
  for (const Bytes& s : sections) {
    starts.push_back(stream.size());
    stream.insert(stream.end(), s.begin(), s.end());
  }
  std::vector<Bytes> packets;
  size_t pos = 0;
  size_t nextStart = 0;  // index into starts
  while (pos < stream.size()) {
    while (nextStart < starts.size() && starts[nextStart] < pos) ++nextStart;
    Bytes payload;
    bool pusi = false;
    size_t room = 184;
    if (nextStart < starts.size() && starts[nextStart] < pos + 183) {
      pusi = true;
      payload.push_back(static_cast<uint8_t>(starts[nextStart] - pos));
      room = 183;
    }
    size_t n = stream.size() - pos < room ? stream.size() - pos : room;
    payload.insert(payload.end(), stream.begin() + static_cast<long>(pos),
                   stream.begin() + static_cast<long>(pos + n));
    pos += n;
    packets.push_back(MakePacket(mPid, pusi, mCc, payload));
    mCc = static_cast<uint8_t>((mCc + 1) & 0x0F);
  }
  return packets;
}

Bytes Join(const std::vector<Bytes>& packets) {
  Bytes out;
  for (const Bytes& p : packets) out.insert(out.end(), p.begin(), p.end());
  return out;
}

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

Bytes PrimeContinuity(const Bytes& ts) {
  Bytes out;
  std::vector<bool> seen(8192, false);
  for (size_t i = 0; i + kPacket <= ts.size(); i += kPacket) {
    uint16_t pid = static_cast<uint16_t>(((ts[i + 1] & 0x1F) << 8) | ts[i + 2]);
    if (!seen[pid]) {
      seen[pid] = true;
      Append(out, MakeDataPacket(pid, static_cast<uint8_t>((ts[i + 3] - 1) & 0x0F), 0xFF));
    }
    out.insert(out.end(), ts.begin() + static_cast<long>(i), ts.begin() + static_cast<long>(i + kPacket));
  }
  return out;
}

MuxGenerator::MuxGenerator(int programs, uint16_t tsid, int psiInterval, uint8_t version)
    : mQueuePos(0), mTsid(tsid), mPsiInterval(psiInterval > 0 ? psiInterval : 1), mVersion(version),
      mSincePsi(0), mNextEs(0), mStarted(false) {
  memset(mCc, 0, sizeof(mCc));
  for (int k = 1; k <= programs; ++k) {
    MuxProgram p;
    p.program = static_cast<uint16_t>(k);
    p.pmtPid = static_cast<uint16_t>(0x100 + k);
    p.videoPid = static_cast<uint16_t>(0x200 + 2 * k);
    p.audioPid = static_cast<uint16_t>(0x201 + 2 * k);
    p.language = std::string("l") + static_cast<char>('a' + (k / 26) % 26) + static_cast<char>('a' + k % 26);
    mPrograms.push_back(p);
  }
}

void MuxGenerator::Refill() {
  mQueue.clear();
  mQueuePos = 0;
  if (!mStarted || mSincePsi >= static_cast<size_t>(mPsiInterval) || mPrograms.empty()) {
    mStarted = true;
    mSincePsi = 0;
    std::vector<PatEntry> entries;
    for (const MuxProgram& p : mPrograms) entries.push_back({p.program, p.pmtPid});
    PsiPacketizer pat(0, mCc[0]);
    for (Bytes& b : pat.Packetize(MakePat(mTsid, mVersion, entries))) mQueue.push_back(b);
    mCc[0] = pat.NextCc();
    for (const MuxProgram& p : mPrograms) {
      std::vector<EsEntry> es;
      es.push_back({0x02, p.videoPid, {}});
      es.push_back({0x81, p.audioPid, {LanguageDescriptor({{p.language, 0}})}});
      PsiPacketizer pmt(p.pmtPid, mCc[p.pmtPid]);
      for (Bytes& b : pmt.Packetize(MakePmt(p.program, p.videoPid, mVersion, es))) mQueue.push_back(b);
      mCc[p.pmtPid] = pmt.NextCc();
    }
    return;
  }
  const MuxProgram& p = mPrograms[(mNextEs / 2) % mPrograms.size()];
  uint16_t pid = (mNextEs % 2 == 0) ? p.videoPid : p.audioPid;
  ++mNextEs;
  mQueue.push_back(MakeDataPacket(pid, mCc[pid], static_cast<uint8_t>(pid)));
  mCc[pid] = static_cast<uint8_t>((mCc[pid] + 1) & 0x0F);
  ++mSincePsi;
}

Bytes MuxGenerator::Generate(size_t packets) {
  Bytes out;
  out.reserve(packets * kPacket);
  for (size_t i = 0; i < packets; ++i) {
    if (mQueuePos >= mQueue.size()) Refill();
    Append(out, mQueue[mQueuePos++]);
  }
  return out;
}

}  // namespace tsfix

namespace tsfix {

namespace {

// Takes the complete sections at the front of `pending` into `out`.
void TakeSections(Bytes& pending, int tableId, std::vector<Bytes>& out) {
  while (pending.size() >= 3 && pending[0] != 0xFF) {
    size_t total = ((static_cast<size_t>(pending[1] & 0x0F) << 8) | pending[2]) + 3;
    if (pending.size() < total) return;
    Bytes s(pending.begin(), pending.begin() + static_cast<long>(total));
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(total));
    bool crcOk = total >= 4 && Crc32(s.data(), total - 4) ==
                                   ((static_cast<uint32_t>(s[total - 4]) << 24) | (s[total - 3] << 16) |
                                    (s[total - 2] << 8) | s[total - 1]);
    bool seen = false;
    for (const Bytes& o : out) seen = seen || o == s;
    if (crcOk && !seen && (tableId < 0 || s[0] == tableId)) out.push_back(s);
  }
  if (!pending.empty() && pending[0] == 0xFF) pending.clear();  // stuffing to the packet's end
}

}  // namespace

std::vector<Bytes> SectionsOf(const Bytes& ts, uint16_t pid, int tableId) {
  std::vector<Bytes> out;
  Bytes pending;
  bool synced = false;
  for (size_t i = 0; i + 188 <= ts.size(); i += 188) {
    const uint8_t* p = &ts[i];
    if (p[0] != 0x47 || ((((p[1] & 0x1F) << 8) | p[2]) != pid) || (p[3] & 0x10) == 0) continue;
    size_t start = 4 + ((p[3] & 0x20) ? 1u + p[4] : 0u);
    if (start >= 188) continue;
    const uint8_t* payload = p + start;
    size_t n = 188 - start;
    if (p[1] & 0x40) {
      size_t pointer = payload[0];
      if (1 + pointer > n) continue;
      if (synced) {
        pending.insert(pending.end(), payload + 1, payload + 1 + pointer);
        TakeSections(pending, tableId, out);
      }
      pending.assign(payload + 1 + pointer, payload + n);
      synced = true;
    } else if (synced) {
      pending.insert(pending.end(), payload, payload + n);
    }
    TakeSections(pending, tableId, out);
  }
  return out;
}

Bytes ReadFileBytes(const std::string& path) {
  Bytes b;
  FILE* fp = fopen(path.c_str(), "rb");
  if (fp == nullptr) return b;
  unsigned char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), fp)) > 0) b.insert(b.end(), buf, buf + n);
  fclose(fp);
  return b;
}

}  // namespace tsfix
