// ATSC multiple string structures: every string and every segment appended
// in order into one process-wide text buffer (all languages are kept, one
// after the other).  Segments are plain bytes (compression 0) or Huffman
// coded with the title (1) or description (2) tree.
//
// The structure comes from a table the stream controls, so it is read
// through SectionReader over the bytes its table gives it, and the text
// never passes the buffer: the text stops at kMaxPsipText bytes (a coded
// text's counted terminator included), with a report.  Coded segments are
// appended without a terminator each, so that a reader of the C string gets
// every segment, not the first one alone.

#include <cstring>

#include "ts/psip/atsc_huffman.h"
#include "core/reportdue.h"
#include "ts/sectionreader.h"
#include "ts/tsfilter.h"
#include "utils.h"

namespace {

// Results of MultipleStringStructure point here; filter thread only.
char psip_text[TsFilter::kPsipTextBuffer];

void ReportTooLong(int length) {
  VYX_ERROR_LIMITED("MultipleStringStructure: Text too long: %d, max is %d", length, TsFilter::kMaxPsipText);
}

// Plain bytes at *pos, up to `limit`; false when the text was cut.  In mode
// 0 (ASCII and Latin-1) a 0x00 byte is a NUL that would cut the text short
// wherever it is read as a C string: it is dropped.  In the other modes a
// byte is the low half of a character (or of UTF-16), so every one stays.
bool AppendPlain(const unsigned char* bytes, int numberBytes, unsigned char mode, int limit, int* pos) {
  int room = limit - *pos;
  if (room < 0) room = 0;
  int taken = 0;
  int kept = 0;
  for (; taken < numberBytes && kept < room; ++taken) {
    if (mode == 0 && bytes[taken] == 0) continue;
    psip_text[*pos + kept++] = static_cast<char>(bytes[taken]);
  }
  *pos += kept;
  if (taken == numberBytes) return true;
  int rest = 0;
  for (int i = taken; i < numberBytes; ++i) rest += mode != 0 || bytes[i] != 0 ? 1 : 0;
  if (rest == 0) return true;
  ReportTooLong(*pos + rest);
  return false;
}

}  // namespace

int TsFilter::DecodeHuffman(char* textIn, char* textOut, int lenIn, int type, int outCapacity) {
  if (textOut == nullptr || outCapacity <= 0) return 0;
  if (textIn == nullptr || lenIn < 0) lenIn = 0;
  unsigned int outSize = 0;
  atsc_huffman1_to_string(reinterpret_cast<const unsigned char*>(textIn), textOut,
                          static_cast<unsigned int>(lenIn), &outSize, static_cast<unsigned int>(type),
                          static_cast<unsigned int>(outCapacity));
  return static_cast<int>(outSize);
}

char* TsFilter::MultipleStringStructure(char* mustr, int* len, unsigned char* unicode_mode,
                                        int available) {
  SectionReader in(reinterpret_cast<const unsigned char*>(mustr), available);
  int pos = 0;
  bool coded = false;  // a coded segment was appended: its terminator counts
  psip_text[0] = 0;
  int numberStrings = in.U8();
  bool stop = !in.Ok();
  for (int s = 0; s < numberStrings && !stop; ++s) {
    in.Skip(3);  // ISO 639 language code
    int numberSegments = in.U8();
    if (!in.Ok()) break;
    for (int g = 0; g < numberSegments && !stop; ++g) {
      int compression = in.U8();
      unsigned char mode = in.U8();
      int numberBytes = in.U8();
      const unsigned char* bytes = in.Bytes(numberBytes);
      if (bytes == nullptr) {
        // A segment cut by the end of its table: not decoded, nothing after it.
        VYX_LOG_LIMITED("MultipleStringStructure: segment %d of string %d past the end (%d B)\n", g + 1,
                        s + 1, available);
        stop = true;
        break;
      }
      if (unicode_mode != nullptr) *unicode_mode = mode;
      if (compression == 0) {
        stop = !AppendPlain(bytes, numberBytes, mode, kMaxPsipText - (coded ? 1 : 0), &pos);
      } else if (compression == 1 || compression == 2) {
        // Characters fit up to kMaxPsipText less the counted terminator;
        // one more is let through to tell a cut text from one that fits.
        const int room = kMaxPsipText - 1 - pos;
        if (room < 0) {
          ReportTooLong(pos + 1);
          stop = true;
          break;
        }
        coded = true;
        int chars = DecodeHuffman(reinterpret_cast<char*>(const_cast<unsigned char*>(bytes)),
                                  psip_text + pos, numberBytes, compression, room + 2) - 1;
        if (chars > room) {
          ReportTooLong(pos + chars + 1);
          chars = room;
          stop = true;
        }
        pos += chars;
      } else {
        // No tree for it: the segment is skipped.
        VYX_LOG_LIMITED("MultipleStringStructure: compression_type 0x%x skipped (%d B)\n", compression,
                        numberBytes);
      }
    }
  }
  psip_text[pos] = 0;
  // The length is stored even when the text was cut, so that callers never
  // take more bytes from the buffer than it holds.
  if (len != nullptr) *len = pos + (coded ? 1 : 0);
  return psip_text;
}
