// The host's named objects in one process: the POSIX names and modes they get, a name taken once,
// semaphores with their maximum count, the recursive mutex, waits that time out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/NameClaims.h"
#include "platform/host/NamedObjects.h"
#include "platform/host/PosixNames.h"
#include "tests/server/support/TestNamespace.h"

namespace {

using servertest::LeftoverNames;
using servertest::TestNamespace;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

constexpr char SharedName[] = "\\RtDevice\\Quelta\\Serial1.sm";
constexpr char SemaphoreName[] = "\\RtDevice\\Quelta\\Serial1.s1";
constexpr char MutexName[] = "\\RtDevice\\Quelta\\Serial1";

mode_t ModeOfFile(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

std::string ShmFile(const char* platformName) {
    return host::SharedMemoryPath(posix_names::ObjectName(platformName));
}

class NamedObjects : public ::testing::Test {
protected:
    void TearDown() override {
        host::ClearFaults();
        unsetenv("RTSS_OBJECT_MODE");
        EXPECT_THAT(LeftoverNames(), IsEmpty()) << "a closed handle leaves no name behind";
    }
};

TEST_F(NamedObjects, EachKindLivesUnderItsMappedNameWithItsOwnerLock) {
    void* block = nullptr;
    RtHandle shared = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 8236, SharedName, &block);
    RtHandle semaphore = RtCreateSemaphoreA(nullptr, 0, 1, SemaphoreName);
    RtHandle mutex = RtCreateMutexA(nullptr, false, MutexName);
    ASSERT_NE(shared, nullptr);
    ASSERT_NE(semaphore, nullptr);
    ASSERT_NE(mutex, nullptr);
    const std::string base = TestNamespace() + ".RtDevice.Quelta.Serial1";
    EXPECT_THAT(LeftoverNames(),
                UnorderedElementsAre(base + ".sm", base + ".sm.owner", "sem." + base + ".s1",
                                     base + ".s1.owner", base, base + ".owner"));
    EXPECT_EQ(host::OpenNamedObjects(), 3u);

    struct stat status {};
    ASSERT_EQ(stat(ShmFile(SharedName).c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 8236) << "exactly the requested size";
    EXPECT_EQ(static_cast<unsigned char*>(block)[8235], 0) << "a new object reads zero";
    ASSERT_EQ(stat(ShmFile(MutexName).c_str(), &status), 0);
    EXPECT_EQ(static_cast<std::size_t>(status.st_size), sizeof(posix_names::MutexObject));

    RtCloseHandle(mutex);
    RtCloseHandle(semaphore);
    RtCloseHandle(shared);
    EXPECT_EQ(host::OpenNamedObjects(), 0u);
}

TEST_F(NamedObjects, ModeIs0600WhateverTheUmask) {
    const mode_t previous = umask(0);  // would leave group and others the mode's bits
    void* block = nullptr;
    RtHandle shared = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &block);
    RtHandle semaphore = RtCreateSemaphoreA(nullptr, 0, 1, SemaphoreName);
    RtHandle mutex = RtCreateMutexA(nullptr, false, MutexName);
    umask(previous);
    EXPECT_EQ(ModeOfFile(ShmFile(SharedName)), 0600u);
    EXPECT_EQ(ModeOfFile(host::SemaphorePath(posix_names::ObjectName(SemaphoreName))), 0600u);
    EXPECT_EQ(ModeOfFile(ShmFile(MutexName)), 0600u);
    EXPECT_EQ(ModeOfFile(host::SharedMemoryPath(
                  host::OwnerLockName(posix_names::ObjectName(SharedName)))),
              0600u);
    RtCloseHandle(mutex);
    RtCloseHandle(semaphore);
    RtCloseHandle(shared);
}

TEST_F(NamedObjects, ObjectModeWidensButNeverNarrows) {
    const mode_t previous = umask(0077);  // would take the group's bits away
    setenv("RTSS_OBJECT_MODE", "0660", 1);
    void* block = nullptr;
    RtHandle shared = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &block);
    RtHandle semaphore = RtCreateSemaphoreA(nullptr, 0, 1, SemaphoreName);
    RtHandle mutex = RtCreateMutexA(nullptr, false, MutexName);
    umask(previous);
    EXPECT_EQ(ModeOfFile(ShmFile(SharedName)), 0660u);
    EXPECT_EQ(ModeOfFile(host::SemaphorePath(posix_names::ObjectName(SemaphoreName))), 0660u);
    EXPECT_EQ(ModeOfFile(ShmFile(MutexName)), 0660u);
    setenv("RTSS_OBJECT_MODE", "0004", 1);
    EXPECT_EQ(host::ObjectMode(), 0604u);
    setenv("RTSS_OBJECT_MODE", "rw", 1);
    EXPECT_EQ(host::ObjectMode(), 0600u) << "an unreadable mode keeps the default";
    RtCloseHandle(mutex);
    RtCloseHandle(semaphore);
    RtCloseHandle(shared);
}

