#pragma once
// What makes the registry entries work on Linux, kept in files that decide
// what runs as root: the bus activation file and the bus policy, the
// service unit, and the group whose members may call the server. All of
// them hang below FYBOOTP_ROOT.

#include <optional>
#include <string>

#include "host/system_accounts.h"
#include "platform/com/hresult.h"

namespace fybootp::host {

// A message box of registration: "FyBootp: <text>" on standard error.
void ShowMessage(const std::string& caption, const std::string& text);

// True when the registry directory, the directories above it below the
// root and its hive files are owned by this user and writable by nobody
// else; otherwise false and the reason in *why. A user who could rewrite
// LocalServer32 would run code as root at the next activation.
bool RegistryIsPrivate(std::string* why);

// Makes the missing directories of path with mode 0755; 0 or an errno.
int MakeDirectories(const std::string& path);
// Replaces path crash-safely by a regular file of mode 0644 holding text
// (a link of that name is replaced, never followed); 0 or an errno.
int WriteSystemFile(const std::string& path, const std::string& text);
// 0 when the file is gone (or never was), else the errno.
int RemoveSystemFile(const std::string& path);

// Quoted for a bus activation file's Exec line (shell-like words).
std::string QuoteExecWord(const std::string& word);
// The activation file's text for the module: it starts the module with
// "-Embedding" in its working directory, or, where systemd manages the
// bus, the unit named.
std::string ActivationFileText(const std::string& modulePath, const std::string& workingDirectory,
                               const std::string& unitName);
std::string BusPolicyText();

// Creates group fybootp and user _fybootp where they are missing, the
// server's directory (its user's, 0750, with a node table found at the old
// place in the state directory moved into it), and writes the policy, the
// local server's unit and the activation file, which names the service's
// unit when the server runs as a service. S_OK or the failure as an
// HRESULT.
HRESULT InstallBusFiles(const std::string& caption, const std::string& modulePath,
                        bool asService);
// Removes those files; the accounts and the directory stay, since other
// files may name them and the directory holds the node table.
HRESULT RemoveBusFiles();

// groupadd --system fybootp (with --prefix ROOT below a scratch root),
// when the group is missing. False when it is still missing.
bool EnsureGroup(const std::string& caption);
// useradd --system _fybootp likewise; the account, or nothing when it is
// still missing.
std::optional<SystemAccount> EnsureServerUser(const std::string& caption);
// The server's directory below the state directory; 0 or an errno.
int PrepareServerDirectory(const SystemAccount& user);

}  // namespace fybootp::host
