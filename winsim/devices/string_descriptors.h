// USB string descriptors: UTF-8 text in the models, UTF-16LE on the wire.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace winsim::devices {

// A string descriptor holds at most 126 UTF-16 code units (bLength <= 254).
inline constexpr size_t kMaxStringUnits = 126;

std::u16string Utf8ToUtf16(const std::string &text);
std::string Utf16ToUtf8(const std::u16string &text);

// Nothing when the text needs more than kMaxStringUnits code units.
std::optional<std::vector<uint8_t>> MakeStringDescriptor(const std::string &text);

// String descriptor 0: the list of supported language ids.
std::vector<uint8_t> MakeLanguageDescriptor(std::span<const uint16_t> languages);

// The text of a string descriptor; nothing when bLength or bDescriptorType is
// wrong or bLength exceeds the bytes given. An odd trailing byte is dropped.
std::optional<std::u16string> DecodeStringDescriptor(std::span<const uint8_t> descriptor);

// Assigns string indices from 1 upwards in the order texts are added. Equal
// texts, and equal runs of texts, share indices. Empty text is index 0.
class StringTable {
 public:
  uint8_t Add(const std::string &text);
  // Consecutive indices, one per name; the first is returned. An empty list is 0.
  uint8_t AddRun(const std::vector<std::string> &names);

  // Set when more than 255 strings were needed or a text was too long;
  // indices handed out after that are 0.
  bool Failed() const { return m_failed; }
  const std::string &FailedText() const { return m_failedText; }

  // Index 0 (English, US) and every added string.
  std::map<uint8_t, std::vector<uint8_t>> Descriptors() const;

 private:
  uint8_t Append(const std::string &text);

  std::vector<std::string> m_texts;  // entry i has index i + 1
  std::map<std::string, uint8_t> m_single;
  std::map<std::vector<std::string>, uint8_t> m_runs;
  bool m_failed = false;
  std::string m_failedText;
};

}  // namespace winsim::devices