// Taken by a living owner (this process), each kind of name fails with "already exists" and the
// owner's object stays as it was.
TEST_F(NamedObjects, ATakenNameFailsWithAlreadyExists) {
    void* block = nullptr;
    RtHandle shared = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &block);
    RtHandle semaphore = RtCreateSemaphoreA(nullptr, 1, 1, SemaphoreName);
    RtHandle mutex = RtCreateMutexA(nullptr, false, MutexName);
    static_cast<unsigned char*>(block)[0] = 0x5A;

    void* second = nullptr;
    SetLastError(0);
    EXPECT_EQ(RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &second), nullptr);
    EXPECT_EQ(GetLastError(), RtError::AlreadyExists);
    SetLastError(0);
    EXPECT_EQ(RtCreateSemaphoreA(nullptr, 0, 1, SemaphoreName), nullptr);
    EXPECT_EQ(GetLastError(), RtError::AlreadyExists);
    SetLastError(0);
    EXPECT_EQ(RtCreateMutexA(nullptr, false, MutexName), nullptr);
    EXPECT_EQ(GetLastError(), RtError::AlreadyExists);

    EXPECT_EQ(static_cast<unsigned char*>(block)[0], 0x5A);
    EXPECT_EQ(RtWaitForSingleObject(semaphore, 0), RtValue::WaitObject0)
        << "the owner's semaphore kept its count";
    EXPECT_EQ(host::OpenNamedObjects(), 3u);
    RtCloseHandle(mutex);
    RtCloseHandle(semaphore);
    RtCloseHandle(shared);
}

TEST_F(NamedObjects, AClosedNameCanBeCreatedAfresh) {
    void* block = nullptr;
    RtHandle first = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &block);
    static_cast<unsigned char*>(block)[0] = 0x5A;
    RtCloseHandle(first);
    EXPECT_FALSE(servertest::SharedMemoryExists(SharedName));
    RtHandle second = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &block);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(block)[0], 0) << "a new object, not the old one";
    RtCloseHandle(second);
}

// What a creator that died left: the object, its unlocked owner lock and a draft it never linked.
TEST_F(NamedObjects, ADeadCreatorsLeftoversAreReclaimed) {
    const std::string objectName = posix_names::ObjectName(SharedName);
    for (const std::string& name : {objectName, host::OwnerLockName(objectName),
                                    objectName + ".draft.99999.0"}) {
        const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, 64), 0);
        ASSERT_EQ(write(fd, "stale", 5), 5);
        close(fd);
    }
    void* block = nullptr;
    RtHandle shared = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &block);
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(block)[0], 0) << "a new object, not the stale one";
    const std::string base = TestNamespace() + ".RtDevice.Quelta.Serial1.sm";
    EXPECT_THAT(LeftoverNames(), UnorderedElementsAre(base, base + ".owner"));
    RtCloseHandle(shared);
}

