// The preferred ASIO buffer size, kept per user in the registry.
#pragma once
#include <windows.h>

#include <cstdint>

namespace qavasio {

// "AsioBufferSize" of the user's driver key; 256 when the key or value is
// missing. Reading never creates the key.
uint32_t ReadPreferredBufferSize();
// Creates the key when needed; a key that cannot be made writes nothing.
void WritePreferredBufferSize(uint32_t samples);

}  // namespace qavasio
