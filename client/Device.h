// A Quelta serial device as a client program uses it: open by name, then every request of the
// driver with typed results, and write-all / read-exactly on top.
//
//     quelta::Device port("Serial0");
//     port.Configure({.baudRate = 115200});
//     port.WriteAll("hello", std::chrono::seconds(1));
//
// Every method throws quelta::Error. A Device may be used from several threads: each request
// holds the device mutex, which also keeps other clients of the device out meanwhile, and each
// waiting call its own waiter slot. Every Device holds a claim on its device (DeviceClaim):
// shared, or exclusive when asked for.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "client/DeviceClaim.h"
#include "client/Error.h"
#include "client/LineSettings.h"
#include "client/LineSignals.h"
#include "wire/EventBlock.h"

namespace quelta {

class DeviceEvents;
class EventWait;
class RequestChannel;
struct Reply;

enum class OpenMode {
    // Send SerialOpen: the driver resets the port (9600 8N1, no flow control, rings emptied).
    Reset,
    // Use the port as the last client that opened it left it (configuration, received bytes);
    // NotOpened when nobody has opened it since the driver started, or it was closed since.
    Attach,
    // Attach when some client has opened the port and nobody closed it since, else open it with
    // a reset.
    AttachOrReset,
};

constexpr std::chrono::milliseconds DefaultReplyTimeout{2000};
// A driver that is serving answers in about a microsecond, while putting the client to sleep and
// waking it again costs tens of them: a client polls this long for each reply before it sleeps.
constexpr std::chrono::microseconds DefaultReplyPoll{50};
// A driver that ended (killed, or restarted with objects of its own) wakes no client that sleeps
// on its events: a sleeping wait looks this often whether the driver still runs. One wake-up of
// the client for each, none of the driver.
constexpr std::chrono::milliseconds DefaultDriverCheck{1000};

struct OpenOptions {
    OpenMode mode = OpenMode::Reset;
    // Limit on each reply wait and on waiting for another client's request to end.
    std::chrono::milliseconds replyTimeout = DefaultReplyTimeout;
    // How long to poll for each reply before sleeping; 0 sleeps at once (no spinning at all).
    std::chrono::microseconds replyPoll = DefaultReplyPoll;
    // Claim the device for this client alone before anything is sent, as TIOCEXCL does: every
    // other open through the library is refused while it is held, and it is refused while any
    // other is held (DeviceBusy naming the holders). Without it the claim is shared: refused only
    // while an exclusive one is held.
    bool exclusive = false;
    // How often a waiting call that sleeps looks whether the driver still runs.
    std::chrono::milliseconds driverCheck = DefaultDriverCheck;
    // A reply that has not come within replyTimeout, from a driver that took the request (stopped,
    // or starved of the processor), still comes, with what the request moved. false: the request
    // gives up with NotAnswering, and the next request of any client collects that reply before
    // its own (NotAnswering again while it has not come); this Device keeps what it brought: a
    // read's bytes come first in the next Read, a write's count from TakeLateWriteCount. true:
    // the request waits on until the reply comes, so nothing is lost or sent twice, and ends
    // only once the driver has ended (NoSuchDevice: no driver serves the name any more). Waiting
    // for the device mutex that another client holds as long as that is a stall too.
    bool waitLateReplies = false;
    // With waitLateReplies, told of each stall from the thread that waits, holding the device
    // (make no request of it here): Began once, Continues about every 100 ms, Ended when the
    // reply came. false from Began or Continues gives up as without waitLateReplies.
    StallReport onStall = {};
};

// The settings a port runs with (SerialGetConfig), which differ from the last ones sent when the
// driver refused those. actualBaud is the rate the divisor really makes.
struct PortSettings {
    bool opened = false;  // false before the port's first open: nothing else is known
    // true from an accepted configuration until the next open or close: only then does the port
    // move bytes
    bool configured = false;
    LineSettings settings;
    std::uint32_t actualBaud = 0;
    std::uint32_t clockHz = 0;
    std::uint16_t divisor = 0;
    std::uint8_t receiveTrigger = 0;  // receive FIFO level that interrupts; 0 from older drivers
};

// Line errors counted since the port was opened (SerialGetErrorCounts).
struct ErrorCounts {
    std::uint32_t overruns = 0;
    std::uint32_t parityErrors = 0;
    std::uint32_t framingErrors = 0;
    std::uint32_t breaks = 0;
    std::uint32_t ringOverruns = 0;  // bytes dropped because the receive ring was full
    bool operator==(const ErrorCounts&) const = default;
};

// What Flush empties; the values of the wire's Flush bits.
enum class FlushSide : std::uint8_t { Receive = 1, Transmit = 2, Both = 3 };

// What is still to go out (SerialGetTransmitState).
struct TransmitState {
    std::uint32_t queued = 0;       // bytes in the transmit ring (not those in the UART's FIFO)
    bool transmitterEmpty = false;  // the UART's FIFO and shift register are both empty
    std::uint8_t fifoLevel = 0;     // about the bytes in the UART's FIFO; 0 from older drivers
    bool Idle() const { return queued == 0 && transmitterEmpty; }
};

// What WaitEvents reports. happened: the PortEvent bits (wire/EventBlock.h) of the mask that came
// since the previous WaitEvents of this Device (the first: since it started), and
// PortEvent::Cancelled when CancelWait ended it.
struct EventReport {
    std::uint32_t happened = 0;
    ModemStatus modem;      // with ModemChange: the MSR after the change, every change bit since
    LineErrors lineErrors;  // with LineError: the error bits seen since
};

// The modem inputs of WaitModemChange: MSR's level bits.
namespace ModemLine {
constexpr std::uint8_t Cts = Msr::Cts;
constexpr std::uint8_t Dsr = Msr::Dsr;
constexpr std::uint8_t Ri = Msr::Ri;  // a change is RI going off, as the UART reports it
constexpr std::uint8_t Dcd = Msr::Dcd;
constexpr std::uint8_t All = Cts | Dsr | Ri | Dcd;
}  // namespace ModemLine

// When Configure applies a change, as tcsetattr's TCSADRAIN and TCSANOW.
enum class Apply {
    // Once everything handed over before has left the line. The driver resets both FIFOs with
    // every accepted configuration, so this is what keeps bytes in flight. (What the receive
    // FIFO holds and the driver has not yet taken into its ring is lost all the same.)
    AfterDrain,
    // At once: what the UART's FIFOs hold then is lost, on both sides.
    Now,
};

// How long Configure waits beyond the time the queued bytes need at the rate in force.
constexpr std::chrono::milliseconds DrainMargin{1000};

class Device {
public:
    // name: "\RtDevice\Quelta\Serial0" or "Serial0".
    explicit Device(std::string_view name, const OpenOptions& options = {});
    Device(Device&&) noexcept;
    Device& operator=(Device&&) noexcept;
    ~Device();

