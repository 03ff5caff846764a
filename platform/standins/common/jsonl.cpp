#include "jsonl.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>

#include "standin.h"

namespace {

// Length of the valid UTF-8 sequence starting at p (at most `avail` bytes),
// or 0 when the bytes there are not one (overlong forms and surrogates are
// refused, as a strict decoder would).
size_t utf8_sequence(const unsigned char* p, size_t avail) {
  unsigned char c = p[0];
  size_t n;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (avail < n) return 0;
  for (size_t i = 1; i < n; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return n;
}

}  // namespace

void json_escape_append(std::string& out, const char* text, size_t len) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  char hex[8];
  for (size_t i = 0; i < len;) {
    unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      i++;
    } else if (c == '\n') {
      out += "\\n";
      i++;
    } else if (c == '\r') {
      out += "\\r";
      i++;
    } else if (c == '\t') {
      out += "\\t";
      i++;
    } else if (c < 0x20 || c == 0x7F) {
      snprintf(hex, sizeof(hex), "\\u%04x", c);
      out += hex;
      i++;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      i++;
    } else {
      size_t n = utf8_sequence(p + i, len - i);
      if (n == 0) {
        snprintf(hex, sizeof(hex), "\\u%04x", c);
        out += hex;
        i++;
      } else {
        out.append(text + i, n);
        i += n;
      }
    }
  }
}

JsonLine::JsonLine(const char* event) : mClosed(false) {
  char ts[48];
  snprintf(ts, sizeof(ts), "{\"ts\":%.6f", standin_now());
  mText = ts;
  Str("event", event);
}

void JsonLine::Key(const char* key) {
  mText += ",\"";
  json_escape_append(mText, key, strlen(key));
  mText += "\":";
}

JsonLine& JsonLine::Str(const char* key, const char* value) {
  if (value == nullptr) return Null(key);
  Key(key);
  mText += '"';
  json_escape_append(mText, value, strlen(value));
  mText += '"';
  return *this;
}

JsonLine& JsonLine::StrN(const char* key, const char* value, size_t maxLen) {
  if (value == nullptr) return Null(key);
  Key(key);
  mText += '"';
  json_escape_append(mText, value, strnlen(value, maxLen));
  mText += '"';
  return *this;
}

JsonLine& JsonLine::Int(const char* key, long long value) {
  Key(key);
  mText += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Uint(const char* key, unsigned long long value) {
  Key(key);
  mText += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Time(const char* key, double seconds) {
  if (!std::isfinite(seconds)) return Null(key);
  Key(key);
  char buf[48];
  snprintf(buf, sizeof(buf), "%.6f", seconds);
  mText += buf;
  return *this;
}

JsonLine& JsonLine::Num(const char* key, double value) {
  if (!std::isfinite(value)) return Null(key);
  Key(key);
  char buf[40];
  snprintf(buf, sizeof(buf), "%.6g", value);
  mText += buf;
  return *this;
}

JsonLine& JsonLine::Bool(const char* key, bool value) {
  Key(key);
  mText += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::Null(const char* key) {
  Key(key);
  mText += "null";
  return *this;
}

JsonLine& JsonLine::IntArray(const char* key, const int32_t* values, size_t count) {
  Key(key);
  mText += '[';
  for (size_t i = 0; i < count; i++) {
    if (i > 0) mText += ',';
    mText += std::to_string(values[i]);
  }
  mText += ']';
  return *this;
}

JsonLine& JsonLine::StrArray(const char* key, const std::string* values, size_t count) {
  Key(key);
  mText += '[';
  for (size_t i = 0; i < count; i++) {
    if (i > 0) mText += ',';
    mText += '"';
    json_escape_append(mText, values[i].data(), values[i].size());
    mText += '"';
  }
  mText += ']';
  return *this;
}

const std::string& JsonLine::Text() {
  if (!mClosed) {
    mText += '}';
    mClosed = true;
  }
  return mText;
}

JsonlWriter::JsonlWriter() : mFile(stdout), mOwned(false) {}

JsonlWriter::~JsonlWriter() {
  if (mOwned && mFile != nullptr) fclose(mFile);
}

bool JsonlWriter::Open(const char* path) {
  std::lock_guard<std::mutex> lock(mMutex);
  if (mOwned && mFile != nullptr) fclose(mFile);
  mFile = stdout;
  mOwned = false;
  mPath.clear();
  if (path == nullptr || *path == '\0') return true;
  FILE* f = fopen(path, "ae");
  if (f == nullptr) {
    fprintf(stderr, "cannot open log %s: %s\n", path, strerror(errno));
    return false;
  }
  mFile = f;
  mOwned = true;
  mPath = path;
  return true;
}

void JsonlWriter::Write(JsonLine& line) {
  const std::string& text = line.Text();
  std::lock_guard<std::mutex> lock(mMutex);
  // One write of the whole line, then flush: readers poll the file.
  std::string full = text;
  full += '\n';
  fwrite(full.data(), 1, full.size(), mFile);
  fflush(mFile);
}
