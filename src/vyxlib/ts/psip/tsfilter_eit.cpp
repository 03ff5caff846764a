// ATSC Event Information Tables (0xCB) and Extended Text Tables (0xCC):
// each event's title and times go to the tuner manager's guide, each
// extended text (an event's description, or a channel's long name) too.
//
// Sections come complete and CRC-checked from the collector, under the
// filter's mutex.  Every field is read through SectionReader: the event loop
// and the descriptor loops stop at the section's end, a title at its
// title_length, and the texts are bounded by the text buffer.

#include "core/reportdue.h"
#include "ts/sectionreader.h"
#include "ts/tsfilter.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

// Largest private section: section_length 4093 (4096 bytes in all).
const int kMaxLongSectionLength = 4093;
const int kEitHeader = 10;          // up to and with num_events_in_section
const int kEitEventBytes = 10;      // fixed part of an event before its title
const int kEttHeader = 13;          // up to and with ETM_id
const int kCrcBytes = 4;
// SetEventInfoForProgram takes a title length of one byte; a longer title
// (Huffman text can be) is handed over as 255 bytes, which the guide cuts.
const int kMaxTitleHandedOver = 255;

unsigned int eit_reports;

int SectionLength(const unsigned char* s) { return ((s[1] & 0x0F) << 8) | s[2]; }

}  // namespace

bool TsFilter::AnalyzeSectionEit(unsigned char* pSection) {
  if (pSection == nullptr) return false;
  if (pSection[0] != 0xCB) {
    VYX_ERROR("BUG: %.2x", pSection[0]);
    return false;
  }
  int sectionLength = SectionLength(pSection);
  if (sectionLength > kMaxLongSectionLength || sectionLength < kEitHeader - 3 + kCrcBytes) {
    if (report_due(eit_reports)) VYX_LOG("Eit: Bad section length: %d\n", sectionLength);
    ++eit_reports;
    return false;
  }
  SectionReader section(pSection, sectionLength + 3);
  if ((section.Peek(1) & 0xF0) != 0xF0) {
    VYX_LOG("Eit: ERROR reserved not chking: pkt[1] %.2x mask 0x30\n", section.Peek(1));
    return false;
  }
  section.Skip(3);
  unsigned short sourceId = section.U16();
  section.Skip(4);  // version, section numbers, protocol_version
  int numEvents = section.U8();
  if (numEvents < 1) return true;

  SectionReader events = section.Sub(section.Remaining() - kCrcBytes);
  for (int i = 0; i < numEvents; ++i) {
    if (!events.Has(kEitEventBytes)) {
      if (report_due(eit_reports))
        VYX_LOG("Eit: event %d of %d past the section (%d B left, source %d)\n", i + 1, numEvents,
                events.Remaining(), sourceId);
      ++eit_reports;
      return false;
    }
    unsigned short eventId = static_cast<unsigned short>(events.U16() & 0x3FFF);
    unsigned int startTime = events.U32();
    unsigned int lengthInSeconds = static_cast<unsigned int>(events.U8() & 0x0F) << 16;
    lengthInSeconds |= events.U16();
    int titleLength = events.U8();
    // The title and the two descriptors_length bytes after it.
    if (!events.Has(titleLength + 2)) {
      if (report_due(eit_reports))
        VYX_LOG("Eit: title_length %d of event %d past the section (%d B left)\n", titleLength,
                eventId, events.Remaining());
      ++eit_reports;
      return false;
    }
    SectionReader titleBytes = events.Sub(titleLength);
    // An event without a title gets an empty one, not the previous event's.
    char noTitle[1] = {0};
    char* title = noTitle;
    int titleLen = 0;
    unsigned char mode = 0;
    if (titleLength != 0)
      title = MultipleStringStructure(
          reinterpret_cast<char*>(const_cast<unsigned char*>(titleBytes.Ptr())), &titleLen, &mode,
          titleLength);
    unsigned char d0 = events.U8();
    unsigned char d1 = events.U8();
    if ((d0 & 0xF0) != 0xF0) {
      VYX_LOG("Eit ERROR reserved 3 mismatch is %.2x should be 0xC0\n", d0);
      return false;
    }
    int descriptorsLength = ((d0 & 0x0F) << 8) | d1;
    if (!events.Skip(descriptorsLength)) {
      if (report_due(eit_reports))
        VYX_LOG("Eit: descriptors_length %d of event %d past the section\n", descriptorsLength,
                eventId);
      ++eit_reports;
      return false;
    }
    if (titleLen > kMaxTitleHandedOver) titleLen = kMaxTitleHandedOver;
    if (mpTunerManager != nullptr)
      mpTunerManager->SetEventInfoForProgram(sourceId, eventId, startTime, lengthInSeconds,
                                             static_cast<unsigned char>(titleLen), title, mode);
  }
  return true;
}

bool TsFilter::AnalyzeSectionEtt(unsigned char* pSection) {
  if (pSection == nullptr) return false;
  if (pSection[0] != 0xCC) {
    VYX_LOG("Ett: ERROR packet Id invalid: pkt[0] %.2x expected 0xCC\n", pSection[0]);
    return false;
  }
  int sectionLength = SectionLength(pSection);
  if (sectionLength > kMaxLongSectionLength || sectionLength < kEttHeader - 3 + kCrcBytes) {
    if (report_due(eit_reports)) VYX_LOG("Ett: Bad section length: %d\n", sectionLength);
    ++eit_reports;
    return false;
  }
  SectionReader section(pSection, sectionLength + 3);
  if ((section.Peek(1) & 0xF0) != 0xF0)
    VYX_LOG("Eit: ERROR reserved not chking: pkt[1] %.2x mask 0x30\n", section.Peek(1));
  section.Skip(9);
  unsigned int etmId = section.U32();
  SectionReader message = section.Sub(section.Remaining() - kCrcBytes);
  int length = 0;
  unsigned char mode = 0;
  char* text = MultipleStringStructure(
      reinterpret_cast<char*>(const_cast<unsigned char*>(message.Ptr())), &length, &mode,
      message.Length());
  if (mpTunerManager != nullptr)
    mpTunerManager->SetExtendedText(static_cast<unsigned short>(etmId >> 16),
                                    static_cast<unsigned short>(etmId & 0xFFFF), text,
                                    static_cast<unsigned int>(length), mode);
  return false;
}
