// A device driver package as its INF describes it for one architecture:
// the [Version] identity, the models of each manufacturer with the hardware
// ids they name, and each model's installation (DDInstall and its .HW,
// .Services and .Interfaces sections). Read and checked in full before
// anything is installed, so that a malformed INF changes nothing.
#pragma once
#include <wdm.h>

#include <memory>
#include <string>
#include <vector>

#include "winsim/setup/inf_addreg.h"
#include "winsim/setup/inf_file.h"

namespace winsim::setup {

// The decoration of a 64-bit x64 machine's sections ([Models.NTamd64]).
inline constexpr char kArchitectureAmd64[] = "NTamd64";

// SPSVCINST_ASSOCSERVICE: the AddService entry that is the device's function driver.
inline constexpr uint32_t kServiceIsFunctionDriver = 0x00000002;

struct InterfaceInstall {
  uint32_t line = 0;
  GUID classGuid{};
  std::u16string reference;
  std::vector<RegWrite> addReg;  // HKR: the interface's Device Parameters key
};

struct ServiceInstall {
  uint32_t line = 0;
  std::u16string name;
  uint32_t flags = 0;
  uint32_t serviceType = 0;
  uint32_t startType = 0;
  uint32_t errorControl = 0;
  std::u16string imagePath;  // \SystemRoot\... as the service key holds it
  std::u16string displayName;
  std::vector<RegWrite> addReg;  // HKR: the service key
};

struct DeviceInstall {
  std::string section;                 // the DDInstall section used (decorated)
  std::vector<RegWrite> softwareKey;   // DDInstall AddReg, HKR: the driver key
  std::vector<RegWrite> hardwareKey;   // DDInstall.HW AddReg, HKR: Enum\...\Device Parameters
  std::vector<InterfaceInstall> interfaces;
  std::vector<ServiceInstall> services;
  std::vector<std::string> files;      // what CopyFiles copies

  // The AddService entry flagged as function driver, or null.
  const ServiceInstall *FunctionService() const;
};

struct InfModel {
  uint32_t line = 0;
  std::u16string description;
  std::u16string hardwareId;
  std::vector<std::u16string> compatibleIds;
  std::shared_ptr<const DeviceInstall> install;
};

struct InfPackage {
  GUID classGuid{};
  std::u16string className;
  std::u16string provider;
  std::u16string driverVersion;
  std::u16string manufacturer;
  std::vector<InfModel> models;
};

// Reads the package for `architecture` (kArchitectureAmd64).
InfError ReadInfPackage(const InfFile &inf, std::string_view architecture, InfPackage *package);

bool ParseGuidText(std::string_view text, GUID *guid);

}  // namespace winsim::setup
