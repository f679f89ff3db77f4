#pragma once
// Every class quorbital_foundation decodes from archives, registered in one place. Nothing in the
// library registers itself when it is loaded, so that it may be linked statically: a program (or
// a test program's main) calls this, or registerEngineClasses(), which calls it, before it reads
// an archive.

namespace foundation {

// Registers foundation's archived classes. Safe to call more than once; later calls do nothing.
void registerFoundationClasses();

}  // namespace foundation
