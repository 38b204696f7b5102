// Persistence in .reg form: exact text, lossless round trips, tolerant
// reading, and refusal of malformed files without touching the registry.
#include "winsim/kernel/registry_regfile.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "winsim/kernel/registry_utf.h"

using winsim::RegFileError;
using winsim::Registry;
using winsim::RegKeySnapshot;
using winsim::RegValue;

namespace {

constexpr std::u16string_view kQav = u"\\Registry\\Machine\\SOFTWARE\\Qav";

RegKeySnapshot Everything(Registry &registry) {
  RegKeySnapshot snapshot;
  EXPECT_EQ(registry.Snapshot(u"\\Registry", &snapshot), STATUS_SUCCESS);
  return snapshot;
}

std::string Text(Registry &registry) {
  std::string text;
  RegFileError error;
  EXPECT_EQ(winsim::FormatRegFile(Everything(registry), &text, &error), STATUS_SUCCESS) << error.message;
  return text;
}

void Put(Registry &registry, std::u16string_view key, std::u16string_view name, const RegValue &value) {
  ASSERT_EQ(registry.WriteValue(key, name, value), STATUS_SUCCESS);
}

void MakeKey(Registry &registry, std::u16string_view path, bool isVolatile = false) {
  winsim::RegCreateOptions options;
  options.withParents = true;
  options.isVolatile = isVolatile;
  winsim::RegKeyRef key;
  ASSERT_EQ(registry.CreateKey(nullptr, path, options, &key, nullptr), STATUS_SUCCESS);
}

std::vector<UCHAR> Counting(size_t n) {
  std::vector<UCHAR> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = UCHAR(i);
  return bytes;
}

TEST(RegistryRegFile, SmallStoreWritesTheExpectedText) {
  Registry registry;
  Put(registry, kQav, u"", RegValue::String(u"Default"));
  Put(registry, kQav, u"Quote \"q\" \\ back", RegValue::String(u"C:\\Program Files\\\"Qav\""));
  Put(registry, kQav, u"Count", RegValue::Dword(42));
  Put(registry, kQav, u"Big", RegValue::Qword(0x0102030405060708ull));
  Put(registry, kQav, u"Path", RegValue::String(u"%A%", REG_EXPAND_SZ));
  Put(registry, kQav, u"List", RegValue::MultiString({u"a", u"b"}));
  Put(registry, kQav, u"None", RegValue::Binary({}, REG_NONE));
  Put(registry, kQav, u"Blob", RegValue::Binary(Counting(40)));
  MakeKey(registry, u"\\Registry\\Machine\\SOFTWARE\\Qav\\Sub");
  Put(registry, u"\\Registry\\User\\S-1-5-18", u"Name", RegValue::String(u"Grüße"));

  EXPECT_EQ(Text(registry),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Qav]\n"
            "@=\"Default\"\n"
            "\"Quote \\\"q\\\" \\\\ back\"=\"C:\\\\Program Files\\\\\\\"Qav\\\"\"\n"
            "\"Count\"=dword:0000002a\n"
            "\"Big\"=hex(b):08,07,06,05,04,03,02,01\n"
            "\"Path\"=hex(2):25,00,41,00,25,00,00,00\n"
            "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
            "\"None\"=hex(0):\n"
            "\"Blob\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
            "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Qav\\Sub]\n"
            "\n"
            "[HKEY_USERS]\n"
            "\n"
            "[HKEY_USERS\\S-1-5-18]\n"
            "\"Name\"=\"Grüße\"\n"
            "\n");
}

TEST(RegistryRegFile, LongHexDataWrapsWithinEightyColumns) {
  Registry registry;
  Put(registry, kQav, u"Descriptor", RegValue::Binary(Counting(1000)));
  std::istringstream lines(Text(registry));
  std::string line;
  size_t continuations = 0;
  while (std::getline(lines, line)) {
    EXPECT_LE(line.size(), 80u) << line;
    if (line.rfind("  ", 0) == 0) ++continuations;
  }
  EXPECT_EQ(continuations, 40u);  // 22 bytes on the first line, 25 on each full one after
}

