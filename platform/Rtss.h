// The one header through which the driver reaches its platform.
//
// On the target these are the operations of the RTX real-time subsystem, imported by these names;
// on the Linux host, platform/host/ stands in for them. Only fixed-width types cross this line, so
// the driver's code is the same for both. Handles are opaque; 0 (nullptr) means failure wherever an
// operation returns one.
#pragma once

#include <cstdint>

using RtHandle = void*;

// Last-error codes that the driver sets or expects.
namespace RtError {
constexpr std::uint32_t Success = 0;
constexpr std::uint32_t PathNotFound = 3;
constexpr std::uint32_t InvalidHandle = 6;
constexpr std::uint32_t NotEnoughMemory = 8;
constexpr std::uint32_t InvalidParameter = 87;
constexpr std::uint32_t NotImplemented = 120;
constexpr std::uint32_t AlreadyExists = 183;
constexpr std::uint32_t TooManyPosts = 298;  // a semaphore release would pass its maximum count
}  // namespace RtError

// Values passed to the platform.
namespace RtValue {
constexpr std::uint32_t PciConfiguration = 4;   // bus data type of RtGetBusDataByOffset
constexpr std::uint32_t PciBus = 5;             // interface type of translation and attachment
constexpr std::uint32_t MemorySpace = 0;        // address space in/out of RtTranslateBusAddress
constexpr std::uint32_t NotCached = 0;          // cache type of RtMapMemory
constexpr std::uint32_t PageReadWrite = 4;      // protection of RtCreateSharedMemoryA
constexpr std::uint32_t CreateSuspended = 4;    // creation flag of CreateThread
constexpr std::uint32_t LevelSensitive = 0;     // interrupt mode of RtAttachInterruptVectorEx
constexpr std::uint32_t Infinite = 0xFFFFFFFF;  // no time limit for RtWaitForSingleObject
constexpr std::uint32_t WaitObject0 = 0;        // RtWaitForSingleObject: the object was signalled
constexpr std::uint32_t WaitAbandoned = 0x80;   // RtWaitForSingleObject: mutex of a dead owner
constexpr std::uint32_t WaitTimeout = 0x102;    // RtWaitForSingleObject: the time ran out
constexpr std::uint32_t WaitFailed = 0xFFFFFFFF;
constexpr std::int32_t PrecheckNotOurs = 0;     // shared-interrupt pre-check: not this board
constexpr std::int32_t PrecheckRunService = 2;  // shared-interrupt pre-check: run the service
}  // namespace RtValue

using RtThreadRoutine = std::uint32_t (*)(void* parameter);
using RtInterruptRoutine = std::uint8_t (*)(void* context);
using RtInterruptPrecheck = std::int32_t (*)(void* context);
using RtStartRoutine = std::int32_t (*)();

// Process entry.
std::uint32_t __RtxProcessEntry();
std::int32_t _RtssAttachProcessW(std::uint32_t first, std::uint32_t second, RtStartRoutine start);

// Console and debugger output.
std::int32_t RtPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::int32_t RtWprintf(const char16_t* format, ...);  // %s takes a char16_t string
void OutputDebugStringA(const char* text);

// Per-thread last-error code.
std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);

// Never-paged memory; the contents of a new block are not defined.
void* RtAllocateLockedMemory(std::uint32_t size);
bool RtFreeLockedMemory(void* block);

// PCI configuration space, address translation, mapping.
std::uint32_t RtGetBusDataByOffset(std::uint32_t busDataType, std::uint32_t busNumber,
                                   std::uint32_t slotNumber, void* buffer, std::uint32_t offset,
                                   std::uint32_t length);
bool RtTranslateBusAddress(std::uint32_t interfaceType, std::uint32_t busNumber,
                           std::uint64_t busAddress, std::uint32_t* addressSpace,
                           std::uint64_t* translatedAddress);
void* RtMapMemory(std::uint64_t translatedAddress, std::uint32_t length, std::uint32_t cacheType);

// Interrupt attachment.
RtHandle RtAttachInterruptVector(void* security, std::uint32_t stackSize,
                                 RtInterruptRoutine routine, void* context, std::uint32_t priority,
                                 std::uint32_t interfaceType, std::uint32_t busNumber,
                                 std::uint32_t level, std::uint32_t vector);
RtHandle RtAttachInterruptVectorEx(void* security, std::uint32_t stackSize,
                                   RtInterruptRoutine routine, void* context,
                                   std::uint32_t priority, std::uint32_t interfaceType,
                                   std::uint32_t busNumber, std::uint32_t level,
                                   std::uint32_t vector, std::uint32_t shared,
                                   std::uint32_t interruptMode, RtInterruptPrecheck precheck);

// Named objects.
RtHandle RtCreateSharedMemoryA(std::uint32_t protection, std::uint32_t maximumSizeHigh,
                               std::uint32_t maximumSizeLow, const char* name, void** location);
RtHandle RtCreateSemaphoreA(void* security, std::int32_t initialCount, std::int32_t maximumCount,
                            const char* name);
RtHandle RtCreateMutexA(void* security, bool initialOwner, const char* name);
std::uint32_t RtWaitForSingleObject(RtHandle object, std::uint32_t milliseconds);
bool RtReleaseSemaphore(RtHandle semaphore, std::int32_t releaseCount, std::int32_t* previousCount);
bool RtCloseHandle(RtHandle object);

// Threads.
RtHandle CreateThread(void* security, std::uint32_t stackSize, RtThreadRoutine routine,
                      void* parameter, std::uint32_t creationFlags, std::uint32_t* threadId);
bool RtSetThreadPriority(RtHandle thread, std::int32_t priority);
std::uint32_t ResumeThread(RtHandle thread);
[[noreturn]] void ExitThread(std::uint32_t exitCode);
RtHandle GetCurrentThread();
std::uint32_t SuspendThread(RtHandle thread);
void Sleep(std::uint32_t milliseconds);
[[noreturn]] void ExitProcess(std::uint32_t exitCode);

// Processor interrupts (cli/sti on the target). A disable returns the state it found and the
// restore puts exactly that state back, so sections nest: an inner section never ends an outer one.
using InterruptState = std::uint32_t;
InterruptState DisableInterrupts();
void RestoreInterrupts(InterruptState state);

// Board registers: one uncached byte load or store, in program order.
std::uint8_t RtLoadRegister8(const volatile std::uint8_t* address);
void RtStoreRegister8(volatile std::uint8_t* address, std::uint8_t value);
