// Register map of a Quelta board: the 512-byte window of each UART channel, the board-wide
// device block seen through every window, and every bit value the driver reads or writes.
// This is the only place where register numbers live.
#pragma once

#include <cstdint>

#include "wire/StatusBytes.h"  // LSR and MSR: their bytes reach the clients unchanged

// One channel's window in the board's BAR0 region. Never dereferenced: every access goes through
// the access layer (hw/RegisterAccess.h), one byte at a time.
struct ChannelRegs {
    std::uint8_t bytes[0x200];
};
static_assert(sizeof(ChannelRegs) == 0x200);

using RegOffset = std::uint16_t;

constexpr std::uint32_t ChannelWindowSize = 0x200;

// Channel registers (offsets in the window). Names that share an offset each get their own.
constexpr RegOffset RHR = 0x00;              // receive holding register; a read consumes the byte
constexpr RegOffset THR = 0x00;              // transmit holding register (bytes go via FifoWindow)
constexpr RegOffset DLL = 0x00;              // divisor latch low byte, while LCR bit 7 is set
constexpr RegOffset IER = 0x01;              // interrupt enables
constexpr RegOffset DLM = 0x01;              // divisor latch high byte, while LCR bit 7 is set
constexpr RegOffset IIR = 0x02;              // interrupt identification; a read may clear THRE
constexpr RegOffset FCR = 0x02;              // FIFO control
constexpr RegOffset LCR = 0x03;              // line control
constexpr RegOffset MCR = 0x04;              // modem control
constexpr RegOffset LSR = 0x05;              // line status; a read clears the error bits
constexpr RegOffset MSR = 0x06;              // modem status; a read clears the change flags
constexpr RegOffset TurnaroundDelay = 0x06;  // RS-485 turnaround delay (write)
constexpr RegOffset FifoTrigCtl = 0x08;      // trigger-level selection and RS-485 direction control
constexpr RegOffset FeatureCtl = 0x09;       // enhanced functions and flow control
constexpr RegOffset TxLevel = 0x0A;          // read: bytes in the transmit FIFO; write: its trigger
constexpr RegOffset RxLevel = 0x0B;          // read: bytes in the receive FIFO; write: its trigger
constexpr RegOffset XoffReg = 0x0C;          // XOFF character
constexpr RegOffset XonReg = 0x0E;           // XON character
constexpr RegOffset FifoWindow = 0x100;      // burst window: byte i is the next FIFO byte
constexpr std::uint16_t FifoWindowSize = 0x40;

// Device block: board-wide, reached through a channel window at the same offsets.
constexpr RegOffset IntSummary = 0x80;  // bit n: channel n has an interrupt pending
constexpr RegOffset EepromCtl = 0x8E;   // serial EEPROM lines (written from a shadow byte)
constexpr RegOffset PinCtl8F = 0x8F;    // pin control, 0x00 once before the first pin transaction
constexpr RegOffset PinLevel = 0x90;    // levels of the multi-purpose pins
constexpr RegOffset PinCtl91 = 0x91;    // pin control, 0x00 once
constexpr RegOffset PinCtl92 = 0x92;    // pin control, 0x00 once
constexpr RegOffset PinCtl93 = 0x93;    // pin control, 0xFF once

static_assert(FifoWindow + FifoWindowSize <= ChannelWindowSize);
static_assert(PinCtl93 < ChannelWindowSize && XonReg < IntSummary);

constexpr std::uint32_t FifoDepth = 64;  // both FIFOs hold 64 bytes

namespace Ier {
constexpr std::uint8_t None = 0x00;
constexpr std::uint8_t RxData = 0x01;      // received data at the trigger, and receive time-out
constexpr std::uint8_t TxEmpty = 0x02;     // transmit holding register empty
constexpr std::uint8_t LineStatus = 0x04;  // receiver line status (overrun, parity, framing, break)
constexpr std::uint8_t ModemStatus = 0x08;  // a change of CTS, DSR, RI or DCD
constexpr std::uint8_t All = RxData | TxEmpty | LineStatus | ModemStatus;
}  // namespace Ier

namespace Iir {
constexpr std::uint8_t Mask = 0x3F;         // the top two bits (FIFOs enabled) are not examined
constexpr std::uint8_t NonePending = 0x01;  // bit 0 set: nothing pending
constexpr std::uint8_t ModemStatus = 0x00;
constexpr std::uint8_t TxEmpty = 0x02;
constexpr std::uint8_t RxData = 0x04;
constexpr std::uint8_t LineStatus = 0x06;
constexpr std::uint8_t RxTimeout = 0x0C;
constexpr std::uint8_t ModemStatusAlt = 0x20;  // served as modem status
}  // namespace Iir

namespace Fcr {
constexpr std::uint8_t Off = 0x00;
constexpr std::uint8_t Enable = 0x01;
constexpr std::uint8_t ResetReceive = 0x02;
constexpr std::uint8_t ResetTransmit = 0x04;
constexpr std::uint8_t EnableAndReset = Enable | ResetReceive | ResetTransmit;
}  // namespace Fcr

