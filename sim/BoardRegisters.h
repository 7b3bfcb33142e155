// The board's side of the register map: what the silicon decodes. Kept apart from the driver's
// hw/Registers.h on purpose, so that a wrong number on either side fails a test instead of being
// agreed on by both.
#pragma once

#include <cstdint>

namespace sim::reg {

constexpr std::uint32_t WindowSize = 0x200;  // one channel's window in the BAR0 region
constexpr std::uint32_t FifoDepth = 64;      // both FIFOs of a channel

// Channel registers, offsets in the window.
constexpr std::uint32_t Rhr = 0x00;  // read: next received byte; write: THR (DLL with LCR.DLAB)
constexpr std::uint32_t Ier = 0x01;  // interrupt enables (DLM with LCR.DLAB)
constexpr std::uint32_t Iir = 0x02;  // read: interrupt identification; write: FCR
constexpr std::uint32_t Lcr = 0x03;
constexpr std::uint32_t Mcr = 0x04;
constexpr std::uint32_t Lsr = 0x05;  // read only
constexpr std::uint32_t Msr = 0x06;  // read: modem status; write: RS-485 turnaround delay
constexpr std::uint32_t Scratch = 0x07;
constexpr std::uint32_t FifoTrigCtl = 0x08;
constexpr std::uint32_t FeatureCtl = 0x09;
constexpr std::uint32_t TxLevel = 0x0A;  // read: bytes in the transmit FIFO; write: its trigger
constexpr std::uint32_t RxLevel = 0x0B;  // read: bytes in the receive FIFO; write: its trigger
constexpr std::uint32_t Xoff = 0x0C;
constexpr std::uint32_t Xon = 0x0E;
constexpr std::uint32_t FifoWindowStart = 0x100;  // any byte of it pops/pushes the next FIFO byte
constexpr std::uint32_t FifoWindowEnd = 0x140;

// Board-wide device block, decoded at the same offsets in every window.
constexpr std::uint32_t IntSummary = 0x80;  // bit n: channel n has an interrupt pending
constexpr std::uint32_t EepromCtl = 0x8E;
constexpr std::uint32_t PinCtl8F = 0x8F;
constexpr std::uint32_t PinLevel = 0x90;
constexpr std::uint32_t PinCtl91 = 0x91;
constexpr std::uint32_t PinCtl92 = 0x92;
constexpr std::uint32_t PinCtl93 = 0x93;

namespace ier {
constexpr std::uint8_t RxData = 0x01;
constexpr std::uint8_t TxEmpty = 0x02;
constexpr std::uint8_t LineStatus = 0x04;
constexpr std::uint8_t ModemStatus = 0x08;
constexpr std::uint8_t Standard = 0x0F;
}  // namespace ier

namespace iir {  // identification codes, by priority, highest first
constexpr std::uint8_t None = 0x01;
constexpr std::uint8_t LineStatus = 0x06;
constexpr std::uint8_t RxData = 0x04;
constexpr std::uint8_t RxTimeout = 0x0C;
constexpr std::uint8_t TxEmpty = 0x02;
constexpr std::uint8_t ModemStatus = 0x00;
constexpr std::uint8_t FifosOn = 0xC0;  // top bits while the FIFOs are enabled
}  // namespace iir

namespace fcr {
constexpr std::uint8_t Enable = 0x01;
constexpr std::uint8_t ResetRx = 0x02;
constexpr std::uint8_t ResetTx = 0x04;
constexpr std::uint8_t RxTriggerMask = 0xC0;  // 16550 trigger table: 1, 4, 8, 14
}  // namespace fcr

namespace lcr {
constexpr std::uint8_t WordLengthMask = 0x03;  // 5 + value data bits
constexpr std::uint8_t StopBits = 0x04;        // 2 stop bits, 1.5 with 5 data bits
constexpr std::uint8_t ParityEnable = 0x08;
constexpr std::uint8_t EvenParity = 0x10;
constexpr std::uint8_t StickParity = 0x20;
constexpr std::uint8_t Break = 0x40;
constexpr std::uint8_t Dlab = 0x80;
}  // namespace lcr

namespace mcr {
constexpr std::uint8_t Dtr = 0x01;
constexpr std::uint8_t Rts = 0x02;
constexpr std::uint8_t EnhancedOnly = 0xE0;  // writable only while FeatureCtl.Enhanced is set
constexpr std::uint8_t Prescale = 0x80;      // UART clock divided by 4
}  // namespace mcr

namespace lsr {
constexpr std::uint8_t DataReady = 0x01;
constexpr std::uint8_t Overrun = 0x02;
constexpr std::uint8_t Parity = 0x04;
constexpr std::uint8_t Framing = 0x08;
constexpr std::uint8_t Break = 0x10;
constexpr std::uint8_t ThrEmpty = 0x20;
constexpr std::uint8_t TxEmpty = 0x40;
constexpr std::uint8_t FifoError = 0x80;
constexpr std::uint8_t ByteErrors = Parity | Framing | Break;  // travel with a received byte
constexpr std::uint8_t Latched = Overrun | ByteErrors;         // cleared by reading LSR
}  // namespace lsr

namespace msr {
constexpr std::uint8_t DeltaCts = 0x01;
constexpr std::uint8_t DeltaDsr = 0x02;
constexpr std::uint8_t TrailingRi = 0x04;
constexpr std::uint8_t DeltaDcd = 0x08;
constexpr std::uint8_t Cts = 0x10;
constexpr std::uint8_t Dsr = 0x20;
constexpr std::uint8_t Ri = 0x40;
constexpr std::uint8_t Dcd = 0x80;
constexpr std::uint8_t Levels = 0xF0;
}  // namespace msr

namespace fifotrig {
constexpr std::uint8_t ProgrammedLevels = 0xC0;  // both bits: TxLevel/RxLevel writes set triggers
constexpr std::uint8_t AutoDirection = 0x20;     // RS-485: RTS follows the transmitter
}  // namespace fifotrig

namespace feature {
constexpr std::uint8_t XonXoffReceive = 0x02;   // stop/start our transmitter on received XOFF/XON
constexpr std::uint8_t XonXoffTransmit = 0x08;  // send XOFF/XON as the receive FIFO fills/drains
constexpr std::uint8_t Enhanced = 0x10;
constexpr std::uint8_t AutoRts = 0x40;
constexpr std::uint8_t AutoCts = 0x80;
}  // namespace feature

namespace eeprom {
constexpr std::uint8_t Clock = 0x10;
constexpr std::uint8_t Select = 0x20;
constexpr std::uint8_t DataIn = 0x40;   // to the EEPROM
constexpr std::uint8_t DataOut = 0x80;  // from the EEPROM
}  // namespace eeprom

namespace pin {
constexpr std::uint8_t ReadPhase = 0x01;
constexpr std::uint8_t Strobe = 0x02;
constexpr std::uint8_t FieldShift = 3;
constexpr std::uint8_t FieldMask = 0x78;  // bits 3-6: pair number or mode field
constexpr std::uint8_t Pulse = 0x80;      // set only by the interrupt-time pulse of 0x353 boards
}  // namespace pin

}  // namespace sim::reg
