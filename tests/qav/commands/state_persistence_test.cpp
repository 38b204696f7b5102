// The simulated machine's registry between qav runs: what one run sets, the
// next one reads, as the driver's settings survive on Windows; a state file
// that does not load stops the run with one line and is left untouched.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "command_run.h"

namespace {

using qavtest::CommandResult;
using qavtest::RunCommand;

struct PersistCase {
  const char *name;
  qav::DeviceCommandFn command;
  const char *value;
  const char *readBack;  // the first line the next run prints
  const char *fresh;     // what a machine with another state folder prints
};

void PrintTo(const PersistCase &c, std::ostream *os) { *os << c.name; }

const PersistCase kPersistCases[] = {
    {"Mode", qav::RunMode, "mixing", "mode: mixing (5 ms per USB transfer; this machine sustains 1 ms and more)",
     "mode: balanced (3 ms per USB transfer; this machine sustains 1 ms and more)"},
    {"ModeRecording", qav::RunMode, "recording",
     "mode: recording (1 ms per USB transfer; this machine sustains 1 ms and more)",
     "mode: balanced (3 ms per USB transfer; this machine sustains 1 ms and more)"},
    {"Rate", qav::RunRate, "176400", "rate: 176400 Hz", "rate: 48000 Hz"},
};

class StatePersistenceTest : public ::testing::TestWithParam<PersistCase> {};

TEST_P(StatePersistenceTest, ASettingMadeInOneRunIsReadInTheNext) {
  const PersistCase &c = GetParam();
  qavtest::CStateFolder state, other;
  ASSERT_EQ(RunCommand(qavtest::DefaultRun(state.Path()), c.command, {c.value}).code, 0);
  ASSERT_TRUE(std::filesystem::exists(state.RegistryFile()));

  const CommandResult next = RunCommand(qavtest::DefaultRun(state.Path()), c.command);
  EXPECT_EQ(next.code, 0);
  ASSERT_FALSE(next.out.empty());
  EXPECT_EQ(next.out[0], c.readBack);

  const CommandResult elsewhere = RunCommand(qavtest::DefaultRun(other.Path()), c.command);
  ASSERT_FALSE(elsewhere.out.empty());
  EXPECT_EQ(elsewhere.out[0], c.fresh) << "each state folder is its own machine";
}

INSTANTIATE_TEST_SUITE_P(Settings, StatePersistenceTest, ::testing::ValuesIn(kPersistCases),
                         [](const ::testing::TestParamInfo<PersistCase> &info) { return std::string(info.param.name); });

struct DamageCase {
  const char *name;
  const char *text;      // the state file
  const char *location;  // the file's name and line in the error
};

TEST(StateFolderTest, ADamagedStateFileIsOneLineAndLeftAsItIs) {
  const DamageCase cases[] = {
      {"bad dword", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\"a\"=dword:zz\n",
       "registry.reg:4: "},
      {"no header", "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n", "registry.reg:1: "},
      {"cut short", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\n", "registry.reg:3: "},
  };
  for (const DamageCase &c : cases) {
    SCOPED_TRACE(c.name);
    qavtest::CStateFolder state;
    std::filesystem::create_directories(state.Path());
    std::ofstream(state.RegistryFile(), std::ios::binary) << c.text;
    const CommandResult result = RunCommand(qavtest::DefaultRun(state.Path()), qav::RunMode, {"mixing"});
    EXPECT_EQ(result.code, 1);
    EXPECT_TRUE(result.out.empty()) << "the command did not run: " << result.Out();
    ASSERT_EQ(result.err.size(), 1u);
    EXPECT_NE(result.err[0].find("the saved machine state does not load and is left as it is"), std::string::npos)
        << result.err[0];
    EXPECT_NE(result.err[0].find(c.location), std::string::npos) << result.err[0];
    EXPECT_EQ(qavtest::ReadFile(state.RegistryFile()), c.text) << "not overwritten";
  }
}

TEST(StateFolderTest, AStateFolderThatCannotBeMadeIsOneLine) {
  qavtest::CStateFolder state;
  std::filesystem::create_directories(state.Path());
  const std::string blocker = state.Path() + "/file";
  std::ofstream(blocker) << "not a folder";
  const CommandResult result = RunCommand(qavtest::DefaultRun(blocker + "/qav"), qav::RunMode);
  EXPECT_EQ(result.code, 1);
  ASSERT_EQ(result.err.size(), 1u);
  EXPECT_EQ(result.err[0].rfind("the state folder " + blocker + "/qav cannot be created: ", 0), 0u) << result.err[0];
  EXPECT_TRUE(result.out.empty());
}

// The default folder follows the cache directory conventions.
TEST(StateFolderTest, TheDefaultFolderIsUnderTheUsersCache) {
  struct Env {
    const char *xdg;
    const char *home;
    const char *folder;
  };
  const Env cases[] = {
      {"/var/cache/me", "/home/me", "/var/cache/me/qav"},
      {nullptr, "/home/me", "/home/me/.cache/qav"},
      {"relative/cache", "/home/me", "/home/me/.cache/qav"},  // not absolute: ignored, as the convention says
      {nullptr, nullptr, ""},
  };
  const char *savedXdg = std::getenv("XDG_CACHE_HOME");
  const char *savedHome = std::getenv("HOME");
  const std::string xdgBefore = savedXdg ? savedXdg : "", homeBefore = savedHome ? savedHome : "";
  for (const Env &env : cases) {
    env.xdg ? setenv("XDG_CACHE_HOME", env.xdg, 1) : unsetenv("XDG_CACHE_HOME");
    env.home ? setenv("HOME", env.home, 1) : unsetenv("HOME");
    EXPECT_EQ(qav::DefaultStateFolder(), env.folder);
  }
  savedXdg ? setenv("XDG_CACHE_HOME", xdgBefore.c_str(), 1) : unsetenv("XDG_CACHE_HOME");
  savedHome ? setenv("HOME", homeBefore.c_str(), 1) : unsetenv("HOME");
}

}  // namespace
