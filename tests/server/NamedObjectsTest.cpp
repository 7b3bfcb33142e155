// The host's named objects in one process: the POSIX names and modes they get, the names removed
// at the end of the process, and semaphores that keep to their maximum count.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/NameClaims.h"
#include "platform/host/NamedObjects.h"
#include "platform/host/PosixNames.h"
#include "tests/support/TestNamespace.h"

namespace {

constexpr char SharedName[] = "\\RtDevice\\Quelta\\Serial1.sm";
constexpr char SemaphoreName[] = "\\RtDevice\\Quelta\\Serial1.s1";
constexpr char MutexName[] = "\\RtDevice\\Quelta\\Serial1";

std::vector<std::string> Leftovers() {
    std::vector<std::string> names = testsupport::NamesIn(testsupport::ProcessNamespace());
    std::sort(names.begin(), names.end());
    return names;
}

mode_t ModeOf(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// One object of each kind, made under the given umask and RTSS_OBJECT_MODE.
struct Objects {
    void* block = nullptr;
    RtHandle shared, semaphore, mutex;
    Objects(mode_t mask, const char* mode) {
        if (mode != nullptr) setenv("RTSS_OBJECT_MODE", mode, 1);
        const mode_t previous = umask(mask);
        shared = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 8236, SharedName, &block);
        semaphore = RtCreateSemaphoreA(nullptr, 1, 1, SemaphoreName);
        mutex = RtCreateMutexA(nullptr, false, MutexName);
        umask(previous);
        unsetenv("RTSS_OBJECT_MODE");
    }
    ~Objects() {
        for (RtHandle handle : {mutex, semaphore, shared}) RtCloseHandle(handle);
    }
};

class NamedObjects : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(Leftovers(), std::vector<std::string>{}); }
};

// Each kind lives under its mapped name beside its owner lock, with mode 0600 whatever the umask,
// widened (never narrowed: 0044 gives 0644) by RTSS_OBJECT_MODE; closing the handles removes every
// name.
TEST_F(NamedObjects, NamesModesAndOwnerLocks) {
    const std::string base = testsupport::ProcessNamespace() + ".RtDevice.Quelta.Serial1";
    for (const auto& [mask, mode, expected] :
         {std::tuple<mode_t, const char*, mode_t>{0, nullptr, 0600}, {0077, "0044", 0644}}) {
        {
            Objects objects(mask, mode);
            ASSERT_TRUE(objects.shared && objects.semaphore && objects.mutex);
            EXPECT_EQ(Leftovers(), (std::vector<std::string>{
                                       base, base + ".owner", base + ".s1.owner", base + ".sm",
                                       base + ".sm.owner", "sem." + base + ".s1"}));
            EXPECT_EQ(host::OpenNamedObjects(), 3u);
            for (const std::string& file :
                 {"/dev/shm/" + base + ".sm", "/dev/shm/" + base, "/dev/shm/sem." + base + ".s1",
                  "/dev/shm/" + base + ".sm.owner"}) {
                EXPECT_EQ(ModeOf(file), expected) << file;
            }
            struct stat status {};
            ASSERT_EQ(stat(("/dev/shm/" + base + ".sm").c_str(), &status), 0);
            EXPECT_EQ(status.st_size, 8236) << "exactly the requested size";
            EXPECT_EQ(static_cast<unsigned char*>(objects.block)[8235], 0);
        }
        EXPECT_EQ(host::OpenNamedObjects(), 0u);
    }
}

// The end of the process removes the names it still holds; a handle closed after that must not
// remove a name that a newer object has taken since.
TEST_F(NamedObjects, ProcessEndRemovesNamesAndLaterClosesLeaveNewOwnersAlone) {
    void* block = nullptr;
    RtHandle old = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &block);
    ASSERT_NE(old, nullptr);
    host::RunProcessEndWork();
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
    RtHandle newer = RtCreateSharedMemoryA(RtValue::PageReadWrite, 0, 64, SharedName, &block);
    ASSERT_NE(newer, nullptr);
    RtCloseHandle(old);
    EXPECT_EQ(Leftovers().size(), 2u) << "the newer object and its owner lock";
    RtCloseHandle(newer);
}

// POSIX lets a client in another process post a semaphore past its maximum, where the platform
// would refuse the release: a wait takes one release and drops the surplus, so one request is
// served once and no second reply is left for the next request to take.
TEST_F(NamedObjects, ASemaphorePostedPastItsMaximumIsTakenOnce) {
    RtHandle semaphore = RtCreateSemaphoreA(nullptr, 0, 1, SemaphoreName);
    sem_t* posix = sem_open(posix_names::ObjectName(SemaphoreName).c_str(), 0);
    ASSERT_NE(posix, SEM_FAILED);
    sem_post(posix);
    sem_post(posix);
    EXPECT_EQ(RtWaitForSingleObject(semaphore, 0), RtValue::WaitObject0);
    EXPECT_EQ(RtWaitForSingleObject(semaphore, 0), RtValue::WaitTimeout);
    sem_close(posix);
    RtCloseHandle(semaphore);
}

}  // namespace
