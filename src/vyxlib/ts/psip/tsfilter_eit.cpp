// ATSC Event Information Tables (0xCB) and Extended Text Tables (0xCC):
// each event's title and times go to the tuner manager's guide, each
// extended text (an event's description, or a channel's long name) too.
//
// Sections come complete and CRC-checked from the collector, under the
// filter's mutex.  Each is decoded first (DecodeEit, DecodeEtt): the event
// loop and the descriptor loops stop at the section's end, a title at its
// title_length; the texts, decoded as they are reported, are bounded by the
// text buffer.

#include "core/reportdue.h"
#include "ts/psip/psiptables.h"
#include "ts/tsfilter.h"
#include "utils.h"

namespace {

// SetEventInfoForProgram takes a title length of one byte; a longer title
// (Huffman text can be) is handed over as 255 bytes, which the guide cuts.
const int kMaxTitleHandedOver = 255;

// Filter thread only, under the filter's mutex: up to 255 events, too many
// for the player's stack.
EitSection eit_section;

}  // namespace

bool TsFilter::AnalyzeSectionEit(unsigned char* pSection) {
  if (pSection == nullptr) return false;
  EitSection& eit = eit_section;
  bool whole = DecodeEit(pSection, kMaxLongSection, &eit);
  const TableFault& fault = eit.fault;
  if (fault.kind == TableFault::eTableId) {
    VYX_ERROR("BUG: %.2x", fault.value);
    return false;
  }
  if (fault.kind == TableFault::eSectionLength) {
    VYX_LOG_LIMITED("Eit: Bad section length: %d\n", fault.value);
    return false;
  }
  if (fault.kind == TableFault::eReserved && fault.entry == 0) {
    VYX_LOG_LIMITED("Eit: ERROR reserved not chking: pkt[1] %.2x mask 0x30\n", fault.value);
    return false;
  }
  ReportEitEvents(eit);
  if (whole) return true;
  // Events already passed on stay passed on.
  const EitEvent& cut = eit.events[eit.count];
  if (fault.kind == TableFault::eReserved) {
    VYX_LOG_LIMITED("Eit ERROR reserved 3 mismatch is %.2x should be 0xC0\n", fault.value);
    return false;
  }
  if (fault.kind == TableFault::eEntryCut)
    VYX_LOG_LIMITED("Eit: event %d of %d past the section (%d B left, source %d)\n", fault.entry, fault.value,
                    fault.left, eit.sourceId);
  else if (fault.kind == TableFault::eTextCut)
    VYX_LOG_LIMITED("Eit: title_length %d of event %d past the section (%d B left)\n", fault.value,
                    cut.eventId, fault.left);
  else
    VYX_LOG_LIMITED("Eit: descriptors_length %d of event %d past the section\n", fault.value, cut.eventId);
  return false;
}

void TsFilter::ReportEitEvents(const EitSection& eit) {
  for (int i = 0; i < eit.count; ++i) {
    const EitEvent& e = eit.events[i];
    // An event without a title gets an empty one, not the previous event's.
    char noTitle[1] = {0};
    char* title = noTitle;
    int titleLen = 0;
    unsigned char mode = 0;
    if (e.titleLength != 0)
      title = MultipleStringStructure(reinterpret_cast<char*>(const_cast<unsigned char*>(e.title)), &titleLen,
                                      &mode, e.titleLength);
    if (titleLen > kMaxTitleHandedOver) titleLen = kMaxTitleHandedOver;
    if (mpTunerManager != nullptr)
      mpTunerManager->SetEventInfoForProgram(eit.sourceId, e.eventId, e.startTime, e.lengthInSeconds,
                                             static_cast<unsigned char>(titleLen), title, mode);
  }
}

bool TsFilter::AnalyzeSectionEtt(unsigned char* pSection) {
  if (pSection == nullptr) return false;
  EttText ett;
  if (!DecodeEtt(pSection, kMaxLongSection, &ett)) {
    if (ett.fault.kind == TableFault::eTableId) {
      VYX_LOG_LIMITED("Ett: ERROR packet Id invalid: pkt[0] %.2x expected 0xCC\n", ett.fault.value);
    } else if (ett.fault.kind == TableFault::eSectionLength) {
      VYX_LOG_LIMITED("Ett: Bad section length: %d\n", ett.fault.value);
    }
    return false;
  }
  if ((ett.headerByte1 & 0xF0) != 0xF0)
    VYX_LOG_LIMITED("Eit: ERROR reserved not chking: pkt[1] %.2x mask 0x30\n", ett.headerByte1);
  int length = 0;
  unsigned char mode = 0;
  char* text = MultipleStringStructure(reinterpret_cast<char*>(const_cast<unsigned char*>(ett.message)),
                                       &length, &mode, ett.messageLength);
  if (mpTunerManager != nullptr)
    mpTunerManager->SetExtendedText(static_cast<unsigned short>(ett.etmId >> 16),
                                    static_cast<unsigned short>(ett.etmId & 0xFFFF), text,
                                    static_cast<unsigned int>(length), mode);
  return false;
}