    const std::string& Name() const;  // the full name
    std::uint8_t PortIndex() const;
    std::uint32_t DataAreaSize() const;          // the most one request carries
    bool WasReset() const { return wasReset_; }  // opening sent SerialOpen

    // Takes what has arrived, up to buffer.size() bytes, without waiting.
    std::size_t Read(std::span<std::uint8_t> buffer);
    // After a write that gave up on a late reply (NotAnswering): how many bytes of its last piece
    // the driver took, once a later request of this Device has collected the reply; none before
    // that, or when another client's request collected it.
    std::optional<std::uint32_t> TakeLateWriteCount();
    // Hands over what the transmit ring takes now, without waiting; returns the bytes taken.
    std::size_t Write(std::span<const std::uint8_t> data);

    // The waiting calls below sleep until the driver's interrupt service says that what they
    // wait for may have come (wire/EventBlock.h); against a driver without events, or with every
    // one of the port's waiter slots taken by other clients, they poll as before. A sleeping
    // call wakes every OpenOptions::driverCheck (a second) to look whether the driver still runs,
    // and throws NotAnswering when it has ended. CancelWait ends them as their time-out would,
    // with Cancelled where that throws TimedOut.

    // Returns as soon as at least one byte has arrived, or at the time-out; the count (0 at the
    // time-out).
    std::size_t ReadSome(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout);
    // Fills the whole buffer; TimedOut (with Transferred()) when the time runs out first: the
    // time-out counts from the call.
    void ReadExact(std::span<std::uint8_t> buffer, std::chrono::milliseconds timeout);
    // Hands over all the data, waiting for room whenever the ring is full; TimedOut (with
    // Transferred()) when it stays full too long: the time-out counts from the last byte the
    // driver took, so a slow line never runs out.
    void WriteAll(std::span<const std::uint8_t> data, std::chrono::milliseconds timeout);
    void WriteAll(std::string_view text, std::chrono::milliseconds timeout);
    // As TIOCMIWAIT: waits for a change of one of the lines (ModemLine bits) from the call on
    // and returns the modem status after it, with every change bit seen; none at the time-out.
    std::optional<ModemStatus> WaitModemChange(std::uint8_t lines,
                                               std::chrono::milliseconds timeout);
    // As WaitCommEvent: waits for one of the events of the mask (PortEvent bits) and reports
    // those that came since the previous call, or none at the time-out. One thread at a time
    // waits here (another waits for its turn). NotImplemented without events, DeviceBusy when
    // every waiter slot of the port is taken.
    EventReport WaitEvents(std::uint32_t mask, std::chrono::milliseconds timeout);
    // From another thread: ends every wait of this Device in progress at once, or, when none is,
    // the next one that has to wait (as pyserial's cancel_read and cancel_write need).
    void CancelWait();
    // Whether the waits sleep on the driver's events (false: they poll).
    bool HasEvents() const;