// Everything the format can hold must come back byte for byte.
void FillEveryKindOfValue(Registry &registry) {
  Put(registry, kQav, u"", RegValue::String(u"default"));
  Put(registry, kQav, u"Name \"quoted\" \\ back\\slash", RegValue::String(u"\\\\server\\\"share\"\\"));
  Put(registry, kQav, u"Ünïcødé 音", RegValue::String(u"Grüße — 音声 🎵"));
  Put(registry, kQav, u"EmptySz", RegValue::String(u""));
  Put(registry, kQav, u"TwoLines", RegValue::String(u"first\r\nsecond"));
  Put(registry, kQav, u"Unterminated", RegValue::Binary({'a', 0}, REG_SZ));
  Put(registry, kQav, u"OddSz", RegValue::Binary({'a', 0, 0}, REG_SZ));
  Put(registry, kQav, u"EmbeddedNul", RegValue::Binary({'a', 0, 0, 0, 'b', 0, 0, 0}, REG_SZ));
  Put(registry, kQav, u"NoDataSz", RegValue::Binary({}, REG_SZ));
  Put(registry, kQav, u"Expand", RegValue::String(u"%SystemRoot%\\Qav — ü", REG_EXPAND_SZ));
  Put(registry, kQav, u"Multi", RegValue::MultiString({u"Alder", u"Birch \"x\"", u"Ceder 🎵"}));
  Put(registry, kQav, u"Dword", RegValue::Dword(0xFFFFFFFF));
  Put(registry, kQav, u"ShortDword", RegValue::Binary({1, 2, 3}, REG_DWORD));
  Put(registry, kQav, u"Qword", RegValue::Qword(0x8000000000000001ull));
  Put(registry, kQav, u"Long", RegValue::Binary(Counting(1000)));
  Put(registry, kQav, u"None", RegValue::Binary({}, REG_NONE));
  Put(registry, kQav, u"Custom", RegValue::Binary({9}, 0x12345));
  Put(registry, kQav, u"MaxType", RegValue::Binary({}, 0xFFFFFFFF));
  MakeKey(registry, u"\\Registry\\Machine\\SOFTWARE\\Qav\\Ключ ]x[ \"q\"");
  MakeKey(registry, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\QavAudio");
  Put(registry, u"\\Registry\\User\\S-1-5-21-1\\Software\\Qav", u"Mode", RegValue::Dword(2));
}

TEST(RegistryRegFile, EveryValueTypeSurvivesSaveAndLoad) {
  Registry original;
  FillEveryKindOfValue(original);
  const std::string text = Text(original);
  Registry loaded;
  RegFileError error;
  ASSERT_EQ(winsim::ImportRegText(loaded, text, &error), STATUS_SUCCESS) << error.line << ": " << error.message;
  EXPECT_EQ(Everything(loaded), Everything(original));
  EXPECT_EQ(Text(loaded), text);
}

TEST(RegistryRegFile, Utf16FilesWithBomAndCrlfLoadToo) {
  Registry original;
  FillEveryKindOfValue(original);
  std::u16string wide;
  std::string utf8 = Text(original);
  size_t bad;
  ASSERT_TRUE(winsim::Utf8ToUtf16(utf8, &wide, &bad));
  std::string bytes = "\xFF\xFE";
  for (char16_t c : wide) {
    if (c == u'\n') bytes += std::string("\r\0", 2);
    bytes += char(c & 0xFF);
    bytes += char(c >> 8);
  }
  Registry loaded;
  RegFileError error;
  ASSERT_EQ(winsim::ImportRegText(loaded, bytes, &error), STATUS_SUCCESS) << error.line << ": " << error.message;
  EXPECT_EQ(Everything(loaded), Everything(original));
}

TEST(RegistryRegFile, VolatileKeysAreNotSaved) {
  Registry registry;
  MakeKey(registry, u"\\Registry\\Machine\\HARDWARE");
  MakeKey(registry, u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP", true);
  Put(registry, u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP", u"Port", RegValue::Dword(1));
  EXPECT_EQ(Text(registry).find("DEVICEMAP"), std::string::npos);
  EXPECT_NE(Text(registry).find("[HKEY_LOCAL_MACHINE\\HARDWARE]"), std::string::npos);
}

TEST(RegistryRegFile, HandWrittenFilesAreReadTolerantly) {
  const std::string text =
      "\xEF\xBB\xBF\r\n"
      "Windows Registry Editor Version 5.00\r\n"
      "; written by hand\r\n"
      "\r\n"
      "  [hkey_local_machine\\SOFTWARE\\Qav]  \r\n"
      "\"Mode\" = dword:2a\r\n"
      "@=\"default\"\r\n"
      "\"Blob\"=HEX:01, 02 ,\\\r\n"
      "   03\r\n"
      "\r\n"
      "\"Gone\"=dword:1\n"
      "\"Gone\"=-\n"
      "\"Empty\"=hex(3):\n"
      "[HKEY_CLASSES_ROOT\\CLSID\\{1}]\n"
      "[HKEY_USERS\\.DEFAULT\\Old]\n"
      "[-HKEY_USERS\\.DEFAULT\\Old]\n";
  Registry registry;
  RegFileError error;
  ASSERT_EQ(winsim::ImportRegText(registry, text, &error), STATUS_SUCCESS) << error.line << ": " << error.message;
  EXPECT_EQ(registry.ReadValue(kQav, u"mode"), RegValue::Dword(42));
  EXPECT_EQ(registry.ReadValue(kQav, u""), RegValue::String(u"default"));
  EXPECT_EQ(registry.ReadValue(kQav, u"Blob"), RegValue::Binary({1, 2, 3}));
  EXPECT_EQ(registry.ReadValue(kQav, u"Empty"), RegValue::Binary({}));
  EXPECT_FALSE(registry.ReadValue(kQav, u"Gone"));
  EXPECT_TRUE(registry.KeyExists(u"\\Registry\\Machine\\SOFTWARE\\Classes\\CLSID\\{1}"));
  EXPECT_TRUE(registry.KeyExists(u"\\Registry\\User\\.DEFAULT"));
  EXPECT_FALSE(registry.KeyExists(u"\\Registry\\User\\.DEFAULT\\Old"));
}

TEST(RegistryRegFile, MalformedFilesAreRefusedWithTheLineAndChangeNothing) {
  const std::string prefix =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fresh]\n"
      "\"Ok\"=dword:00000001\n";
  const struct {
    std::string text;
    ULONG line;
    const char *message;
    NTSTATUS status;
  } cases[] = {
      {"", 1, "missing the header", STATUS_DATA_ERROR},
      {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n", 1, "REGEDIT4", STATUS_DATA_ERROR},
      {"\n\n; note\nWindows Registry Editor Version 5.00\n", 3, "expected the header", STATUS_DATA_ERROR},
      {"Windows Registry Editor Version 5.00\n\"v\"=dword:1\n", 2, "outside a [key] section", STATUS_DATA_ERROR},
      {prefix + "\"Bad\"=\"C:\\x\"\n", 5, "unknown escape", STATUS_DATA_ERROR},
      {prefix + "\"Bad\"=\"open\n", 5, "missing closing quote", STATUS_DATA_ERROR},
      {prefix + "\"Bad=\"x\"\n", 5, "expected '='", STATUS_DATA_ERROR},
      {prefix + "\"Bad\"=dword:123456789\n", 5, "dword:", STATUS_DATA_ERROR},
      {prefix + "\"Bad\"=dword:xyz\n", 5, "dword:", STATUS_DATA_ERROR},
      {prefix + "\"Bad\"=hex:01,02,\\\n  03,zz\n", 6, "expected a hex byte, found 'zz'", STATUS_DATA_ERROR},
      {prefix + "\"Bad\"=hex:01,02,\n", 5, "expected a hex byte", STATUS_DATA_ERROR},
      {prefix + "\"Bad\"=hex:100\n", 5, "expected a hex byte", STATUS_DATA_ERROR},
      {prefix + "\"Bad\"=hex:01,\\\n", 5, "continuation", STATUS_DATA_ERROR},
      {prefix + "\"Bad\"=hex(zz):00\n", 5, "hex(type)", STATUS_DATA_ERROR},
      {prefix + "\"Bad\"=qword:1\n", 5, "unrecognised value data", STATUS_DATA_ERROR},
      {prefix + "\"Bad\" dword:1\n", 5, "expected '='", STATUS_DATA_ERROR},
      {prefix + "\"Bad\"=\"x\" trailing\n", 5, "after the closing quote", STATUS_DATA_ERROR},
      {prefix + "garbage\n", 5, "expected [key]", STATUS_DATA_ERROR},
      {prefix + "[HKEY_CURRENT_USER\\Software]\n", 5, "unknown root key", STATUS_DATA_ERROR},
      {prefix + "[HKEY_LOCAL_MACHINE\\SOFTWARE\n", 5, "does not end with ']'", STATUS_DATA_ERROR},
      {prefix + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 5, "empty key name", STATUS_DATA_ERROR},
      {prefix + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n", 5, "longer than 255", STATUS_DATA_ERROR},
      {prefix + "\n\"Bad\"=\"\xC3\x28\"\n", 6, "invalid UTF-8", STATUS_DATA_ERROR},
      {prefix + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Fresh]\n\"v\"=dword:1\n", 6, "outside", STATUS_DATA_ERROR},
      {prefix + "[-HKEY_LOCAL_MACHINE]\n", 5, "hive root", STATUS_CANNOT_DELETE},
      {prefix + "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\Saved]\n", 5, "volatile", STATUS_CHILD_MUST_BE_VOLATILE},
  };
  Registry registry;
  Put(registry, kQav, u"Mode", RegValue::Dword(1));
  MakeKey(registry, u"\\Registry\\Machine\\HARDWARE");
  MakeKey(registry, u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP", true);
  const RegKeySnapshot before = Everything(registry);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    RegFileError error;
    EXPECT_EQ(winsim::ImportRegText(registry, c.text, &error), c.status);
    EXPECT_EQ(error.line, c.line) << error.message;
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    EXPECT_EQ(Everything(registry), before);
  }
}

class RegistryRegFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qav-registry-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string &name : Files()) unlink((dir_ + "/" + name).c_str());
    rmdir(dir_.c_str());
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir_.c_str())) {
      while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      closedir(d);
    }
    return names;
  }
  std::string dir_;
};

