#pragma once
// The FireWire bus of the machine, through libraw1394: units are found by reading every node's
// configuration ROM (FireWireConfigROM.h), again after each bus reset, and told apart by GUID and
// software version; a unit whose node went away hears that it is asked to close, and its node ID is
// looked up again after every reset. Reads and writes are 8-byte block transactions on a handle of
// the calling thread's own (libraw1394 handles are not shared between threads).
//
// Without a FireWire port (no permission on /dev/fw*, no controller) watching finds nothing, and
// says so once in the log.

#include "flame/FireWireBus.h"

#include <memory>

namespace platform {

std::shared_ptr<FireWireBus> raw1394FireWireBus();

}  // namespace platform
