#include "tools/qav/console.h"

#include <cstdio>

namespace qav {

void CStdConsole::Out(const std::string &line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void CStdConsole::Err(const std::string &line) {
  std::fprintf(stderr, "qav: %s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace qav
