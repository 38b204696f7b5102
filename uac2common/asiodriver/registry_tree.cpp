// Recursive deletion of a registry key: RegDeleteKeyA removes only keys
// without subkeys, so the tree is collected depth first and deleted leaves
// first.
#include <stdio.h>

#include <string>
#include <vector>

#include "uac2common/asiodriver/registration.h"

namespace {

// Registry key names are at most 255 characters; the buffer leaves room.
constexpr DWORD kKeyNameBytes = 360;
// Windows refuses keys nested deeper than 512 levels.
constexpr int kMaxDepth = 512;

// Appends the paths (relative to the tree's parent) of path's subkeys, each
// after its own children, then path itself.
bool CollectPostOrder(HKEY key, const std::string &path, int depth, std::vector<std::string> *order) {
  if (depth > kMaxDepth) return false;
  bool complete = true;
  char name[kKeyNameBytes];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    LSTATUS status = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS) {
      complete = false;
      break;
    }
    HKEY child = nullptr;
    if (RegOpenKeyExA(key, name, 0, KEY_ALL_ACCESS, &child) != ERROR_SUCCESS) {
      complete = false;
      continue;
    }
    complete = CollectPostOrder(child, path + "\\" + name, depth + 1, order) && complete;
    RegCloseKey(child);
  }
  order->push_back(path);
  return complete;
}

}  // namespace

int DeleteRegistryTree(HKEY parent, const char *name) {
  HKEY root = nullptr;
  if (RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &root) != ERROR_SUCCESS) return -1;
  std::vector<std::string> order;
  bool complete = CollectPostOrder(root, name, 0, &order);
  RegCloseKey(root);
  for (const std::string &path : order) {
    if (RegDeleteKeyA(parent, path.c_str()) != ERROR_SUCCESS) complete = false;
  }
  return complete ? 0 : -1;
}
