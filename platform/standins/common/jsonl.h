#ifndef PLATFORM_JSONL_H
#define PLATFORM_JSONL_H

// JSON-lines logs of the stand-in processes.  One object per line, always
// starting with "ts" (seconds since the epoch, as a float) and "event"; the
// line is written and flushed in one piece so a reader polling the file never
// sees half an object.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

// Appends `len` bytes of `text` to `out` as the inside of a JSON string:
// quotes, backslashes and control characters escaped, valid UTF-8 passed
// through, any other byte written as \u00XX (its Latin-1 reading).
void json_escape_append(std::string& out, const char* text, size_t len);

class JsonLine {
 public:
  explicit JsonLine(const char* event);
  JsonLine& Str(const char* key, const char* value);  // null value -> null
  JsonLine& StrN(const char* key, const char* value, size_t maxLen);  // stops at NUL
  JsonLine& Int(const char* key, long long value);
  JsonLine& Uint(const char* key, unsigned long long value);
  JsonLine& Num(const char* key, double value);
  // Seconds (since the epoch) to the microsecond, as "ts" is written.
  JsonLine& Time(const char* key, double seconds);
  JsonLine& Bool(const char* key, bool value);
  JsonLine& Null(const char* key);
  JsonLine& IntArray(const char* key, const int32_t* values, size_t count);
  JsonLine& StrArray(const char* key, const std::string* values, size_t count);
  // The finished object, without the line end.
  const std::string& Text();

 private:
  void Key(const char* key);
  std::string mText;
  bool mClosed;
};

class JsonlWriter {
 public:
  JsonlWriter();
  ~JsonlWriter();
  // Appends to `path`; null or empty writes to standard output.  False when
  // the file cannot be opened (the writer then falls back to standard output).
  bool Open(const char* path);
  void Write(JsonLine& line);
  const std::string& Path() const { return mPath; }

 private:
  JsonlWriter(const JsonlWriter&) = delete;
  JsonlWriter& operator=(const JsonlWriter&) = delete;
  std::mutex mMutex;
  FILE* mFile;
  bool mOwned;
  std::string mPath;
};

#endif
