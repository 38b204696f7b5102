#include "winsim/devices/raw_text.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace winsim::devices {
namespace {

constexpr size_t kMaxBytesPerKind = 65535;

std::vector<std::string_view> Tokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t' || line[pos] == '\r')) ++pos;
    const size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t' && line[pos] != '\r') ++pos;
    if (pos > start) tokens.push_back(line.substr(start, pos - start));
  }
  return tokens;
}

template <typename T>
bool Number(std::string_view token, int base, T &value) {
  const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value, base);
  return error == std::errc() && end == token.data() + token.size();
}

class TextParser {
 public:
  RawTextResult Run(std::string_view text) {
    size_t lineNumber = 0;
    size_t pos = 0;
    while (pos <= text.size() && m_result.error.empty()) {
      const size_t end = std::min(text.find('\n', pos), text.size());
      ++lineNumber;
      Line(lineNumber, text.substr(pos, end - pos));
      pos = end + 1;
    }
    m_result.ok = m_result.error.empty();
    return std::move(m_result);
  }

 private:
  void Fail(size_t line, const std::string &what) {
    m_result.error = "line " + std::to_string(line) + ": " + what;
  }

  bool Bytes(size_t line, const std::vector<std::string_view> &tokens, size_t first, std::vector<uint8_t> &out) {
    for (size_t i = first; i < tokens.size(); ++i) {
      uint8_t byte = 0;
      if (tokens[i].size() > 2 || !Number(tokens[i], 16, byte)) {
        Fail(line, "not a hexadecimal byte: " + std::string(tokens[i]));
        return false;
      }
      if (out.size() >= kMaxBytesPerKind) {
        Fail(line, "more than 65535 bytes");
        return false;
      }
      out.push_back(byte);
    }
    return true;
  }

  void Line(size_t line, std::string_view text) {
    const std::vector<std::string_view> tokens = Tokens(text);
    if (tokens.empty() || tokens[0].front() == '#') return;
    const std::string_view key = tokens[0];
    if (key == "device") {
      Bytes(line, tokens, 1, m_result.raw.device);
    } else if (key == "configuration") {
      Bytes(line, tokens, 1, m_result.raw.configuration);
    } else if (key == "string") {
      uint8_t index = 0;
      if (tokens.size() < 2 || !Number(tokens[1], 10, index)) return Fail(line, "string needs an index 0-255");
      Bytes(line, tokens, 2, m_result.raw.strings[index]);
    } else if (key == "rates") {
      for (size_t i = 1; i < tokens.size(); ++i) {
        uint32_t rate = 0;
        if (!Number(tokens[i], 10, rate) || rate == 0) return Fail(line, "not a rate: " + std::string(tokens[i]));
        m_result.rates.push_back(rate);
      }
    } else {
      Fail(line, "unknown key " + std::string(key));
    }
  }

  RawTextResult m_result;
};

}  // namespace

RawTextResult ParseRawDescriptorText(std::string_view text) { return TextParser().Run(text); }

RawTextResult LoadRawDescriptorFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    RawTextResult result;
    result.error = "cannot read " + path;
    return result;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return ParseRawDescriptorText(text.str());
}

}  // namespace winsim::devices
