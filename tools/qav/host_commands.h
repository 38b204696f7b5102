// Commands of the host build of qav, run against the simulated machine.
#pragma once
#include <string>

namespace qav {

int RunStart(const std::string &modelName);
int ListModels();

}  // namespace qav
