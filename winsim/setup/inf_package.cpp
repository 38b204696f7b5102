#include "winsim/setup/inf_package.h"

#include <cctype>
#include <cstdio>
#include <map>

#include "winsim/kernel/pnp_text.h"

namespace winsim::setup {
namespace {

using pnp::Widen;

InfError Error(uint32_t code, uint32_t line, std::string message) { return InfError{code, line, std::move(message)}; }

// Sections of the system INFs a package may Include, and what their Needs may name.
const struct {
  const char *inf;
  const char *sections[2];
} kSystemInfs[] = {
    {"ks.inf", {"KS.Registration", "KS.Registration.NT"}},
    {"wdmaudio.inf", {"WDMAUDIO.Registration", "WDMAUDIO.Registration.NT"}},
};

bool SystemInfKnown(const std::string &name) {
  for (const auto &known : kSystemInfs) {
    if (EqualNoCase(known.inf, name)) return true;
  }
  return false;
}

bool SystemSectionOf(const std::vector<std::string> &included, const std::string &section) {
  for (const auto &known : kSystemInfs) {
    bool isIncluded = false;
    for (const std::string &name : included) isIncluded |= EqualNoCase(name, known.inf);
    if (!isIncluded) continue;
    for (const char *name : known.sections) {
      if (EqualNoCase(name, section)) return true;
    }
  }
  return false;
}

bool HexDigits(std::string_view text, size_t count, uint64_t *value) {
  if (text.size() != count) return false;
  *value = 0;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (!std::isxdigit(u)) return false;
    *value = *value * 16 + static_cast<uint64_t>(std::isdigit(u) ? c - '0' : std::tolower(u) - 'a' + 10);
  }
  return true;
}

// "mm/dd/yyyy" optionally followed by ",w.x.y.z".
bool ValidDriverVer(const InfLine &line) {
  unsigned month = 0, day = 0, year = 0;
  char tail = 0;
  if (std::sscanf(line.Field(0).c_str(), "%2u/%2u/%4u%c", &month, &day, &year, &tail) != 3) return false;
  if (month < 1 || month > 12 || day < 1 || day > 31 || year < 1980) return false;
  if (line.fields.size() < 2) return true;
  unsigned parts[4];
  return std::sscanf(line.Field(1).c_str(), "%u.%u.%u.%u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) == 4 &&
         parts[0] <= 0xFFFF && parts[1] <= 0xFFFF && parts[2] <= 0xFFFF && parts[3] <= 0xFFFF;
}

InfError RequireVersionValue(const InfSection &version, const char *key, const InfLine **line) {
  *line = version.Find(key);
  if (*line == nullptr || (*line)->Field(0).empty()) {
    return Error(kErrorWrongInfStyle, version.number, std::string("[Version] has no ") + key);
  }
  return {};
}

InfError ReadVersion(const InfFile &inf, InfPackage *package) {
  const InfSection *version = inf.Section("Version");
  if (version == nullptr) return Error(kErrorWrongInfStyle, 1, "no [Version] section");
  const InfLine *line = nullptr;
  if (InfError e = RequireVersionValue(*version, "Signature", &line); e.Failed()) return e;
  if (!EqualNoCase(line->Field(0), "$Windows NT$") && !EqualNoCase(line->Field(0), "$Chicago$")) {
    return Error(kErrorWrongInfStyle, line->number, "Signature must be \"$WINDOWS NT$\", not \"" + line->Field(0) + "\"");
  }
  if (InfError e = RequireVersionValue(*version, "Class", &line); e.Failed()) return e;
  package->className = Widen(line->Field(0));
  if (InfError e = RequireVersionValue(*version, "ClassGuid", &line); e.Failed()) return e;
  if (!ParseGuidText(line->Field(0), &package->classGuid)) {
    return Error(kErrorGeneralSyntax, line->number, "ClassGuid is not a {GUID}: " + line->Field(0));
  }
  if (InfError e = RequireVersionValue(*version, "Provider", &line); e.Failed()) return e;
  package->provider = Widen(line->Field(0));
  if (InfError e = RequireVersionValue(*version, "DriverVer", &line); e.Failed()) return e;
  if (!ValidDriverVer(*line)) {
    return Error(kErrorGeneralSyntax, line->number, "DriverVer is not mm/dd/yyyy[,w.x.y.z]: " + line->Field(0));
  }
  package->driverVersion = Widen(line->Field(1));
  return {};
}

// The decorated section for the architecture: name.arch, name.NT, name.
const InfSection *InstallSection(const InfFile &inf, const std::string &name, std::string_view architecture) {
  for (std::string candidate : {name + "." + std::string(architecture), name + ".NT", name}) {
    if (const InfSection *section = inf.Section(candidate)) return section;
  }
  return nullptr;
}

InfError SectionNamed(const InfFile &inf, const std::string &name, const InfLine &at, const char *what,
                      const InfSection **section) {
  *section = inf.Section(name);
  if (*section == nullptr) {
    return Error(kErrorSectionNotFound, at.number, std::string(what) + " names section [" + name + "], which does not exist");
  }
  return {};
}

bool FileOnDisk(const InfFile &inf, const std::string &file, std::string_view architecture) {
  for (std::string name : {"SourceDisksFiles." + std::string(architecture == kArchitectureAmd64 ? "amd64" : ""),
                           std::string("SourceDisksFiles")}) {
    const InfSection *section = inf.Section(name);
    if (section != nullptr && section->Find(file) != nullptr) return true;
  }
  return false;
}

bool HasDestination(const InfFile &inf, const std::string &copySection) {
  const InfSection *dirs = inf.Section("DestinationDirs");
  return dirs != nullptr && (dirs->Find(copySection) != nullptr || dirs->Find("DefaultDestDir") != nullptr);
}

InfError ReadCopyFiles(const InfFile &inf, const InfLine &directive, std::string_view architecture,
                       DeviceInstall *install) {
  for (const std::string &name : directive.fields) {
    if (name.empty()) continue;
    std::vector<std::string> files;
    if (name[0] == '@') {
      files.push_back(name.substr(1));
    } else {
      const InfSection *section = nullptr;
      if (InfError e = SectionNamed(inf, name, directive, "CopyFiles", &section); e.Failed()) return e;
      if (!HasDestination(inf, name)) {
        return Error(kErrorLineNotFound, directive.number, "[DestinationDirs] gives no folder for [" + name + "]");
      }
      for (const InfLine &line : section->lines) files.push_back(line.Field(0));
    }
    for (const std::string &file : files) {
      if (!FileOnDisk(inf, file, architecture)) {
        return Error(kErrorLineNotFound, directive.number, file + " is not listed in [SourceDisksFiles]");
      }
      install->files.push_back(file);
    }
  }
  return {};
}

InfError ReadIncludes(const InfFile &inf, const InfSection &section, std::vector<std::string> *included) {
  for (const InfLine *line : section.FindAll("Include")) {
    for (const std::string &name : line->fields) {
      if (!SystemInfKnown(name)) return Error(kErrorLineNotFound, line->number, "Include names an unknown INF: " + name);
      included->push_back(name);
    }
  }
  for (const InfLine *line : section.FindAll("Needs")) {
    for (const std::string &name : line->fields) {
      if (inf.Section(name) == nullptr && !SystemSectionOf(*included, name)) {
        return Error(kErrorSectionNotFound, line->number, "Needs names section [" + name + "], found in no included INF");
      }
    }
  }
  return {};
}

InfError ReadDdInstall(const InfFile &inf, const InfSection &section, std::string_view architecture,
                       DeviceInstall *install) {
  std::vector<std::string> included;
  if (InfError e = ReadIncludes(inf, section, &included); e.Failed()) return e;
  for (const InfLine *line : section.FindAll("CopyFiles")) {
    if (InfError e = ReadCopyFiles(inf, *line, architecture, install); e.Failed()) return e;
  }
  for (const InfLine *line : section.FindAll("AddReg")) {
    if (InfError e = ReadAddReg(inf, *line, &install->softwareKey); e.Failed()) return e;
  }
  if (const InfSection *hw = inf.Section(install->section + ".HW")) {
    for (const InfLine *line : hw->FindAll("AddReg")) {
      if (InfError e = ReadAddReg(inf, *line, &install->hardwareKey); e.Failed()) return e;
    }
  }
  return {};
}

// ServiceBinary as the service key's ImagePath: below the Windows folder
// it is \SystemRoot-relative, as setup writes it.
std::u16string ImagePathOf(const std::string &binary) {
  static const std::string kWindows = "C:\\Windows\\";
  if (binary.size() > kWindows.size() && EqualNoCase(binary.substr(0, kWindows.size()), kWindows)) {
    return u"\\SystemRoot\\" + Widen(binary.substr(kWindows.size()));
  }
  return Widen(binary);
}

InfError ServiceNumber(const InfSection &section, const char *key, uint32_t highest, uint32_t *value) {
  const InfLine *line = section.Find(key);
  if (line == nullptr) return Error(kErrorLineNotFound, section.number, "[" + section.name + "] has no " + key);
  if (!ParseNumber(line->Field(0), value) || *value > highest) {
    return Error(kErrorGeneralSyntax, line->number, std::string(key) + " is out of range: " + line->Field(0));
  }
  return {};
}

InfError ReadServiceSection(const InfFile &inf, const InfSection &section, ServiceInstall *service) {
  if (InfError e = ServiceNumber(section, "ServiceType", 0x20, &service->serviceType); e.Failed()) return e;
  if (service->serviceType != 1) {
    return Error(kErrorGeneralSyntax, section.Find("ServiceType")->number,
                 "a device's driver service is a kernel driver (ServiceType 1)");
  }
  if (InfError e = ServiceNumber(section, "StartType", 4, &service->startType); e.Failed()) return e;
  if (InfError e = ServiceNumber(section, "ErrorControl", 3, &service->errorControl); e.Failed()) return e;
  const InfLine *binary = section.Find("ServiceBinary");
  if (binary == nullptr || binary->Field(0).empty()) {
    return Error(kErrorLineNotFound, section.number, "[" + section.name + "] has no ServiceBinary");
  }
  service->imagePath = ImagePathOf(binary->Field(0));
  if (const InfLine *name = section.Find("DisplayName")) service->displayName = Widen(name->Field(0));
  for (const InfLine *line : section.FindAll("AddReg")) {
    if (InfError e = ReadAddReg(inf, *line, &service->addReg); e.Failed()) return e;
  }
  return {};
}

InfError ReadServices(const InfFile &inf, const InfLine &model, DeviceInstall *install) {
  const InfSection *section = inf.Section(install->section + ".Services");
  if (section == nullptr) {
    return Error(kErrorNoAssociatedService, model.number, "[" + install->section + ".Services] is missing");
  }
  for (const InfLine *line : section->FindAll("AddService")) {
    ServiceInstall service;
    service.line = line->number;
    service.name = Widen(line->Field(0));
    if (service.name.empty() || !ParseNumber(line->Field(1).empty() ? "0" : line->Field(1), &service.flags)) {
      return Error(kErrorGeneralSyntax, line->number, "AddService = name, flags, section");
    }
    const InfSection *serviceSection = nullptr;
    if (InfError e = SectionNamed(inf, line->Field(2), *line, "AddService", &serviceSection); e.Failed()) return e;
    if (InfError e = ReadServiceSection(inf, *serviceSection, &service); e.Failed()) return e;
    install->services.push_back(std::move(service));
  }
  size_t functionDrivers = 0;
  for (const ServiceInstall &service : install->services) functionDrivers += (service.flags & kServiceIsFunctionDriver) != 0;
  if (functionDrivers != 1) {
    return Error(kErrorNoAssociatedService, section->number,
                 "[" + section->name + "] must flag exactly one AddService as the function driver (0x2)");
  }
  return {};
}

InfError ReadInterface(const InfFile &inf, const InfLine &line, InterfaceInstall *interface) {
  interface->line = line.number;
  if (!ParseGuidText(line.Field(0), &interface->classGuid)) {
    return Error(kErrorGeneralSyntax, line.number, "AddInterface needs an interface class {GUID}: " + line.Field(0));
  }
  const std::string reference = line.Field(1);
  if (reference.find_first_of("\\/") != std::string::npos) {
    return Error(kErrorGeneralSyntax, line.number, "a reference string holds no path separator: " + reference);
  }
  interface->reference = Widen(reference);
  if (!line.Field(3).empty() && line.Field(3) != "0") {
    return Error(kErrorGeneralSyntax, line.number, "AddInterface flags must be 0");
  }
  if (line.Field(2).empty()) return {};
  const InfSection *section = nullptr;
  if (InfError e = SectionNamed(inf, line.Field(2), line, "AddInterface", &section); e.Failed()) return e;
  for (const InfLine *addReg : section->FindAll("AddReg")) {
    if (InfError e = ReadAddReg(inf, *addReg, &interface->addReg); e.Failed()) return e;
  }
  return {};
}

InfError ReadInterfaces(const InfFile &inf, DeviceInstall *install) {
  const InfSection *section = inf.Section(install->section + ".Interfaces");
  if (section == nullptr) return {};
  for (const InfLine *line : section->FindAll("AddInterface")) {
    InterfaceInstall interface;
    if (InfError e = ReadInterface(inf, *line, &interface); e.Failed()) return e;
    install->interfaces.push_back(std::move(interface));
  }
  return {};
}

using InstallCache = std::map<std::string, std::shared_ptr<const DeviceInstall>>;

InfError ReadInstall(const InfFile &inf, const InfLine &model, std::string_view architecture, InstallCache *cache,
                     std::shared_ptr<const DeviceInstall> *install) {
  const InfSection *section = InstallSection(inf, model.Field(0), architecture);
  if (section == nullptr) {
    return Error(kErrorSectionNotFound, model.number, "the model's install section [" + model.Field(0) + "] does not exist");
  }
  std::string key = pnp::Narrow(pnp::Upcase(Widen(section->name)));
  if (auto it = cache->find(key); it != cache->end()) {
    *install = it->second;
    return {};
  }
  auto read = std::make_shared<DeviceInstall>();
  read->section = section->name;
  if (InfError e = ReadDdInstall(inf, *section, architecture, read.get()); e.Failed()) return e;
  if (InfError e = ReadServices(inf, model, read.get()); e.Failed()) return e;
  if (InfError e = ReadInterfaces(inf, read.get()); e.Failed()) return e;
  (*cache)[key] = read;
  *install = read;
  return {};
}

InfError ReadModels(const InfFile &inf, const InfSection &models, std::string_view architecture, InstallCache *cache,
                    InfPackage *package) {
  for (const InfLine &line : models.lines) {
    if (!line.key || line.Field(0).empty() || line.Field(1).empty()) {
      return Error(kErrorGeneralSyntax, line.number, "a model line is: description = install-section, hardware-id[, compatible-id...]");
    }
    InfModel model;
    model.line = line.number;
    model.description = Widen(*line.key);
    model.hardwareId = Widen(line.Field(1));
    for (size_t i = 2; i < line.fields.size(); ++i) model.compatibleIds.push_back(Widen(line.fields[i]));
    if (InfError e = ReadInstall(inf, line, architecture, cache, &model.install); e.Failed()) return e;
    package->models.push_back(std::move(model));
  }
  return {};
}

bool DecorationFits(const std::string &decoration, std::string_view architecture) {
  if (decoration.size() < architecture.size() || !EqualNoCase(decoration.substr(0, architecture.size()), architecture)) {
    return false;
  }
  return decoration.size() == architecture.size() || decoration[architecture.size()] == '.';
}

// [Manufacturer]: name = models-section[, decoration...]; the models of the
// architecture are in [models-section.decoration].
InfError ModelsSectionOf(const InfFile &inf, const InfLine &line, std::string_view architecture,
                         const InfSection **models) {
  std::string name = line.Field(0);
  if (line.fields.size() > 1) {
    std::string chosen;
    for (size_t i = 1; i < line.fields.size() && chosen.empty(); ++i) {
      if (DecorationFits(line.fields[i], architecture)) chosen = line.fields[i];
    }
    if (chosen.empty()) {
      return Error(kErrorNoCompatDrivers, line.number, "the manufacturer lists no models for " + std::string(architecture));
    }
    name += "." + chosen;
  }
  *models = inf.Section(name);
  if (*models == nullptr) return Error(kErrorSectionNotFound, line.number, "the models section [" + name + "] does not exist");
  return {};
}

}  // namespace

const ServiceInstall *DeviceInstall::FunctionService() const {
  for (const ServiceInstall &service : services) {
    if ((service.flags & kServiceIsFunctionDriver) != 0) return &service;
  }
  return nullptr;
}

bool ParseGuidText(std::string_view text, GUID *guid) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  std::string_view body = text.substr(1, 36);
  if (body[8] != '-' || body[13] != '-' || body[18] != '-' || body[23] != '-') return false;
  uint64_t data1 = 0, data2 = 0, data3 = 0, byte = 0;
  if (!HexDigits(body.substr(0, 8), 8, &data1) || !HexDigits(body.substr(9, 4), 4, &data2) ||
      !HexDigits(body.substr(14, 4), 4, &data3)) {
    return false;
  }
  guid->Data1 = static_cast<ULONG>(data1);
  guid->Data2 = static_cast<USHORT>(data2);
  guid->Data3 = static_cast<USHORT>(data3);
  const size_t offsets[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (size_t i = 0; i < 8; ++i) {
    if (!HexDigits(body.substr(offsets[i], 2), 2, &byte)) return false;
    guid->Data4[i] = static_cast<UCHAR>(byte);
  }
  return true;
}

InfError ReadInfPackage(const InfFile &inf, std::string_view architecture, InfPackage *package) {
  InfPackage read;
  if (InfError e = ReadVersion(inf, &read); e.Failed()) return e;
  const InfSection *manufacturers = inf.Section("Manufacturer");
  if (manufacturers == nullptr) return Error(kErrorSectionNotFound, 1, "no [Manufacturer] section");
  InstallCache cache;
  for (const InfLine &line : manufacturers->lines) {
    if (!line.key || line.Field(0).empty()) {
      return Error(kErrorGeneralSyntax, line.number, "a manufacturer line is: name = models-section[, decoration...]");
    }
    const InfSection *models = nullptr;
    if (InfError e = ModelsSectionOf(inf, line, architecture, &models); e.Failed()) return e;
    if (read.manufacturer.empty()) read.manufacturer = Widen(*line.key);
    if (InfError e = ReadModels(inf, *models, architecture, &cache, &read); e.Failed()) return e;
  }
  if (read.models.empty()) return Error(kErrorNoCompatDrivers, manufacturers->number, "the INF lists no models");
  *package = std::move(read);
  return {};
}

}  // namespace winsim::setup
