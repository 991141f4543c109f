#pragma once
// Where the configuration file "EMI.INI" lives, and how its password is kept.
#include <string>
#include <string_view>

#include "config/ini_file.h"

namespace qorvel {

// The directory of the running program, with a "/" at its end: the program's
// real path (symbolic links resolved), whatever the current directory is.
std::string AppDirectory();

// The configuration file: the path that a "-I:" or "/I:" switch (either case;
// the first one) gives exactly as written, else ConfigFileFor
// (AppDirectory()). A file that does not exist reads as empty; the first write
// creates it.
TIniFile OpenConfig();

// A program run from a build tree (a CMakeCache.txt in its folder or up to two
// above) keeps "EMI.INI" beside itself, in aProgramDirectory (which ends in
// "/"). An installed program, whoever runs it (root can write /usr/bin), uses
// "qorvel/EMI.INI" in $XDG_CONFIG_HOME, or in ~/.config when that is unset or
// not absolute; its folders are created (0700) at the first write.
TIniFile ConfigFileFor(const std::string& aProgramDirectory);
bool InBuildTree(const std::string& aProgramDirectory);
// $aVariable when it is absolute, else the home folder followed by aFallback
// ("/.config", "/.local/share").
std::string UserFolder(const char* aVariable, const char* aFallback);

// Where the message history lives unless EMI.INI says otherwise: beside
// aIniPath ("messages.db") when the program runs from its build tree, as its
// EMI.INI does; else "qorvel/messages.db" in $XDG_DATA_HOME, or in
// ~/.local/share when that is unset or not absolute.
std::string DefaultHistoryPath(const std::string& aIniPath, bool aBuildTree);
// The history's file as [History] File gives it: DefaultHistoryPath when the
// key is missing, empty (history off) when its value is, a relative path
// taken from EMI.INI's folder. Raises EIniFileError naming the key when the
// value names a folder.
std::string HistoryFile(const TIniFile& aIni, bool aBuildTree);

// The stored form of a password, and the way back: the text reversed, then
// every letter and digit mirrored within its range (a..z, A..Z, 0..9).
std::string ScramblePassword(std::string_view Text);

}  // namespace qorvel
