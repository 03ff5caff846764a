// ATSC multiple string structures: every string and every segment appended
// in order into one process-wide text buffer (all languages are kept, one
// after the other).  Segments are plain bytes (compression 0) or Huffman
// coded with the title (1) or description (2) tree.
//
// The structure comes from a table the stream controls, so it is read
// through SectionReader over the bytes its table gives it, and the text
// never passes the buffer: plain text stops at kMaxPlainText bytes, Huffman
// text at the buffer's end less the final terminator.

#include "ts/psip/atsc_huffman.h"
#include "core/reportdue.h"
#include "ts/sectionreader.h"
#include "ts/tsfilter.h"
#include "utils.h"

namespace {

// Results of MultipleStringStructure point here; filter thread only.
char psip_text[TsFilter::kPsipTextBuffer];

unsigned int text_reports;
unsigned int too_long_reports;

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
        if (report_due(text_reports))
          VYX_LOG("MultipleStringStructure: segment %d of string %d past the end (%d B)\n", g + 1,
                  s + 1, available);
        ++text_reports;
        stop = true;
        break;
      }
      if (unicode_mode != nullptr) *unicode_mode = mode;
      if (compression == 0) {
        for (int i = 0; i < numberBytes; ++i) {
          if (pos >= kMaxPlainText) {
            if (report_due(too_long_reports))
              VYX_ERROR("MultipleStringStructure: Text too long: %d, max is %d",
                        pos + numberBytes - i, kMaxPlainText);
            ++too_long_reports;
            stop = true;
            break;
          }
          psip_text[pos++] = static_cast<char>(bytes[i]);
        }
      } else if (compression == 1 || compression == 2) {
        // Room for the final terminator stays.
        pos += DecodeHuffman(reinterpret_cast<char*>(const_cast<unsigned char*>(bytes)),
                             psip_text + pos, numberBytes, compression, kPsipTextBuffer - 1 - pos);
      } else {
        // No tree for it: the segment is skipped.
        if (report_due(text_reports))
          VYX_LOG("MultipleStringStructure: compression_type 0x%x skipped (%d B)\n", compression,
                  numberBytes);
        ++text_reports;
      }
    }
  }
  psip_text[pos] = 0;
  // The length is stored even when the text was cut, so that callers never
  // take more bytes from the buffer than it holds.
  if (len != nullptr) *len = pos;
  return psip_text;
}
