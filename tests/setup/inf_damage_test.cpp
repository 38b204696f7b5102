// Damaged copies of the shipped QavAudio.inf: each is refused whole, with
// the code Windows' setup gives and the line at fault.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kerneldriver/qavaudio_inf.h"
#include "winsim/setup/inf_install.h"

namespace {

using namespace winsim::setup;

// 1-based number of the line holding `text` in the shipped INF, 0 when none does.
uint32_t LineOf(const std::string &inf, const std::string &text) {
  size_t at = inf.find(text);
  if (at == std::string::npos) return 0;
  uint32_t line = 1;
  for (size_t i = 0; i < at; ++i) line += inf[i] == '\n';
  return line;
}

struct Damage {
  const char *what;
  const char *original;     // text of the shipped INF to replace
  const char *replacement;  // what the damaged copy has instead
  uint32_t code;
  const char *faultLine;    // text of the line reported (in the damaged copy); null: line 1
};

PackageResult Build(const std::string &text) {
  std::vector<winsim::DriverPackage> packages;
  auto entry = [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_SUCCESS; };
  return BuildDriverPackages("QavAudio.inf", text, kArchitectureAmd64, {{u"QavAudio", entry}}, {}, &packages);
}

TEST(ShippedInf, IsReadWholeForX64) {
  PackageResult result = Build(std::string(qav::QavAudioInfText()));
  EXPECT_TRUE(result.Ok()) << result.Describe();
  EXPECT_EQ(result.hardwareIds.size(), 19u);
}

TEST(ShippedInf, DamagedCopiesAreRefusedWithTheLineAtFault) {
  const Damage damages[] = {
      {"no [Version]", "[Version]", "[Versions]", kErrorWrongInfStyle, nullptr},
      {"wrong signature", "\"$WINDOWS NT$\"", "\"$WINDOWS 95$\"", kErrorWrongInfStyle, "Signature"},
      {"no class GUID", "ClassGuid   = {4d36e96c-e325-11ce-bfc1-08002be10318}", "", kErrorWrongInfStyle, "[Version]"},
      {"malformed class GUID", "{4d36e96c-e325-11ce-bfc1-08002be10318}", "{4d36e96c-e325-11ce-bfc1}",
       kErrorGeneralSyntax, "ClassGuid"},
      {"malformed DriverVer", "12/08/2026,1.0.0.4", "2026-12-08", kErrorGeneralSyntax, "DriverVer"},
      {"undefined string", "Provider    = %ProviderName%", "Provider    = %ProviderNam%", kErrorGeneralSyntax,
       "Provider"},
      {"unterminated quote", "\"QavPropPage.dll,UAC2PropertyPageProvider\"", "\"QavPropPage.dll,UAC2PropertyPageProvider",
       kErrorGeneralSyntax, "EnumPropPages32"},
      {"no models for x64", "%MfgName% = Quorvin, NTamd64", "%MfgName% = Quorvin, NTarm64", kErrorNoCompatDrivers,
       "%MfgName% = Quorvin"},
      {"x64 models section missing", "[Quorvin.NTamd64]", "[Quorvin.NTx86]", kErrorSectionNotFound,
       "%MfgName% = Quorvin"},
      {"model's install section missing", "%Larch.DeviceDesc%  = QavAudio.Device,",
       "%Larch.DeviceDesc%  = QavAudio.Devices,", kErrorSectionNotFound, "%Larch.DeviceDesc%"},
      {"AddReg section missing", "AddReg    = QavAudio.Device.AddReg", "AddReg    = QavAudio.Devce.AddReg",
       kErrorSectionNotFound, "AddReg    = QavAudio.Devce"},
      {"service section missing", "AddService = QavAudio, 0x00000002, QavAudio.Service",
       "AddService = QavAudio, 0x00000002, QavAudio.Servce", kErrorSectionNotFound, "AddService"},
      {"interface section missing", "%RefGlobal%, QavAudio.Interface.Private", "%RefGlobal%, QavAudio.Interface.Privat",
       kErrorSectionNotFound, "QavAudio.Interface.Privat"},
      {"copy section missing", "CopyFiles = QavAudio.CopyDriver,", "CopyFiles = QavAudio.CopyDrivers,",
       kErrorSectionNotFound, "CopyFiles"},
      {"copied file not on the disk", "QavPropPage.dll = 1", "QavPropPages.dll = 1", kErrorLineNotFound, "CopyFiles"},
      {"Needs a section of no included INF", "Needs     = KS.Registration,", "Needs     = KS.Registrations,",
       kErrorSectionNotFound, "Needs"},
      {"Include of an unknown INF", "Include   = ks.inf,", "Include   = kss.inf,", kErrorLineNotFound, "Include"},
      {"no function driver", "QavAudio, 0x00000002,", "QavAudio, 0x00000000,", kErrorNoAssociatedService,
       "[QavAudio.Device.NT.Services]"},
      {"not a kernel driver", "ServiceType   = 1", "ServiceType   = 16", kErrorGeneralSyntax, "ServiceType"},
      {"start type out of range", "StartType     = 3", "StartType     = 5", kErrorGeneralSyntax, "StartType"},
      {"no service binary", "ServiceBinary = %13%\\QavAudio.sys", "", kErrorLineNotFound, "[QavAudio.Service]"},
      {"interface class not a GUID", "AddInterface = %KSCATEGORY_AUDIO%,", "AddInterface = KSCATEGORY_AUDIO,",
       kErrorGeneralSyntax, "AddInterface = KSCATEGORY_AUDIO"},
      {"unsupported AddReg flags", "HKR,,Driver,,QavAudio.sys", "HKR,,Driver,0x4,QavAudio.sys", kErrorGeneralSyntax,
       "HKR,,Driver,0x4"},
      {"unknown registry root", "HKR,,Driver,,QavAudio.sys", "HKQ,,Driver,,QavAudio.sys", kErrorGeneralSyntax,
       "HKQ,,Driver"},
      {"line outside any section", "; QavAudio.inf:", "QavAudio.inf:", kErrorExpectedSectionName, "QavAudio.inf:"},
  };
  const std::string shipped(qav::QavAudioInfText());
  for (const Damage &d : damages) {
    SCOPED_TRACE(d.what);
    std::string damaged = shipped;
    size_t at = damaged.find(d.original);
    ASSERT_NE(at, std::string::npos);
    damaged.replace(at, std::string(d.original).size(), d.replacement);
    PackageResult result = Build(damaged);
    EXPECT_EQ(result.error.code, d.code) << result.Describe();
    uint32_t expected = d.faultLine == nullptr ? 1 : LineOf(damaged, d.faultLine);
    ASSERT_NE(expected, 0u);
    EXPECT_EQ(result.error.line, expected) << result.Describe();
    EXPECT_EQ(result.Describe().rfind("QavAudio.inf:" + std::to_string(expected) + ": ", 0), 0u) << result.Describe();
    EXPECT_TRUE(result.hardwareIds.empty());
  }
}

TEST(ShippedInf, AServiceWithoutAnImageIsRefusedAtItsAddService) {
  std::vector<winsim::DriverPackage> packages;
  const std::string shipped(qav::QavAudioInfText());
  PackageResult result = BuildDriverPackages("QavAudio.inf", shipped, kArchitectureAmd64, {}, {}, &packages);
  EXPECT_EQ(result.error.code, kErrorNoAssociatedService);
  EXPECT_EQ(result.error.line, LineOf(shipped, "AddService"));
  EXPECT_TRUE(packages.empty());
}

}  // namespace
