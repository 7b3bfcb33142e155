// The host's named objects: the POSIX names and modes they get, the names removed at the end of
// the process, semaphores that keep to their maximum count, and semaphores and mutexes that a
// 32-bit process shares with this 64-bit one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "client/Error.h"
#include "client/SharedObjects.h"
#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/NameClaims.h"
#include "platform/host/NamedObjects.h"
#include "platform/host/PosixNames.h"
#include "platform/host/SharedSync.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Eventually.h"
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
            EXPECT_EQ(Leftovers(), (std::vector<std::string>{base, base + ".owner", base + ".s1",
                                                             base + ".s1.owner", base + ".sm",
                                                             base + ".sm.owner"}));
            EXPECT_EQ(host::OpenNamedObjects(), 3u);
            for (const std::string& file :
                 {"/dev/shm/" + base + ".sm", "/dev/shm/" + base, "/dev/shm/" + base + ".s1",
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

// A client releases the semaphore in its own mapping, as another process does: a release past the
// maximum is refused there too, so one request is served once and no second reply is left for
// the next request to take.
TEST_F(NamedObjects, AReleasePastTheMaximumIsRefusedFromAnyMapping) {
    RtHandle semaphore = RtCreateSemaphoreA(nullptr, 0, 1, SemaphoreName);
    quelta::NamedSemaphore client(SemaphoreName);
    client.Post();
    EXPECT_THROW(client.Post(), quelta::Error);
    EXPECT_FALSE(RtReleaseSemaphore(semaphore, 1, nullptr));
    EXPECT_EQ(GetLastError(), RtError::TooManyPosts);
    EXPECT_EQ(RtWaitForSingleObject(semaphore, 0), RtValue::WaitObject0);
    EXPECT_EQ(RtWaitForSingleObject(semaphore, 0), RtValue::WaitTimeout);
    RtCloseHandle(semaphore);
}

std::string Peer32(const std::vector<std::string>& words) {
    return testsupport::Run(QUELTA_SYNC_PEER32_PATH, words).out;
}

// This process's mapping of a semaphore's record, to see a taker asleep on it.
shared_sync::SemaphoreRecord& SemaphoreRecordOf(const char* name) {
    const int fd = shm_open(posix_names::ObjectName(name).c_str(), O_RDWR, 0);
    void* address = shared_sync::MapObject(fd, sizeof(shared_sync::SemaphoreRecord));
    close(fd);
    return *static_cast<shared_sync::SemaphoreRecord*>(address);
}

// Each side takes what the other releases, a sleeping taker is woken across them, and the maximum
// holds across them.
TEST_F(NamedObjects, ASemaphoreIsSharedBy32BitAnd64BitProcesses) {
    ASSERT_EQ(Peer32({"bits"}), "32\n");
    RtHandle semaphore = RtCreateSemaphoreA(nullptr, 0, 1, SemaphoreName);
    shared_sync::SemaphoreRecord& record = SemaphoreRecordOf(SemaphoreName);
    testsupport::ChildProcess taker(QUELTA_SYNC_PEER32_PATH, {"take", SemaphoreName, "10000"});
    ASSERT_TRUE(testsupport::Eventually(
        [&] { return (shared_sync::Word(record.state).load() & shared_sync::Sleepers) != 0; }));
    ASSERT_TRUE(RtReleaseSemaphore(semaphore, 1, nullptr));
    EXPECT_EQ(taker.Wait(), 0);
    EXPECT_EQ(taker.Out(), "taken\n");

    std::uint32_t result = RtValue::WaitFailed;
    std::thread waiter([&] { result = RtWaitForSingleObject(semaphore, 10000); });
    EXPECT_EQ(Peer32({"release", SemaphoreName}), "released\n");
    waiter.join();
    EXPECT_EQ(result, RtValue::WaitObject0);

    EXPECT_EQ(Peer32({"release", SemaphoreName}), "released\n");
    EXPECT_EQ(Peer32({"release", SemaphoreName}), "refused\n");
    EXPECT_FALSE(RtReleaseSemaphore(semaphore, 1, nullptr));
    EXPECT_EQ(Peer32({"take", SemaphoreName, "0"}), "taken\n");
    EXPECT_EQ(Peer32({"take", SemaphoreName, "0"}), "timed-out\n");
    EXPECT_EQ(RtWaitForSingleObject(semaphore, 0), RtValue::WaitTimeout);
    shared_sync::UnmapObject(&record);
    RtCloseHandle(semaphore);
}

// A mutex held by one side blocks the other; when its holder dies, the other takes it abandoned,
// a waiter already asleep included, before the dead process is collected.
TEST_F(NamedObjects, AMutexIsSharedBy32BitAnd64BitProcesses) {
    RtHandle mutex = RtCreateMutexA(nullptr, false, MutexName);
    testsupport::ChildProcess holder(QUELTA_SYNC_PEER32_PATH, {"hold", MutexName});
    ASSERT_TRUE(holder.WaitForOutput("holding\n")) << holder.Out();
    EXPECT_EQ(RtWaitForSingleObject(mutex, 20), RtValue::WaitTimeout);
    std::uint32_t result = RtValue::WaitFailed;
    std::thread waiter([&] { result = RtWaitForSingleObject(mutex, 10000); });  // ends holding it
    kill(holder.Pid(), SIGKILL);  // a zombie until the end of the test: dead all the same
    waiter.join();
    EXPECT_EQ(result, RtValue::WaitAbandoned);

    EXPECT_EQ(Peer32({"lock", MutexName, "10000"}), "abandoned\n");
    EXPECT_EQ(RtWaitForSingleObject(mutex, 10000), RtValue::WaitAbandoned);
    std::thread([&] { result = RtWaitForSingleObject(mutex, 0); }).join();
    EXPECT_EQ(result, RtValue::WaitTimeout) << "held by this thread";
    EXPECT_EQ(RtWaitForSingleObject(mutex, 0), RtValue::WaitObject0) << "taken again, recursively";
    EXPECT_EQ(Peer32({"lock", MutexName, "20"}), "timed-out\n");
    RtCloseHandle(mutex);
}

}  // namespace