TEST_F(RegistryRegFileOnDisk, SaveReplacesTheFileAndLoadRestoresTheStore) {
  Registry original;
  FillEveryKindOfValue(original);
  const std::string path = dir_ + "/registry.reg";
  {
    std::ofstream stale(path);
    stale << "old contents";
  }
  RegFileError error;
  ASSERT_EQ(winsim::SaveRegFile(original, path, &error), STATUS_SUCCESS) << error.message;
  EXPECT_EQ(Files(), std::vector<std::string>{"registry.reg"});  // no temporary left behind
  Registry loaded;
  ASSERT_EQ(winsim::LoadRegFile(loaded, path, &error), STATUS_SUCCESS) << error.line << ": " << error.message;
  EXPECT_EQ(Everything(loaded), Everything(original));
}

TEST_F(RegistryRegFileOnDisk, FileErrorsNameThePath) {
  Registry registry;
  RegFileError error;
  const std::string missing = dir_ + "/absent.reg";
  EXPECT_EQ(winsim::LoadRegFile(registry, missing, &error), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(error.line, 0u);
  EXPECT_NE(error.message.find(missing), std::string::npos);
  EXPECT_EQ(winsim::SaveRegFile(registry, dir_ + "/no/such/dir.reg", &error), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_TRUE(Files().empty());
}

}  // namespace
