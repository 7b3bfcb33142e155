// Feeds arbitrary request blocks, and sequences of them, into the request dispatch over the ports
// of a fake 4-channel board, with interrupt service passes in between. Every field of the block is
// the input's, the driver's own included, and so is every register read; the data area is exactly
// as large as the channel says, so a write past it is caught by AddressSanitizer.
//
// After each request: the status is 0, 87 or 120; a refused request (87, 120) left the block as it
// was; both rings of every port are consistent; a read or write reports no more than the area.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "hw/BoardClock.h"
#include "platform/Rtss.h"
#include "platform/host/HostPlatform.h"
#include "platform/host/RegisterDevice.h"
#include "port/Isr.h"
#include "port/PortRecord.h"
#include "server/DeviceNames.h"
#include "server/Dispatch.h"

namespace {

constexpr std::uint8_t BoardPorts = 4;

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return size_ == 0; }
    std::uint8_t Byte() {
        if (size_ == 0) {
            return 0;
        }
        --size_;
        return *data_++;
    }
    std::uint32_t Word() {
        std::uint32_t word = 0;
        for (int i = 0; i < 4; ++i) {
            word |= static_cast<std::uint32_t>(Byte()) << (8 * i);
        }
        return word;
    }
    void Take(std::uint8_t* destination, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            destination[i] = Byte();
        }
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// Register reads answer from the input while it lasts, then from the last value written.
class FuzzBoard final : public sim::RegisterDevice {
public:
    FuzzBoard() : base_(host::MapRegisterDevice(this, BoardPorts * ChannelWindowSize)) {}
    ChannelRegs* Window(std::uint32_t channel) const {
        return reinterpret_cast<ChannelRegs*>(static_cast<std::uint8_t*>(base_) +
                                              channel * ChannelWindowSize);
    }
    void Reset(Input* input) {
        input_ = input;
        std::memset(latches_, 0, sizeof latches_);
    }
    std::uint8_t Load(std::uint32_t offset) override {
        return input_ != nullptr && !input_->Empty() ? input_->Byte() : latches_[offset];
    }
    void Store(std::uint32_t offset, std::uint8_t value) override { latches_[offset] = value; }

private:
    void* base_;
    Input* input_ = nullptr;
    std::uint8_t latches_[BoardPorts * ChannelWindowSize] = {};
};

void Check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "dispatch fuzz: %s\n", what);
        std::abort();
    }
}

bool RingsConsistent(const PortRecord& port) {
    return port.rxCount.load() <= RingSize && port.txCount.load() <= RingSize &&
           port.rxHead == (port.rxTail + port.rxCount.load()) % RingSize &&
           port.txHead == (port.txTail + port.txCount.load()) % RingSize;
}

void NameDevices(std::uint8_t portBase) {
    std::memset(DeviceNameTable, 0, sizeof DeviceNameTable);
    // One more name than ports: a channel whose name has no port behind it.
    for (std::uint8_t i = 0; i <= BoardPorts; ++i) {
        std::snprintf(DeviceNameTable[i].deviceName, DeviceNameSize, "\\RtDevice\\Quelta\\Serial%d",
                      portBase + i);
        DeviceNameTable[i].portIndex = i;
    }
}

void Request(Input& input, std::uint8_t op, std::uint8_t* block, const ChannelView& view,
             std::size_t blockSize) {
    auto* request = reinterpret_cast<RequestPart*>(block + 4);
    input.Take(block, RequestBlockDataOffset);
    if ((op & 0x80) != 0) {
        request->requestCode = op % 20u;  // mostly the codes that have a meaning
    }
    const std::uint32_t dataBytes = input.Byte() * 4u;
    input.Take(view.dataArea, dataBytes < view.dataAreaSize ? dataBytes : view.dataAreaSize);

    const std::uint32_t code = request->requestCode;
    const std::vector<std::uint8_t> before(block, block + blockSize);
    const std::uint32_t status = DispatchRequest(request, &view);
    Check(status == RequestDone || status == RequestInvalidPort || status == RequestNotImplemented,
          "status outside 0, 87, 120");
    if (status != RequestDone) {
        Check(std::memcmp(before.data(), block, blockSize) == 0,
              "a refused request changed the block");
    }
    if (status == RequestDone && (code == SerialRead || code == SerialWrite)) {
        Check(request->resultCount <= view.dataAreaSize, "more bytes than the data area holds");
    }
    for (std::uint8_t i = 0; i < BoardPorts; ++i) {
        Check(RingsConsistent(*PortTable[i]), "rings inconsistent");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static FuzzBoard board;
    Input input(data, size);

    std::unique_ptr<PortRecord> ports[BoardPorts];
    for (std::uint8_t i = 0; i < BoardPorts; ++i) {
        ports[i] = std::make_unique<PortRecord>();
        ports[i]->regs = board.Window(i);
        ports[i]->deviceId = 0x0154;
        ports[i]->hasLineDriverControl = i == 3 ? 1 : 0;
        PortTable[i] = ports[i].get();
    }
    boardClockHz = input.Word();
    NameDevices(input.Byte());
    const std::uint8_t channel = input.Byte() % (BoardPorts + 2);  // 4: named, no port; 5: unnamed
    const std::uint32_t areaHigh = input.Byte();
    const std::uint32_t dataAreaSize = (areaHigh << 8 | input.Byte()) % (DefaultDataAreaSize + 1);
    board.Reset(&input);

    // Exactly the object's size: nothing may be touched beyond it.
    const std::size_t blockSize = dataAreaSize + RequestBlockOverhead;
    std::vector<std::uint8_t> block(blockSize);
    char name[DeviceNameSize] = "\\RtDevice\\Quelta\\Nowhere";
    if (channel <= BoardPorts) {
        std::memcpy(name, DeviceNameTable[channel].deviceName, DeviceNameSize);
    }
    const ChannelView view{name, static_cast<std::uint32_t>(std::strlen(name)),
                           block.data() + RequestBlockDataOffset, dataAreaSize};

    while (!input.Empty()) {
        const std::uint8_t op = input.Byte();
        if ((op & 0x60) == 0x60) {
            // The interrupt side between two requests, holding the CPU lock as it does.
            // The summary and the identifications it leads to are the input's.
            IsrContext context{
                reinterpret_cast<volatile std::uint8_t*>(board.Window(0)) + IntSummary, nullptr, 0};
            host::EnterInterruptContext();
            (void)InterruptService(&context);
            host::LeaveInterruptContext();
        } else {
            Request(input, op, block.data(), view, blockSize);
        }
    }
    for (std::uint8_t i = 0; i < BoardPorts; ++i) {
        PortTable[i] = nullptr;
    }
    return 0;
}
