#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Owner, group and rights of a file, as far as the logic needs them.
struct FileOwnership {
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint32_t mode = 0;  // permission bits only
};

// A file in a folder that other users may write to. Every open refuses a symbolic link and
// anything that is not a regular file, and never blocks on a FIFO or a device someone planted
// there: such a name fails like a missing file would, with errno telling why.
class SharedFile {
  public:
    SharedFile() = default;
    ~SharedFile();
    SharedFile(SharedFile&& other) noexcept;
    SharedFile& operator=(SharedFile&& other) noexcept;
    SharedFile(const SharedFile&) = delete;
    SharedFile& operator=(const SharedFile&) = delete;

    bool OpenForReading(const std::string& path);
    // Reading and writing, for a rewrite that must hold the file's lock.
    bool OpenForUpdate(const std::string& path);
    // Appending, the file created when missing; created tells whether this call made it. When the
    // file may be read as well, LastByte and ReadAt work on it. Where the file system refuses
    // appending opens (some network clients do), writes go to the end the file has when they
    // start: only a caller holding the file's lock, or its only writer, may rely on that.
    bool OpenForAppending(const std::string& path, bool& created);
    // A new file that did not exist before (nothing is followed or overwritten); EEXIST if taken.
    bool CreateNew(const std::string& path);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // Whether this file, opened for appending, has every write seek to the end (the appending
    // open was refused).
    bool AppendsBySeeking() const { return m_fd >= 0 && m_seekToEnd; }

    // Bytes read; 0 at the end, -1 with errno on a failure.
    long Read(char* buffer, size_t size);
    // Up to size bytes from offset, without moving the read position; -1 with errno on failure.
    long ReadAt(std::int64_t offset, char* buffer, size_t size) const;
    bool WriteAll(std::string_view bytes);
    bool Sync();
    std::int64_t Size() const;  // -1 on failure
    // The file's last byte; false when it is empty or cannot be read.
    bool LastByte(char& byte) const;
    bool Truncate(std::int64_t size);

    enum class LockResult { Locked, TimedOut, Unsupported };
    // The exclusive lock of the file, which only a process that may write it can take (the file
    // must be open for writing). Waits at most wait; released when the file is closed.
    LockResult Lock(std::chrono::milliseconds wait);

    // Whether path (not followed) still names this very file.
    bool IsAt(const std::string& path) const;

    bool Ownership(FileOwnership& out) const;
    // False with errno when the system refuses (only an administrator may give a file away).
    bool SetOwner(std::uint32_t owner, std::uint32_t group);
    bool SetGroup(std::uint32_t group);
    bool SetMode(std::uint32_t mode);

  protected:
    int m_fd = -1;
    bool m_seekToEnd = false;
};

// A new file that replaces another in one step once it is complete. Until then it has no name
// in the folder where that is possible, so a process that dies midway leaves nothing behind;
// elsewhere it has a temporary name that RemoveStaleReplacements recognises.
class ReplacementFile : public SharedFile {
  public:
    ~ReplacementFile();
    bool Create(const std::string& dir);
    // Puts the file in place of target. The file stays open (and locked) until closed.
    bool Replace(const std::string& target);
    // Removes the temporary name, if there is one; the file goes away when closed.
    void Discard();
    // The temporary name in full, empty while the file has none.
    std::string TemporaryPath() const;
    // Leaves the file under its temporary name when it is closed.
    void Keep() { m_tempName.clear(); }

  private:
    std::string m_dir;
    std::string m_tempName;  // empty while the file has no name
};

// Removes temporary files a killed replacement left in dir: only regular files of the
// replacement's naming whose lock is free, that is whose writer is gone.
void RemoveStaleReplacements(const std::string& dir);

// Names of the regular files directly in dir (no links, folders, FIFOs or devices). When the
// folder cannot be listed, error holds the errno (0 otherwise) and the list is empty.
std::vector<std::string> RegularFilesIn(const std::string& dir, int* error = nullptr);

// From now on, appending opens of files in dir (and below) fail with EIO, as they do through
// network clients that refuse O_APPEND; an empty dir ends that. For tests of the fallback.
void RefuseAppendingOpensIn(const std::string& dir);

// Whether files in dir are meant to be shared with the folder's group.
bool IsGroupSharedFolder(const std::string& dir);
// Whether dir is a group-shared folder in which each member's files are protected from the
// others (the sticky bit): a member may add files, and rename or remove only its own.
bool IsProtectedSharedFolder(const std::string& dir);
// Who owns a file (FileOwnership::owner) when it is this process.
bool IsCallersOwn(const FileOwnership& ownership);
// The account name of an owner, or its number when it has none.
std::string OwnerName(std::uint32_t owner);

// Where this user's program keeps state of its own on this computer:
// $XDG_STATE_HOME/tessaroven, else ~/.local/state/tessaroven (not created here).
std::string UserStateFolder();

// The size of the regular file at path (not followed) as the file system tells it now, apart
// from any file open under that name; -1 with errno when there is none.
std::int64_t SizeAt(const std::string& path);

// Makes a rename or a new name in dir last a crash.
void SyncFolder(const std::string& dir);

// Whether a file in dir that this program holds open can be replaced by a rename in one step.
// FUSE mounts (the gvfs SMB client among them) cannot: they first move an open file aside under
// a hidden name and delete it once it is closed, so that a replacement that then fails leaves
// nothing under the old name and the original is gone when it is closed.
bool ReplacesOpenFilesInOneStep(const std::string& dir);

}  // namespace platform
