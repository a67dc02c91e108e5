// Test fixture piece: runs a test in a fresh working directory (where the
// trace file lands) with a given trace level and a fixed line time, and reads
// back the lines written.
#ifndef KAVEX_SERVER_OBJECTS_TRACE_CAPTURE_FOR_TEST_H_
#define KAVEX_SERVER_OBJECTS_TRACE_CAPTURE_FOR_TEST_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "server/objects/trace_log.h"

namespace kavex::server {

class TraceCapture {
 public:
  static constexpr TraceTime kTime{3, 7, 2026, 9, 5, 4, 21};

  explicit TraceCapture(int level) {
    char pattern[] = "/tmp/kavex-trace-capture-XXXXXX";
    EXPECT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    SetTraceLevel(level);
    SetTraceTimeSourceForTesting([] { return kTime; });
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;
  ~TraceCapture() {
    SetTraceTimeSourceForTesting(nullptr);
    SetTraceLevel(0);
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
  }

  // Every line written so far, each with its newline.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::ifstream in(dir_ + "/" + kTraceFileName);
    for (std::string line; std::getline(in, line);)
      lines.push_back(line + "\n");
    return lines;
  }

  // The lines that name `object`, leaving out what other threads (the
  // worker threads starting, say) wrote meanwhile.
  std::vector<std::string> LinesOf(const void* object) const {
    const std::string empty = Line(object, S_OK, "");
    const std::string tag = empty.substr(0, empty.find(']') + 1);
    std::vector<std::string> lines;
    for (std::string& line : Lines())
      if (line.compare(0, tag.size(), tag) == 0) lines.push_back(line);
    return lines;
  }

  // A line as the trace log writes it at kTime.
  static std::string Line(const void* object, HRESULT hr,
                          std::string_view message,
                          std::string_view detail = {}) {
    return FormatTraceLine(kTime, object, hr, message, detail);
  }

 private:
  std::string dir_;
  std::filesystem::path old_cwd_;
};

}  // namespace kavex::server

#endif  // KAVEX_SERVER_OBJECTS_TRACE_CAPTURE_FOR_TEST_H_
