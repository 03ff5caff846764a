#ifndef VYX_TS_TABLEREPORTS_H
#define VYX_TS_TABLEREPORTS_H

// Where the filter's table analysis reports what it finds: programs (PAT),
// their streams and languages (PMT), channel names (VCT), guide events and
// texts (EIT, ETT), and the tuner channel the PAT was received on.  The tuner
// manager implements it; the filter knows nothing more of it, so ts/ depends
// on no folder above it.
//
// Every method is called on the player's thread, from inside the packet loop
// (transmitter) or Vyx_Filter (receiver): implementations take their own
// locks, never allocate, and only read the bytes they are given.

#include "types.h"

class TableReports {
 public:
  // Kind of a language a PMT descriptor announces.
  enum LanguageModeEnum { eAudio = 0, eCaption = 1 };

  // The tuner channel the stream comes from now (0 when none is tuned).
  virtual int GetCurrentChannel() = 0;
  // A PAT entry: program programId of transport transportId.
  virtual bool AddProgramToScanResults(ushort transportId, ushort programId) = 0;
  // A PMT's elementary stream, the first time its PID is seen.
  virtual bool SetInfoForProgram(ushort transportId, ushort programId, unsigned char streamType,
                                 int scrambling) = 0;
  // A virtual channel of the VCT.
  virtual bool SetPsipInfoForProgram(ushort transportId, ushort programId, char* shortName,
                                     ushort majorChanNo, ushort minorChanNo,
                                     unsigned char modulationMode, unsigned int carrierFreq,
                                     ushort channelTsid, ushort sourceId) = 0;
  // An event of an EIT; titleText holds titleLen bytes.
  virtual bool SetEventInfoForProgram(ubyte2 sourceId, ubyte2 eventId, ubyte4 startTime,
                                      ubyte4 lengthInSecs, ubyte titleLen, char* titleText,
                                      ubyte unicode_mode) = 0;
  // The extended text of an ETT (a channel's or an event's).
  virtual bool SetExtendedText(ushort etmIdHi, ushort etmIdLo, char* text, uint length,
                               ubyte unicode_mode) = 0;
  // An audio language or caption service of a program's PID.
  virtual bool SetLanguageForProgram(ushort transportId, ushort progamId, char* langCode,
                                     LanguageModeEnum langMode, int langType, ushort pid,
                                     int captionServiceNum) = 0;

 protected:
  TableReports() = default;
  // Not deleted through this interface.
  ~TableReports() = default;
  TableReports(const TableReports&) = default;
  TableReports& operator=(const TableReports&) = default;
};

#endif
