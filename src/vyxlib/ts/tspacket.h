#ifndef VYX_TSPACKET_H
#define VYX_TSPACKET_H

// Fields of a transport packet's 4-byte header, decoded in one place.  Each
// accessor reads only the header bytes it names (PacketPid needs 3 bytes, the
// others 4; PacketPayloadOffset also the adaptation_field_length byte when an
// adaptation field is signalled), so the caller guarantees those exist.

#include <cstdint>

const int kTsPacketLen = 188;
const unsigned char kTsSyncByte = 0x47;

inline unsigned int PacketPid(const unsigned char* p) {
  return (static_cast<unsigned int>(p[1] & 0x1F) << 8) | p[2];
}
inline bool PacketUnitStart(const unsigned char* p) { return (p[1] & 0x40) != 0; }
inline unsigned char PacketContinuity(const unsigned char* p) {
  return static_cast<unsigned char>(p[3] & 0x0F);
}
// transport_scrambling_control is not '00'.
inline bool PacketScrambled(const unsigned char* p) { return (p[3] & 0xC0) != 0; }
// adaptation_field_control: 1 payload only, 2 adaptation field only, 3 both.
inline unsigned int PacketAdaptationControl(const unsigned char* p) { return (p[3] >> 4) & 0x03; }
inline bool PacketHasPayload(const unsigned char* p) { return (p[3] & 0x10) != 0; }

// Rewrites the continuity counter of a packet the device built.
inline void SetPacketContinuity(unsigned char* p, unsigned int continuity) {
  p[3] = static_cast<unsigned char>((p[3] & 0xF0) | (continuity & 0x0F));
}

// Offset of the payload from the sync byte: 4, or 5 + adaptation_field_length
// after an adaptation field; 0 when the packet carries no payload.  Taken from
// the stream, so it may exceed the packet: the caller checks it.
inline unsigned int PacketPayloadOffset(const unsigned char* p) {
  if (!PacketHasPayload(p)) return 0;
  if ((p[3] & 0x20) == 0) return 4;
  return static_cast<unsigned int>(p[4]) + 5;
}

#endif
