#include "ffmpeg_streams.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef VYX_HAVE_DVBPSI
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/psi.h>
#endif

namespace ffstreams {

namespace {

std::string temp_dir;

void remove_temp_dir() {
  if (temp_dir.empty()) return;
  DIR* d = opendir(temp_dir.c_str());
  if (d != nullptr) {
    while (struct dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      unlink((temp_dir + "/" + e->d_name).c_str());
    }
    closedir(d);
  }
  rmdir(temp_dir.c_str());
}

const std::string& ensure_temp_dir() {
  if (temp_dir.empty()) {
    char tmpl[] = "/tmp/vyx-ffstreams-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) {
      temp_dir = tmpl;
      atexit(remove_temp_dir);
    }
  }
  return temp_dir;
}

bool run_quiet(const std::string& cmd) {
  std::string full = cmd + " >/dev/null 2>&1";
  int rc = system(full.c_str());
  return rc == 0;
}

}  // namespace

const std::vector<Program>& ThreeProgramLayout() {
  static const std::vector<Program> layout = {
      {1, 0x80, {0x100, 0x101}},
      {2, 0x81, {0x200, 0x201, 0x202, 0x203}},
      {3, 0x82, {0x300, 0x301}},
  };
  return layout;
}

bool HaveFfmpeg() {
  static const bool have = run_quiet("ffmpeg -version") && run_quiet("ffprobe -version");
  return have;
}

std::string TempPath(const std::string& name) {
  const std::string& dir = ensure_temp_dir();
  if (dir.empty()) return "";
  return dir + "/" + name;
}

const std::string& ThreeProgramStream() {
  static const std::string path = [] {
    if (!HaveFfmpeg()) return std::string();
    std::string out = TempPath("three_programs.ts");
    if (out.empty()) return std::string();
    // Streams in output order: v1 a1 | v2 a2 a3 a4 | v3 a5.
    std::string cmd =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -fflags +bitexact"
        " -f lavfi -i testsrc=size=160x120:rate=25:duration=2"
        " -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2"
        " -map 0:v -map 1:a -map 0:v -map 1:a -map 1:a -map 1:a -map 0:v -map 1:a"
        " -c:v mpeg2video -b:v 300k -g 12 -c:a mp2 -b:a 64k -flags +bitexact"
        " -metadata:s:a:0 language=eng -metadata:s:a:1 language=eng"
        " -metadata:s:a:2 language=spa -metadata:s:a:3 language=fra"
        " -metadata:s:a:4 language=ger"
        " -streamid 0:0x100 -streamid 1:0x101 -streamid 2:0x200 -streamid 3:0x201"
        " -streamid 4:0x202 -streamid 5:0x203 -streamid 6:0x300 -streamid 7:0x301"
        " -program program_num=1:st=0:st=1"
        " -program program_num=2:st=2:st=3:st=4:st=5"
        " -program program_num=3:st=6:st=7"
        " -mpegts_transport_stream_id 0x21 -mpegts_pmt_start_pid 0x80"
        " -f mpegts '" +
        out + "'";
    if (!run_quiet(cmd)) return std::string();
    return out;
  }();
  return path;
}

bool ReadFile(const std::string& path, Bytes* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  out->clear();
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out->insert(out->end(), buf, buf + n);
  fclose(f);
  return true;
}

bool WriteFile(const std::string& path, const Bytes& data) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = data.empty() || fwrite(data.data(), 1, data.size(), f) == data.size();
  return fclose(f) == 0 && ok;
}

bool FfprobePrograms(const std::string& path, std::vector<Program>* out) {
  out->clear();
  std::string cmd = "ffprobe -v error -show_entries program=program_num,pmt_pid:program_stream=id"
                    " -of compact '" +
                    path + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return false;
  char line[4096];
  while (fgets(line, sizeof(line), p) != nullptr) {
    const char* num = strstr(line, "program_num=");
    if (num != nullptr) {
      Program prog;
      prog.number = atoi(num + 12);
      const char* pmt = strstr(line, "pmt_pid=");
      prog.pmtPid = pmt != nullptr ? atoi(pmt + 8) : -1;
      out->push_back(prog);
    }
    for (const char* id = strstr(line, "id=0x"); id != nullptr; id = strstr(id + 5, "id=0x")) {
      if (!out->empty()) out->back().pids.push_back(static_cast<int>(strtol(id + 3, nullptr, 16)));
    }
  }
  return pclose(p) == 0;
}

std::vector<PidCount> CountPids(const Bytes& ts) {
  std::vector<int> counts(8192, 0);
  for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
    if (ts[off] != 0x47) continue;
    counts[((ts[off + 1] & 0x1F) << 8) | ts[off + 2]]++;
  }
  std::vector<PidCount> result;
  for (int pid = 0; pid < 8192; pid++)
    if (counts[pid] > 0) result.push_back({pid, counts[pid]});
  return result;
}

#ifdef VYX_HAVE_DVBPSI
namespace {

struct PatSink {
  PatView last;
  int decoded = 0;
  int errors = 0;
};

void on_pat(void* data, dvbpsi_pat_t* pat) {
  PatSink* sink = static_cast<PatSink*>(data);
  sink->decoded++;
  sink->last = PatView();
  sink->last.tsid = pat->i_ts_id;
  sink->last.version = pat->i_version;
  for (dvbpsi_pat_program_t* p = pat->p_first_program; p != nullptr; p = p->p_next)
    sink->last.programs.push_back({p->i_number, p->i_pid});
  dvbpsi_pat_delete(pat);
}

// libdvbpsi reports continuity and CRC errors as error messages.
void on_message(dvbpsi_t* handle, const dvbpsi_msg_level_t level, const char* /*msg*/) {
  if (level == DVBPSI_MSG_ERROR && handle->p_sys != nullptr)
    static_cast<PatSink*>(handle->p_sys)->errors++;
}

}  // namespace

bool DvbpsiLastPat(const Bytes& ts, PatView* pat, int* decoded, int* errors) {
  PatSink sink;
  dvbpsi_t* handle = dvbpsi_new(on_message, DVBPSI_MSG_ERROR);
  if (handle == nullptr) return false;
  handle->p_sys = &sink;
  if (!dvbpsi_pat_attach(handle, on_pat, &sink)) {
    dvbpsi_delete(handle);
    return false;
  }
  for (size_t off = 0; off + 188 <= ts.size(); off += 188) {
    const uint8_t* p = ts.data() + off;
    if (p[0] != 0x47 || (((p[1] & 0x1F) << 8) | p[2]) != 0) continue;
    uint8_t packet[188];
    memcpy(packet, p, sizeof(packet));
    dvbpsi_packet_push(handle, packet);
  }
  dvbpsi_pat_detach(handle);
  handle->p_sys = nullptr;
  dvbpsi_delete(handle);
  *pat = sink.last;
  *decoded = sink.decoded;
  *errors = sink.errors;
  return true;
}
#else
bool DvbpsiLastPat(const Bytes&, PatView*, int*, int*) { return false; }
#endif

}  // namespace ffstreams
