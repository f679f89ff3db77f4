#pragma once
// The Linux backends of quorbital_platform, injected into the interfaces the engine and foundation
// call (today Bonjour: foundation::BonjourBackend). Only this library links the system libraries
// behind them (Avahi), so the engine and the programs that do not call this need none of them.
// The quorbital program calls it at start; tests call it only to reach a real backend, and
// otherwise set a fake (FakeBonjourBackend.h).

namespace platform {

// Makes Avahi the default Bonjour backend. Safe to call more than once; later calls do nothing.
void registerPlatformBackends();

}  // namespace platform
