#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

// A file read through a read-only memory mapping: a large document costs address space, not
// memory. Owns the descriptor it is given (closed once the file is mapped: the mapping keeps it).
// A large file also keeps a read-only descriptor of its own, for a child process to read it
// without a copy; small ones keep none, so that thousands of them waiting hold no descriptor.
class MappedFile {
  public:
    MappedFile() = default;
    explicit MappedFile(int fd);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // False when the file could not be mapped (an empty file maps to no bytes and is fine).
    bool Ok() const { return m_ok; }
    std::string_view Data() const { return {static_cast<const char*>(m_data), m_size}; }
    // The file, open for reading only; -1 for a small file (or where it could not be reopened).
    int ReadOnlyDescriptor() const { return m_readOnly; }

    // From this size on a file keeps its read-only descriptor: below it a copy through a pipe
    // costs a few milliseconds, and the documents waiting to be counted (at most 1 GiB of them)
    // hold at most a hundred or so descriptors.
    static constexpr std::size_t kDescriptorFrom = 8u << 20;

  private:
    int m_fd = -1;
    int m_readOnly = -1;
    void* m_data = nullptr;
    std::size_t m_size = 0;
    bool m_ok = false;
};

// An unnamed file only this process can reach, in the folder for temporary files; it is gone
// when its descriptor closes. -1 on failure.
int AnonymousFile();

}  // namespace platform
