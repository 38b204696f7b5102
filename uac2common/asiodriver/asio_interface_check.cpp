// Compiles the ASIO interface header on every target, so its layout checks
// hold for 32- and 64-bit builds even before code of the target uses it.
#include "uac2common/asiodriver/asio_interface.h"
