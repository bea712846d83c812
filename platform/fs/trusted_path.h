#pragma once
// Whether a file may be trusted with code that runs with our privileges: a
// library to load, or a program that the bus or systemd will start as root.
// It may be, when nobody but root (or the user we run as) could have put it
// there or could change it: the file and every directory above it are
// owned by root or by the effective user, and none of them can be written
// by group or others. A sticky directory such as /tmp is the exception:
// others may add names to it but cannot replace an entry they do not own,
// so it is safe when the entry below it passes the owner rule.
//
// The effective user is accepted besides root because a process gains
// nothing by running code its own user could have written anyway; for
// registration, which runs as root, the rule is "owned by root".

#include <optional>
#include <string>

namespace fybootp::fs {

// Why a file is not trusted: the file as it was named, the path that fails
// the rule (the resolved file itself or a directory above it) and what is
// wrong with it.
struct Distrust {
    std::string file;
    std::string path;
    std::string reason;
};

// Resolves `path` with realpath(3): every symbolic link is followed to the
// file that would be opened and a relative path is taken against the
// working directory, so the check judges what a later open of the resolved
// path reaches. A caller loads the resolved path (*resolved), never the
// text it was given, so that a link cannot be turned elsewhere after the
// check. nullopt when the resolved file and every directory above it pass;
// otherwise the first failure, from the file upwards. A path that does not
// resolve is a failure too.
std::optional<Distrust> FindDistrust(const std::string& path, std::string* resolved);

// "<file>: <path> <reason>", or "<path> <reason>" when the file itself
// fails, for a line on standard error.
std::string DistrustText(const Distrust& distrust);

}  // namespace fybootp::fs
