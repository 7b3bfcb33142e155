// The one header through which the driver reaches its platform.
//
// On the target these are the operations of the RTX real-time subsystem, imported by these names
// from RTX_RTSS.SYS and declared as the platform exports them: C linkage, stdcall for the API and
// for the routines the platform calls back (RTAPI, RTFCNDCL), cdecl for the variadic printing,
// and the platform's widths: BOOL is a 32-bit int (RtBool, never C++ bool), BOOLEAN one byte,
// HANDLE a pointer, physical addresses 64-bit values passed by value, enumerations 32-bit. On the
// Linux host, platform/host/ implements the same declarations, so both builds compile the driver
// from the same text; there the conventions are the host's own (stdcall only on 32-bit x86, where
// the host build can check the callbacks' declarations too). Only fixed-width types cross this
// line. Handles are opaque; 0 (nullptr) means failure wherever an operation returns one.
#pragma once

#include <cstdint>

#if defined(__i386__)
#define RTAPI __attribute__((stdcall))
#define RTFCNDCL __attribute__((stdcall))
#define RTCDECL __attribute__((cdecl))
#else
#define RTAPI
#define RTFCNDCL
#define RTCDECL
#endif

using RtHandle = void*;               // HANDLE
using RtBool = std::int32_t;          // BOOL: 0 is failure, any other value success
using RtBoolean = std::uint8_t;       // BOOLEAN: 0 or 1
using RtLargeInteger = std::int64_t;  // LARGE_INTEGER, PHYSICAL_ADDRESS

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

// Routines the platform calls.
using RtThreadRoutine = std::uint32_t(RTFCNDCL*)(void* parameter);
using RtInterruptRoutine = void(RTFCNDCL*)(void* context);           // plain attachment
using RtInterruptRoutineEx = RtBoolean(RTFCNDCL*)(void* context);    // shareable attachment
using RtInterruptPrecheck = std::int32_t(RTFCNDCL*)(void* context);  // INTERRUPT_DISPOSITION
using RtStartRoutine = std::int32_t(RTFCNDCL*)();

extern "C" {

// Process entry.
std::uint32_t RTAPI __RtxProcessEntry();
std::int32_t RTAPI _RtssAttachProcessW(std::uint32_t first, std::uint32_t second,
                                       RtStartRoutine start);

// Console and debugger output.
std::int32_t RTCDECL RtPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::int32_t RTCDECL RtWprintf(const char16_t* format, ...);  // %s takes a 16-bit string
void RTAPI OutputDebugStringA(const char* text);

// Per-thread last-error code.
std::uint32_t RTAPI GetLastError();
void RTAPI SetLastError(std::uint32_t code);

// Never-paged memory; the contents of a new block are not defined.
void* RTAPI RtAllocateLockedMemory(std::uint32_t size);
RtBool RTAPI RtFreeLockedMemory(void* block);

// PCI configuration space, address translation, mapping.
std::uint32_t RTAPI RtGetBusDataByOffset(std::uint32_t busDataType, std::uint32_t busNumber,
                                         std::uint32_t slotNumber, void* buffer,
                                         std::uint32_t offset, std::uint32_t length);
RtBool RTAPI RtTranslateBusAddress(std::uint32_t interfaceType, std::uint32_t busNumber,
                                   RtLargeInteger busAddress, std::uint32_t* addressSpace,
                                   RtLargeInteger* translatedAddress);
void* RTAPI RtMapMemory(RtLargeInteger physicalAddress, std::uint32_t length,
                        std::uint32_t cacheType);

// Interrupt attachment.
RtHandle RTAPI RtAttachInterruptVector(void* security, std::uint32_t stackSize,
                                       RtInterruptRoutine routine, void* context,
                                       std::uint32_t priority, std::uint32_t interfaceType,
                                       std::uint32_t busNumber, std::uint32_t level,
                                       std::uint32_t vector);
RtHandle RTAPI RtAttachInterruptVectorEx(void* security, std::uint32_t stackSize,
                                         RtInterruptRoutineEx routine, void* context,
                                         std::uint32_t priority, std::uint32_t interfaceType,
                                         std::uint32_t busNumber, std::uint32_t level,
                                         std::uint32_t vector, RtBoolean shared,
                                         std::uint32_t interruptMode, RtInterruptPrecheck precheck);

// Named objects.
RtHandle RTAPI RtCreateSharedMemoryA(std::uint32_t protection, std::uint32_t maximumSizeHigh,
                                     std::uint32_t maximumSizeLow, const char* name,
                                     void** location);
RtHandle RTAPI RtCreateSemaphoreA(void* security, std::int32_t initialCount,
                                  std::int32_t maximumCount, const char* name);
RtHandle RTAPI RtCreateMutexA(void* security, RtBool initialOwner, const char* name);
std::uint32_t RTAPI RtWaitForSingleObject(RtHandle object, std::uint32_t milliseconds);
RtBool RTAPI RtReleaseSemaphore(RtHandle semaphore, std::int32_t releaseCount,
                                std::int32_t* previousCount);
RtBool RTAPI RtCloseHandle(RtHandle object);

// Threads.
RtHandle RTAPI CreateThread(void* security, std::uint32_t stackSize, RtThreadRoutine routine,
                            void* parameter, std::uint32_t creationFlags, std::uint32_t* threadId);
RtBool RTAPI RtSetThreadPriority(RtHandle thread, std::int32_t priority);
std::uint32_t RTAPI ResumeThread(RtHandle thread);
[[noreturn]] void RTAPI ExitThread(std::uint32_t exitCode);
RtHandle RTAPI GetCurrentThread();
std::uint32_t RTAPI SuspendThread(RtHandle thread);
void RTAPI Sleep(std::uint32_t milliseconds);
[[noreturn]] void RTAPI ExitProcess(std::uint32_t exitCode);

}  // extern "C"

// Processor interrupts (cli and a restore of the flags on the target). A disable returns the state
// it found and the restore puts exactly that state back, so sections nest: an inner section never
// ends an outer one.
using InterruptState = std::uint32_t;
InterruptState DisableInterrupts();
void RestoreInterrupts(InterruptState state);

// Board registers: one uncached byte load or store, in program order.
std::uint8_t RtLoadRegister8(const volatile std::uint8_t* address);
void RtStoreRegister8(volatile std::uint8_t* address, std::uint8_t value);
