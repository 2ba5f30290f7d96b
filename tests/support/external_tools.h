// Running the independent tools some tests compare against (ffprobe, djpeg, ImageMagick).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace qm::testing {

// The standard output of a shell command ("" when it cannot be started).
inline std::string CommandOutput(const std::string& cmd) {
  std::string out;
  if (std::FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// A single-quoted shell word, safe for any path.
inline std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out.push_back(c);
  }
  return out + "'";
}

}  // namespace qm::testing
