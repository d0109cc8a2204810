// This system's comm layer for the core's port objects: linked as an object file (target
// kestrocomm_system), so the program, not the core, picks the layer.
#include "comm32_platform.h"

namespace KestroComm32 {

TCommPlatform& SystemCommPlatform() { return PosixCommPlatform(); }

} // namespace KestroComm32
