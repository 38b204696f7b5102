// Where a command's output goes: lines on standard output as they happen,
// and the one error line on standard error. Commands never print directly,
// so the same code runs in the tool and under tests that read what it said.
#pragma once
#include <string>

namespace qav {

class CConsole {
 public:
  virtual ~CConsole() = default;
  // One line of output, without its line end.
  virtual void Out(const std::string &line) = 0;
  // The error line, without "qav: " and the line end.
  virtual void Err(const std::string &line) = 0;
};

// The process's stdout and stderr, flushed after every line so `qav watch`
// shows an event when it arrives.
class CStdConsole : public CConsole {
 public:
  void Out(const std::string &line) override;
  void Err(const std::string &line) override;
};

}  // namespace qav
