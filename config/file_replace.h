#pragma once
// Whole-file reads and crash-safe whole-file replacement.
#include <optional>
#include <string>

namespace qorvel {

enum class TFileRead { Ok, Missing, Failed };

// Reads the whole file into `aContent`. Missing means the file does not exist;
// Failed covers every other refusal (no permission, a directory, an I/O error).
TFileRead ReadWholeFile(const std::string& aPath, std::string& aContent);

// Replaces the file's content with `aContent` so that a reader, a crash or a
// full disk never sees anything but the old or the new content: the text goes
// to a temporary file beside the target, is flushed to disk, then renamed over
// it. A new file is readable by its owner only (0600); an existing one keeps
// its mode (and its owner where the process may keep it), without any group
// or other permission when `aPrivate` is set. A symbolic link is followed, so
// the link stays and its target is replaced.
//
// A file whose permission bits deny the writer is refused (EACCES), even for
// a privileged process. Where the folder's bits deny making a file in it, an
// existing file is rewritten in place instead (not crash-safe, but the only
// way to save there). Returns false (with errno set) on failure.
bool ReplaceWholeFile(const std::string& aPath, const std::string& aContent, bool aPrivate = false);

// Whether the permission bits of the file or folder let this process write
// it (owner, group or others, as they apply to the effective ids; a
// privileged process is judged by the same bits).
bool MayWrite(const std::string& aPath);

}  // namespace qorvel