TEST_F(NamedObjects, SemaphoreReleaseStopsAtItsMaximum) {
    RtHandle semaphore = RtCreateSemaphoreA(nullptr, 0, 2, SemaphoreName);
    std::int32_t previous = -1;
    EXPECT_TRUE(RtReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 0);
    SetLastError(0);
    EXPECT_FALSE(RtReleaseSemaphore(semaphore, 2, &previous)) << "1 + 2 passes the maximum 2";
    EXPECT_EQ(GetLastError(), RtError::TooManyPosts);
    EXPECT_TRUE(RtReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 1);
    EXPECT_FALSE(RtReleaseSemaphore(semaphore, 1, nullptr));
    EXPECT_EQ(RtWaitForSingleObject(semaphore, 0), RtValue::WaitObject0);
    EXPECT_EQ(RtWaitForSingleObject(semaphore, 0), RtValue::WaitObject0);
    EXPECT_EQ(RtWaitForSingleObject(semaphore, 0), RtValue::WaitTimeout)
        << "the failed releases added nothing";
    EXPECT_EQ(RtWaitForSingleObject(semaphore, 20), RtValue::WaitTimeout)
        << "a wait past the polling window sleeps and then times out";
    EXPECT_FALSE(RtReleaseSemaphore(semaphore, 0, nullptr));
    EXPECT_EQ(GetLastError(), RtError::InvalidParameter);
    RtCloseHandle(semaphore);
}

TEST_F(NamedObjects, MutexIsRecursiveForItsOwner) {
    RtHandle mutex = RtCreateMutexA(nullptr, false, MutexName);
    EXPECT_EQ(RtWaitForSingleObject(mutex, RtValue::Infinite), RtValue::WaitObject0);
    EXPECT_EQ(RtWaitForSingleObject(mutex, 0), RtValue::WaitObject0);
    RtCloseHandle(mutex);
}

TEST_F(NamedObjects, WaitsAndReleasesOnOtherHandlesFail) {
    void* block = nullptr;
    RtHandle shared = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &block);
    EXPECT_EQ(RtWaitForSingleObject(shared, 0), RtValue::WaitFailed);
    EXPECT_EQ(RtWaitForSingleObject(nullptr, 0), RtValue::WaitFailed);
    SetLastError(0);
    EXPECT_FALSE(RtReleaseSemaphore(shared, 1, nullptr));
    EXPECT_EQ(GetLastError(), RtError::InvalidHandle);
    RtCloseHandle(shared);
}

TEST_F(NamedObjects, InjectedFaultsFailCreationAndLeaveNoName) {
    void* block = nullptr;
    host::FailNthCall(host::Fault::SharedMemory, 1);
    EXPECT_EQ(RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &block), nullptr);
    host::FailNthCall(host::Fault::Semaphore, 2);
    RtHandle first = RtCreateSemaphoreA(nullptr, 0, 1, SemaphoreName);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(RtCreateSemaphoreA(nullptr, 0, 1, "\\RtDevice\\Quelta\\Serial1.s2"), nullptr);
    host::FailNthCall(host::Fault::Mutex, 1);
    EXPECT_EQ(RtCreateMutexA(nullptr, false, MutexName), nullptr);
    EXPECT_FALSE(servertest::SemaphoreExists("\\RtDevice\\Quelta\\Serial1.s2"));
    EXPECT_FALSE(servertest::SharedMemoryExists(MutexName));
    RtCloseHandle(first);
}

// The end of the process removes the names it still holds; a handle closed after that must not
// remove a name that a newer object has taken since.
TEST_F(NamedObjects, ProcessEndRemovesNamesAndLaterClosesLeaveNewOwnersAlone) {
    void* block = nullptr;
    RtHandle old = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &block);
    ASSERT_NE(old, nullptr);
    host::RunProcessEndWork();
    EXPECT_THAT(LeftoverNames(), IsEmpty());
    RtHandle newer = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &block);
    ASSERT_NE(newer, nullptr);
    RtCloseHandle(old);
    EXPECT_TRUE(servertest::SharedMemoryExists(SharedName));
    RtCloseHandle(newer);
}

}  // namespace