    // Sends nothing when the settings are those in force. Otherwise, after the line has drained
    // (Apply::AfterDrain), or at once (Apply::Now). ConfigRefused when the driver refuses (a rate
    // the board's clock cannot make), or before sending when the library can tell that it would
    // (word format, a rate below 1). TimedOut, with nothing applied, when the line has not
    // drained in the time the queued bytes need at the rate in force plus DrainMargin (flow
    // control holding it, or another client keeping the ring filled).
    void Configure(const LineSettings& settings, Apply when = Apply::AfterDrain);

    void SetDtr(bool on);
    void SetRts(bool on);
    // Ending a break waits for nothing: while the driver is still sending, it leaves the break on.
    void SetBreak(bool on);

    ModemStatus GetModemStatus();
    LineStatus GetLineStatus();
    ModemControl GetModemControl();
    LineErrors GetLineErrors();
    std::uint32_t GetRxCount();

    // The driver's extension requests; NotImplemented from a driver without them.
    PortSettings GetSettings();
    ErrorCounts GetErrorCounts();
    // Empties the chosen side (ring and FIFO) and keeps the settings and the modem lines.
    void Flush(FlushSide side);
    TransmitState GetTransmitState();
    // As tcdrain: returns once everything handed over has left the line (the ring empty, the
    // UART's transmitter idle); TimedOut when the time runs out first. Waits for the ring to
    // empty, then sleeps about the time the UART's FIFO needs.
    void Drain(std::chrono::milliseconds timeout);
    // The receive FIFO level at which the UART interrupts, ReceiveTrigger::Lowest to Highest
    // (wire/ExtensionRecords.h): low, short frames are taken at once instead of after the
    // receive time-out of four characters; the open's 56 takes the fewest interrupts. Kept until
    // the port is opened again. ConfigRefused for another level.
    void SetReceiveTrigger(std::uint8_t level);

    // SerialClose: interrupts off, rings emptied, RTS and DTR dropped; later attaches open the
    // port afresh. The port stays usable after a new Configure. Destroying a Device does not send
    // it.
    void ClosePort();

private:
    void Open(OpenMode mode);
    void SimpleRequest(std::uint32_t requestCode);
    std::uint8_t ByteRequest(std::uint32_t requestCode);
    // A request with one byte of data whose resultCount says taken (1) or refused (0).
    bool ByteArgumentRequest(std::uint32_t requestCode, std::uint8_t argument);
    std::optional<ModemStatus> PollModemChange(EventWait& poll, std::uint8_t changes,
                                               std::chrono::steady_clock::time_point deadline);

    // One look under the device mutex: none when the settings are in force or have been sent;
    // while the line still has bytes to send, when to look again at the latest (deadline set on
    // the first look).
    std::optional<std::chrono::steady_clock::time_point> ConfigureIfDrained(
        const LineSettings& settings, Apply when,
        std::optional<std::chrono::steady_clock::time_point>& deadline);

    // The channel first: a claim is taken only on a device that exists, and before anything is
    // sent to it.
    std::unique_ptr<RequestChannel> channel_;
    DeviceClaim claim_;
    bool wasReset_ = false;
    std::unique_ptr<DeviceEvents> events_;  // opened once the port is
};

}  // namespace quelta
