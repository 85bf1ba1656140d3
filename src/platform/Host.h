#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// This computer's short host name (what other machines see as the submitting computer).
std::string ComputerName();

// Login name of the real user; empty when it cannot be found.
std::string UserName();

// The machine-wide state folder: $TESSAROVEN_COMMON_APPDATA, else /var/lib.
std::string CommonAppDataFolder();

// The lock the system service holds while it runs: $TESSAROVEN_SERVICE_LOCK, else
// /run/tessaroven/service.lock.
std::string ServiceLockPath();

// Folder of the running executable, without a trailing slash.
std::string ExecutableFolder();

// The program's arguments as UTF-8 (Windows hands argv over in the ANSI code page; the
// arguments are taken from the UTF-16 command line there).
std::vector<std::string> ProgramArguments(int argc, char** argv);
// Standard output and error pass bytes unchanged (Windows would add a CR before every LF).
void UseBinaryStandardStreams();
// Readable text of an errno value.
std::string SystemErrorText(int error);

// Creates the folder and every missing parent. True when the folder exists afterwards.
bool MakeDirectoryPath(const std::string& path);

bool IsDirectory(const std::string& path);

// fopen for a UTF-8 path (on Windows through the wide call, so that any character reaches it).
std::FILE* OpenFile(const std::string& path, const char* mode);

// Files of the settings store roots, after environment overrides.
std::string MachineRegistryPath();
std::string UserRegistryPath();

}  // namespace platform
