#ifndef VYX_TEST_STDIO_CAPTURE_H
#define VYX_TEST_STDIO_CAPTURE_H

// Captures what is written on one of the standard streams (at the descriptor,
// so writes that bypass stdio are caught too) until Stop or destruction.

#include <unistd.h>

#include <cstdio>
#include <string>

namespace vyxtest {

class StdioCapture {
 public:
  explicit StdioCapture(FILE* stream) : stream_(stream), fd_(fileno(stream)) {
    fflush(stream_);
    saved_ = dup(fd_);
    tmp_ = tmpfile();
    dup2(fileno(tmp_), fd_);
  }
  ~StdioCapture() { Stop(); }
  StdioCapture(const StdioCapture&) = delete;
  StdioCapture& operator=(const StdioCapture&) = delete;

  // Ends the capture (once) and returns what was written.
  std::string Stop() {
    if (saved_ >= 0) {
      fflush(stream_);
      dup2(saved_, fd_);
      close(saved_);
      saved_ = -1;
      rewind(tmp_);
      char buf[8192];
      size_t n;
      while ((n = fread(buf, 1, sizeof(buf), tmp_)) > 0) text_.append(buf, n);
      fclose(tmp_);
    }
    return text_;
  }

 private:
  FILE* stream_;
  int fd_;
  int saved_ = -1;
  FILE* tmp_ = nullptr;
  std::string text_;
};

}  // namespace vyxtest

#endif
