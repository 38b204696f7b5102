// The registry store's own contract, beyond what the Zw layer shows: paths,
// hive roots, all-or-nothing edit batches and clearing.
#include "winsim/kernel/registry_store.h"

#include <gtest/gtest.h>

using winsim::RegCreateOptions;
using winsim::RegEdit;
using winsim::Registry;
using winsim::RegKeyRef;
using winsim::RegKeySnapshot;
using winsim::RegValue;

namespace {

RegEdit Edit(RegEdit::Kind kind, std::u16string path, std::u16string valueName = {}, RegValue value = {}) {
  RegEdit e;
  e.kind = kind;
  e.keyPath = std::move(path);
  e.valueName = std::move(valueName);
  e.value = std::move(value);
  return e;
}

RegKeySnapshot Everything(Registry &registry) {
  RegKeySnapshot snapshot;
  EXPECT_EQ(registry.Snapshot(u"\\Registry", &snapshot), STATUS_SUCCESS);
  return snapshot;
}

TEST(RegistryStore, StartsWithOnlyTheMachineAndUserHives) {
  Registry registry;
  const RegKeySnapshot all = Everything(registry);
  ASSERT_EQ(all.subKeys.size(), 2u);
  EXPECT_EQ(all.subKeys[0].name, u"MACHINE");
  EXPECT_EQ(all.subKeys[1].name, u"USER");
  EXPECT_TRUE(registry.KeyExists(u"\\registry\\machine"));
}

TEST(RegistryStore, KeysCannotBeAddedOrRemovedAtTheHiveLevel) {
  Registry registry;
  RegKeyRef key;
  EXPECT_EQ(registry.CreateKey(nullptr, u"\\Registry\\Other", {}, &key, nullptr), STATUS_ACCESS_DENIED);
  ASSERT_EQ(registry.OpenKey(nullptr, u"\\Registry\\User", &key), STATUS_SUCCESS);
  EXPECT_EQ(registry.DeleteKey(key), STATUS_CANNOT_DELETE);
  ASSERT_EQ(registry.OpenKey(nullptr, u"\\Registry", &key), STATUS_SUCCESS);
  EXPECT_EQ(registry.DeleteKey(key), STATUS_CANNOT_DELETE);
}

TEST(RegistryStore, CreatingWithParentsMakesTheWholePathOnce) {
  Registry registry;
  RegCreateOptions options;
  options.withParents = true;
  RegKeyRef key;
  ULONG disposition = 0;
  ASSERT_EQ(registry.CreateKey(nullptr, u"\\Registry\\Machine\\SYSTEM\\A\\B\\C", options, &key, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
  winsim::RegName path;
  ASSERT_EQ(registry.KeyPath(key, &path), STATUS_SUCCESS);
  EXPECT_EQ(path, u"\\REGISTRY\\MACHINE\\SYSTEM\\A\\B\\C");
  ASSERT_EQ(registry.CreateKey(nullptr, u"\\Registry\\Machine\\system\\a\\b\\c", options, &key, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
}

TEST(RegistryStore, TreeDepthIsBoundedAsOnWindows) {
  Registry registry;
  RegCreateOptions options;
  options.withParents = true;
  std::u16string path = u"\\Registry\\Machine";  // depth 1
  for (int depth = 2; depth <= 512; ++depth) path += u"\\k";
  RegKeyRef key;
  ASSERT_EQ(registry.CreateKey(nullptr, path, options, &key, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(registry.CreateKey(key, u"deeper", {}, &key, nullptr), STATUS_INVALID_PARAMETER);
}

TEST(RegistryStore, ValueLimitsAreEnforced) {
  Registry registry;
  RegKeyRef key;
  ASSERT_EQ(registry.OpenKey(nullptr, u"\\Registry\\Machine", &key), STATUS_SUCCESS);
  const std::u16string longest(winsim::kRegMaxValueNameChars, u'n');
  EXPECT_EQ(registry.SetValue(key, longest, REG_NONE, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(registry.SetValue(key, longest + u"n", REG_NONE, nullptr, 0), STATUS_INVALID_PARAMETER);
  const std::vector<UCHAR> huge(winsim::kRegMaxValueDataBytes + 1);
  EXPECT_EQ(registry.SetValue(key, u"huge", REG_BINARY, huge.data(), huge.size()), STATUS_INSUFFICIENT_RESOURCES);
}

TEST(RegistryStore, EditBatchesApplyInOrderWhenAllAreValid) {
  Registry registry;
  const std::vector<RegEdit> edits = {
      Edit(RegEdit::Kind::SetValue, u"\\Registry\\Machine\\SOFTWARE\\Qav", u"Mode", RegValue::Dword(1)),
      Edit(RegEdit::Kind::SetValue, u"\\Registry\\Machine\\SOFTWARE\\Qav\\Old", u"x", RegValue::Dword(2)),
      Edit(RegEdit::Kind::SetValue, u"\\Registry\\Machine\\SOFTWARE\\Qav", u"Gone", RegValue::Dword(3)),
      Edit(RegEdit::Kind::DeleteTree, u"\\Registry\\Machine\\SOFTWARE\\Qav\\Old"),
      Edit(RegEdit::Kind::DeleteValue, u"\\Registry\\Machine\\SOFTWARE\\Qav", u"gone"),
      Edit(RegEdit::Kind::DeleteTree, u"\\Registry\\Machine\\SOFTWARE\\NeverThere"),
      Edit(RegEdit::Kind::CreateKey, u"\\Registry\\User\\S-1-5-18"),
  };
  ASSERT_EQ(registry.Apply(edits, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(registry.ReadValue(u"\\Registry\\Machine\\SOFTWARE\\Qav", u"Mode"), RegValue::Dword(1));
  EXPECT_FALSE(registry.ReadValue(u"\\Registry\\Machine\\SOFTWARE\\Qav", u"Gone"));
  EXPECT_FALSE(registry.KeyExists(u"\\Registry\\Machine\\SOFTWARE\\Qav\\Old"));
  EXPECT_TRUE(registry.KeyExists(u"\\Registry\\User\\S-1-5-18"));
}

TEST(RegistryStore, AnInvalidEditLeavesTheWholeBatchUnapplied) {
  Registry registry;
  RegCreateOptions volatileKey;
  volatileKey.withParents = volatileKey.isVolatile = true;
  RegKeyRef key;
  ASSERT_EQ(registry.CreateKey(nullptr, u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP", volatileKey, &key, nullptr),
            STATUS_SUCCESS);
  const RegKeySnapshot before = Everything(registry);
  const struct {
    RegEdit bad;
    NTSTATUS status;
  } cases[] = {
      {Edit(RegEdit::Kind::CreateKey, u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\Saved"),
       STATUS_CHILD_MUST_BE_VOLATILE},
      {Edit(RegEdit::Kind::DeleteTree, u"\\Registry\\Machine"), STATUS_CANNOT_DELETE},
      {Edit(RegEdit::Kind::CreateKey, u"\\Registry\\Elsewhere"), STATUS_ACCESS_DENIED},
      {Edit(RegEdit::Kind::CreateKey, u"Registry\\Machine\\X"), STATUS_OBJECT_PATH_SYNTAX_BAD},
      {Edit(RegEdit::Kind::SetValue, u"\\Registry\\Machine\\X\\\\Y", u"v", RegValue::Dword(0)),
       STATUS_OBJECT_NAME_INVALID},
  };
  for (const auto &c : cases) {
    const std::vector<RegEdit> edits = {
        Edit(RegEdit::Kind::SetValue, u"\\Registry\\Machine\\SOFTWARE\\Qav", u"Mode", RegValue::Dword(1)),
        Edit(RegEdit::Kind::DeleteTree, u"\\Registry\\Machine\\HARDWARE"), c.bad};
    size_t failed = 99;
    EXPECT_EQ(registry.Apply(edits, &failed), c.status);
    EXPECT_EQ(failed, 2u);
    EXPECT_EQ(Everything(registry), before);
  }
}

TEST(RegistryStore, ClearDropsEverythingAndDeletesReferencedKeys) {
  Registry registry;
  ASSERT_EQ(registry.WriteValue(u"\\Registry\\Machine\\SOFTWARE\\Qav", u"Mode", RegValue::Dword(1)), STATUS_SUCCESS);
  ASSERT_EQ(registry.WriteValue(u"\\Registry\\User", u"Root", RegValue::Dword(1)), STATUS_SUCCESS);
  RegKeyRef held;
  ASSERT_EQ(registry.OpenKey(nullptr, u"\\Registry\\Machine\\SOFTWARE\\Qav", &held), STATUS_SUCCESS);
  registry.Clear();
  RegValue value;
  EXPECT_EQ(registry.QueryValue(held, u"Mode", &value), STATUS_KEY_DELETED);
  EXPECT_EQ(Everything(registry), Everything(*std::make_unique<Registry>()));
}

}  // namespace
