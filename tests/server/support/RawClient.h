// A client of one device over the POSIX objects themselves, as any process would open them: the
// far side that the server tests drive the device channel from, in this process or another.
#pragma once

#include <semaphore.h>

#include <cstdint>
#include <string>

#include "platform/host/PosixNames.h"
#include "server/RequestBlock.h"

namespace servertest {

class RawClient {
public:
    // Opens the device's four objects; throws std::runtime_error when one is missing.
    explicit RawClient(const std::string& deviceName);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    RequestBlock& Block() const { return *block_; }
    RequestPart& Request() const { return block_->request; }
    std::uint8_t* Data() const { return DataArea(block_); }
    std::uint32_t DataAreaSize() const { return blockSize_ - RequestBlockOverhead; }

    // Takes the device mutex; true when its previous owner died holding it.
    bool Lock();
    void Unlock();

    // Releases the request semaphore and waits for the reply; false when none came in time.
    bool Call(std::uint32_t requestCode, int timeoutMilliseconds = 5000);
    void Send();
    bool WaitReply(int timeoutMilliseconds);

private:
    RequestBlock* block_ = nullptr;
    std::uint32_t blockSize_ = 0;
    posix_names::MutexObject* mutex_ = nullptr;
    sem_t* request_ = SEM_FAILED;
    sem_t* reply_ = SEM_FAILED;
};

}  // namespace servertest
