// The files the program brings along: the animation clip and the help document, built into
// the program and also looked for as files beside it or in its installed data folder.
#pragma once

#include <QString>
#include <vector>

namespace kestrel {

// Registers the built-in files (":/kestrel/Kestrel.avi", ":/kestrel/KestrelFTP.Hlp").
// Safe to call more than once; the parts that read them call it first.
void InitAppResources();

// The folder of an installed program's data files, relative to the program's own folder:
// a program in <prefix>/bin finds them in <prefix>/share/kestrelftp.
inline constexpr char kInstalledDataFolder[] = "../share/kestrelftp";

// Where the bare file name `name` is looked for, in order: beside the program in
// `programFolder` (the build folder), then in the installed data folder. An absolute name is
// returned alone. The built-in copy (":/kestrel/<name>") comes after these and is not listed.
std::vector<QString> ProgramFilePlaces(const QString& programFolder, const QString& name);

// The same for the running program; without an application object there are none.
std::vector<QString> ProgramFilePlaces(const QString& name);

} // namespace kestrel
