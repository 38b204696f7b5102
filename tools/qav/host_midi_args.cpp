// `qav midi` arguments and the text of its output.
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "tools/qav/host_midi.h"

namespace qav {
namespace {

constexpr uint32_t kMaxCable = 15;
constexpr uint32_t kMaxMonitorSeconds = 600;

bool ParseNumber(const std::string &text, uint32_t low, uint32_t high, uint32_t *value) {
  if (text.empty() || text.size() > 3) return false;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  const uint64_t parsed = std::strtoull(text.c_str(), nullptr, 10);
  if (parsed < low || parsed > high) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseHexBytes(const std::vector<std::string> &tokens, std::vector<uint8_t> *bytes, std::string *error) {
  bytes->clear();
  for (const std::string &token : tokens) {
    if (token.empty() || token.size() % 2 != 0) {
      *error = "'" + token + "' is not a whole number of hex bytes (two digits each)";
      return false;
    }
    for (size_t i = 0; i < token.size(); i += 2) {
      const int high = HexDigit(token[i]), low = HexDigit(token[i + 1]);
      if (high < 0 || low < 0) {
        *error = "'" + token + "' is not hex";
        return false;
      }
      if (bytes->size() == kMaxMidiSendBytes) {
        *error = "more than " + std::to_string(kMaxMidiSendBytes) + " bytes";
        return false;
      }
      bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
  }
  if (bytes->empty()) *error = "no bytes to send";
  return !bytes->empty();
}

bool ParseMidiRequest(const std::vector<std::string> &words, MidiRequest *request, std::string *error) {
  *request = MidiRequest{};
  const std::string sub = words.empty() ? std::string() : words[0];
  if (sub == "list" && words.size() == 1) {
    request->kind = MidiRequest::Kind::List;
    return true;
  }
  if (sub == "send") {
    request->kind = MidiRequest::Kind::Send;
    if (words.size() < 3) {
      *error = "usage: qav midi send CABLE HEX...";
      return false;
    }
    if (!ParseNumber(words[1], 0, kMaxCable, &request->cable)) {
      *error = "cable '" + words[1] + "' is not a number from 0 to 15";
      return false;
    }
    return ParseHexBytes(std::vector<std::string>(words.begin() + 2, words.end()), &request->bytes, error);
  }
  if (sub == "monitor" && words.size() <= 2) {
    request->kind = MidiRequest::Kind::Monitor;
    if (words.size() == 2 && !ParseNumber(words[1], 1, kMaxMonitorSeconds, &request->seconds)) {
      *error = "seconds '" + words[1] + "' is not a number from 1 to 600";
      return false;
    }
    return true;
  }
  *error = "usage: qav midi list | send CABLE HEX... | monitor [SECONDS]";
  return false;
}

std::string HexText(const uint8_t *bytes, size_t count) {
  std::string text;
  char hex[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += hex;
  }
  return text;
}

std::string MidiMessageKind(const std::vector<uint8_t> &message) {
  if (message.empty()) return "empty";
  const uint8_t status = message[0];
  static const char *const kChannel[] = {"note off", "note on", "poly pressure", "control change",
                                         "program change", "channel pressure", "pitch bend"};
  if (status >= 0x80 && status < 0xF0) {
    const bool noteOnAsOff = (status >> 4) == 0x9 && message.size() == 3 && message[2] == 0;
    return std::string(noteOnAsOff ? "note off" : kChannel[(status >> 4) - 8]) + ", channel " +
           std::to_string((status & 0x0F) + 1);
  }
  if (status == 0xF0) return message.back() == 0xF7 ? "SysEx" : "SysEx, continues";
  if (status >= 0xF8) return "real-time";
  if (status & 0x80) return "system common";
  return message.back() == 0xF7 ? "SysEx, ends" : "SysEx, continued";
}

}  // namespace qav
