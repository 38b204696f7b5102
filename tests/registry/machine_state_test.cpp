// The registry survives between runs of a Machine that has a state folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "winsim/kernel/registry_store.h"
#include "winsim/machine.h"

using namespace winsim;

namespace {

constexpr std::u16string_view kKey = u"\\Registry\\Machine\\SOFTWARE\\QavTest";

class StateFolder : public ::testing::Test {
 protected:
  StateFolder() {
    m_folder = std::filesystem::temp_directory_path() /
               ("qav-state-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(m_folder);
  }
  ~StateFolder() override { std::filesystem::remove_all(m_folder); }

  MachineOptions Options() const {
    MachineOptions options;
    options.stateFolder = m_folder.string();
    return options;
  }
  std::string ReadFile() const {
    std::ifstream in(m_folder / "registry.reg");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path m_folder;
};

TEST_F(StateFolder, ValuesWrittenInOneRunAreThereInTheNext) {
  {
    Machine machine(Options());
    ASSERT_EQ(SystemRegistry().WriteValue(kKey, u"UrbSize", RegValue::Dword(5)), STATUS_SUCCESS);
  }
  EXPECT_NE(ReadFile().find("\"UrbSize\"=dword:00000005"), std::string::npos);
  {
    Machine machine(Options());
    EXPECT_TRUE(machine.StateError().empty());
    std::optional<RegValue> value = SystemRegistry().ReadValue(kKey, u"UrbSize");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, RegValue::Dword(5));
  }
}

TEST_F(StateFolder, MachineWithoutStateFolderStartsEmptyEveryTime) {
  {
    Machine machine;
    SystemRegistry().WriteValue(kKey, u"UrbSize", RegValue::Dword(5));
  }
  Machine machine;
  EXPECT_FALSE(SystemRegistry().ReadValue(kKey, u"UrbSize").has_value());
  EXPECT_TRUE(SystemRegistry().KeyExists(u"\\Registry\\Machine\\SOFTWARE\\Classes"));
}

TEST_F(StateFolder, DamagedFileIsReportedAndNeverOverwritten) {
  std::filesystem::create_directories(m_folder);
  const std::string damaged = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n\"A\"=dword:zz\n";
  {
    std::ofstream out(m_folder / "registry.reg");
    out << damaged;
  }
  {
    Machine machine(Options());
    EXPECT_NE(machine.StateError().find("registry.reg:4"), std::string::npos) << machine.StateError();
    SystemRegistry().WriteValue(kKey, u"UrbSize", RegValue::Dword(5));
    std::string error;
    EXPECT_FALSE(machine.SaveState(&error));
    EXPECT_NE(error.find("not saved"), std::string::npos);
  }
  EXPECT_EQ(ReadFile(), damaged);
}

}  // namespace
