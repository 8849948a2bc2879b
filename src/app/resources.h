// The files built into the program: the animation clip and the help document.
#pragma once

namespace kestrel {

// Registers the built-in files (":/kestrel/Kestrel.avi", ":/kestrel/KestrelFTP.Hlp").
// Safe to call more than once; the parts that read them call it first.
void InitAppResources();

} // namespace kestrel
