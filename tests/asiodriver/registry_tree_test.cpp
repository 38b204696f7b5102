// Recursive key deletion: whole trees go, children before parents, and
// nothing beside the tree is touched.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "uac2common/asiodriver/registration.h"
#include "winsim/machine.h"

namespace {

void Create(const std::string &path) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << path;
  RegCloseKey(key);
}

bool Exists(const std::string &path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

TEST(RegistryTree, DeletesEveryLevelAndLeavesTheSiblings) {
  winsim::Machine machine;
  const char *tree[] = {"SOFTWARE\\Qav\\Tree\\A\\A1\\A11", "SOFTWARE\\Qav\\Tree\\A\\A2", "SOFTWARE\\Qav\\Tree\\B",
                        "SOFTWARE\\Qav\\Sibling"};
  for (const char *path : tree) Create(path);
  HKEY parent = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qav", 0, KEY_ALL_ACCESS, &parent), ERROR_SUCCESS);
  EXPECT_EQ(DeleteRegistryTree(parent, "Tree"), 0);
  EXPECT_EQ(DeleteRegistryTree(parent, "Tree"), -1) << "gone: cannot be opened";
  RegCloseKey(parent);
  EXPECT_FALSE(Exists("SOFTWARE\\Qav\\Tree"));
  EXPECT_TRUE(Exists("SOFTWARE\\Qav\\Sibling"));
}

TEST(RegistryTree, ManySubkeysAtOneLevelAreAllDeleted) {
  winsim::Machine machine;
  for (int i = 0; i < 40; ++i) Create("SOFTWARE\\Qav\\Wide\\Key" + std::to_string(i) + "\\Leaf");
  EXPECT_EQ(DeleteRegistryTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Qav\\Wide"), 0);
  EXPECT_FALSE(Exists("SOFTWARE\\Qav\\Wide"));
}

}  // namespace
