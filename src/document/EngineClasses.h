#pragma once
// Every class quorbital_engine decodes from archives, every output type, the class-name
// substitutions and the hooks between the engine's files, registered in one place. Nothing in the
// library registers itself when it is loaded, so that it may be linked statically: programs and
// test programs call this once at start, before they read an archive or ask for an output type.
// Device and desktop backends are not the engine's: quorbital_platform registers them
// (platform::registerPlatformBackends).

// Registers foundation's classes (registerFoundationClasses), then the engine's. Safe to call
// more than once; later calls do nothing.
void registerEngineClasses();
