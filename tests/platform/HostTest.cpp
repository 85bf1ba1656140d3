#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/Host.h"
#include "platform/InstanceLock.h"
#include "support/TestSupport.h"

using testsupport::TempDir;

namespace {

// Points the session's runtime folder at a private one for the life of the object.
class PrivateRuntimeDir {
  public:
    PrivateRuntimeDir() {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        m_had = old != nullptr;
        m_old = m_had ? old : "";
        setenv("XDG_RUNTIME_DIR", m_dir.Path().c_str(), 1);
    }
    ~PrivateRuntimeDir() {
        if (m_had) {
            setenv("XDG_RUNTIME_DIR", m_old.c_str(), 1);
        } else {
            unsetenv("XDG_RUNTIME_DIR");
        }
    }
    const std::string& Path() const { return m_dir.Path(); }

  private:
    TempDir m_dir;
    bool m_had = false;
    std::string m_old;
};

}  // namespace

TEST(InstanceLock, OnlyOneProcessHoldsItUntilItLetsGoOrEnds) {
    PrivateRuntimeDir runtime;
    EXPECT_EQ(platform::InstanceLock::PathFor("Tessaroven"), runtime.Path() + "/Tessaroven");

    auto tryInChild = [] {
        return testsupport::RunInChild([] {
            platform::InstanceLock lock;
            return lock.Acquire("Tessaroven") ? 0 : 1;
        });
    };
    {
        platform::InstanceLock lock;
        ASSERT_TRUE(lock.Acquire("Tessaroven"));
        EXPECT_EQ(tryInChild(), 1);
        lock.Release();
        EXPECT_EQ(tryInChild(), 0);
    }
    // A holder that dies without letting go does not keep the lock.
    EXPECT_EQ(testsupport::RunInChild([] {
                  static platform::InstanceLock lock;
                  return lock.Acquire("Tessaroven") ? 0 : 1;
              }),
              0);
    platform::InstanceLock again;
    EXPECT_TRUE(again.Acquire("Tessaroven"));
    // Another name is another lock.
    EXPECT_EQ(testsupport::RunInChild([] {
                  platform::InstanceLock lock;
                  return lock.Acquire("Other") ? 0 : 1;
              }),
              0);
}

// Without a runtime folder the lock goes to a folder of our own in the temp folder; one that
// someone else made there first is refused, and that is told apart from another copy running.
TEST(InstanceLock, WithoutARuntimeFolderOnlyAPrivateFolderWillDo) {
    TempDir tmp;
    chmod(tmp.Path().c_str(), 01777);
    const char* oldRuntime = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedRuntime = oldRuntime != nullptr ? oldRuntime : "";
    unsetenv("XDG_RUNTIME_DIR");
    setenv("TMPDIR", tmp.Path().c_str(), 1);
    const std::string folder = tmp / ("tessaroven-" + std::to_string(getuid()));
    EXPECT_EQ(platform::InstanceLock::PathFor("Tessaroven"), folder + "/Tessaroven");
    {
        platform::InstanceLock lock;
        ASSERT_TRUE(lock.Acquire("Tessaroven"));
        struct stat st {};
        ASSERT_EQ(stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_EQ(testsupport::RunInChild([] {
                      platform::InstanceLock other;
                      return !other.Acquire("Tessaroven") && other.Error() == 0 ? 0 : 1;
                  }),
                  0);
    }
    // A folder anyone may write to (as one planted by another user would be).
    chmod(folder.c_str(), 0777);
    platform::InstanceLock lock;
    EXPECT_FALSE(lock.Acquire("Tessaroven"));
    EXPECT_NE(lock.Error(), 0);
    unsetenv("TMPDIR");
    if (oldRuntime != nullptr) {
        setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
    }
}

TEST(Host, NamesOfThisComputerAndUser) {
    const std::string computer = platform::ComputerName();
    EXPECT_FALSE(computer.empty());
    EXPECT_EQ(computer.find('.'), std::string::npos);
    const passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(platform::UserName(), pw->pw_name);
    EXPECT_EQ(platform::SystemErrorText(ENOENT), "No such file or directory");
    EXPECT_TRUE(platform::IsDirectory(platform::ExecutableFolder()));
    EXPECT_TRUE(testsupport::Exists(platform::ExecutableFolder() + "/platform_tests"));
}

TEST(Host, MakeDirectoryPathCreatesEveryParent) {
    TempDir dir;
    EXPECT_TRUE(platform::MakeDirectoryPath(dir / "a/b/c"));
    EXPECT_TRUE(platform::IsDirectory(dir / "a/b/c"));
    EXPECT_TRUE(platform::MakeDirectoryPath(dir / "a/b/c/"));  // already there
    testsupport::WriteFile(dir / "file", "x");
    EXPECT_FALSE(platform::MakeDirectoryPath(dir / "file/sub"));
    EXPECT_FALSE(platform::MakeDirectoryPath(""));
}

TEST(Host, StoreLocationsFollowTheEnvironment) {
    setenv("TESSAROVEN_COMMON_APPDATA", "/srv/state", 1);
    unsetenv("TESSAROVEN_MACHINE_REGISTRY");
    EXPECT_EQ(platform::CommonAppDataFolder(), "/srv/state");
    EXPECT_EQ(platform::MachineRegistryPath(), "/srv/state/tessaroven/registry.db");
    setenv("TESSAROVEN_MACHINE_REGISTRY", "/tmp/m.db", 1);
    EXPECT_EQ(platform::MachineRegistryPath(), "/tmp/m.db");

    unsetenv("TESSAROVEN_USER_REGISTRY");
    setenv("XDG_CONFIG_HOME", "/home/u/cfg", 1);
    EXPECT_EQ(platform::UserRegistryPath(), "/home/u/cfg/tessaroven/registry.db");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(platform::UserRegistryPath(), "/home/u/.config/tessaroven/registry.db");
    setenv("TESSAROVEN_USER_REGISTRY", "/tmp/u.db", 1);
    EXPECT_EQ(platform::UserRegistryPath(), "/tmp/u.db");

    unsetenv("TESSAROVEN_COMMON_APPDATA");
    unsetenv("TESSAROVEN_MACHINE_REGISTRY");
    unsetenv("TESSAROVEN_USER_REGISTRY");
    EXPECT_EQ(platform::CommonAppDataFolder(), "/var/lib");
}