namespace Lcr {
constexpr std::uint8_t Data5 = 0x00;
constexpr std::uint8_t Data6 = 0x01;
constexpr std::uint8_t Data7 = 0x02;
constexpr std::uint8_t Data8 = 0x03;
constexpr std::uint8_t TwoStop = 0x04;  // 1.5 stop bits with 5 data bits
constexpr std::uint8_t ParityNone = 0x00;
constexpr std::uint8_t ParityOdd = 0x08;
constexpr std::uint8_t ParityEven = 0x18;
constexpr std::uint8_t ParityMark = 0x28;
constexpr std::uint8_t ParitySpace = 0x38;
constexpr std::uint8_t Break = 0x40;          // hold the transmit line at space
constexpr std::uint8_t DivisorAccess = 0x80;  // offsets 0 and 1 become DLL and DLM
constexpr std::uint8_t FormatMask = 0x3F;     // word format without break and divisor access
constexpr std::uint8_t Default = Data8 | ParityNone;  // 8N1
}  // namespace Lcr

namespace Mcr {
constexpr std::uint8_t Dtr = 0x01;
constexpr std::uint8_t Rts = 0x02;
constexpr std::uint8_t Out1 = 0x04;  // set with DTR for the RS-232 flow modes, cleared by auto flow
constexpr std::uint8_t Out2 = 0x08;  // cleared on open and close
constexpr std::uint8_t ClockPrescale = 0x80;  // cleared before every divisor load
constexpr std::uint8_t SignalMask = Dtr | Rts;
}  // namespace Mcr
static_assert(Mcr::Dtr == ModemLines::Dtr && Mcr::Rts == ModemLines::Rts);

namespace FifoTrig {
constexpr std::uint8_t SelectLevels = 0xC0;   // the level registers set the trigger levels
constexpr std::uint8_t AutoDirection = 0x20;  // automatic RS-485 direction control
constexpr std::uint8_t DefaultLevel = 0x38;   // 56 bytes, written to TxLevel and RxLevel at open
}  // namespace FifoTrig

namespace Feature {
constexpr std::uint8_t XonXoff1 = 0x02;  // XON/XOFF flow control, direction 1
constexpr std::uint8_t XonXoff0 = 0x08;  // XON/XOFF flow control, direction 0
constexpr std::uint8_t Enhanced = 0x10;  // enhanced functions; cleared around each FIFO reset
constexpr std::uint8_t AutoRts = 0x40;   // receive side: RTS follows the receive FIFO
constexpr std::uint8_t AutoCts = 0x80;   // transmit side: the transmitter waits for CTS
}  // namespace Feature

namespace Turnaround {
constexpr std::uint8_t Rs485Delay = 0x20;  // written with the RS-485 line modes
}  // namespace Turnaround

namespace Eeprom {
constexpr std::uint8_t Clock = 0x10;
constexpr std::uint8_t ChipSelect = 0x20;
constexpr std::uint8_t DataOut = 0x40;  // to the EEPROM
constexpr std::uint8_t DataIn = 0x80;   // from the EEPROM (read)
}  // namespace Eeprom

namespace Pin {
constexpr std::uint8_t Ctl8FSetup = 0x00;
constexpr std::uint8_t Ctl91Setup = 0x00;
constexpr std::uint8_t Ctl92Setup = 0x00;
constexpr std::uint8_t Ctl93Setup = 0xFF;
constexpr std::uint8_t LevelSetup = 0x07;
constexpr std::uint8_t ReadPhase = 0x01;    // bit 0: read phase (clear: write phase)
constexpr std::uint8_t Strobe = 0x02;       // bit 1: set at the end of every phase
constexpr std::uint8_t LowBits = 0x07;      // kept by the select phase
constexpr std::uint8_t KeepOnRead = 0x83;   // kept by the read phase
constexpr std::uint8_t KeepOnWrite = 0x82;  // kept by the write phase
constexpr unsigned FieldShift = 3;          // pair number or mode field starts at bit 3
constexpr std::uint8_t PulseStart = 0xFF;   // written when the interrupt service starts (0x353)
constexpr std::uint8_t PulseEnd = 0xFE;     // written when it ends
// A pair's 4-bit mode field: the even channel's driver mode in bits 0-1, the odd one's in 2-3.
constexpr std::uint8_t EvenChannelField = 0x03;
constexpr std::uint8_t OddChannelField = 0x0C;
constexpr unsigned OddChannelShift = 2;
// Driver mode codes passed out for a channel.
constexpr std::uint8_t DriverDefault = 0;  // every line mode but the two RS-485 ones
constexpr std::uint8_t DriverRs485B = 1;   // line mode 3
constexpr std::uint8_t DriverRs485A = 2;   // line mode 2
}  // namespace Pin
