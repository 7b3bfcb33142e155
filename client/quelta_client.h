/* The Quelta client library for C and for other languages that call C.
 *
 *     quelta_device* port;
 *     if (quelta_open("Serial0", QUELTA_OPEN_RESET, 0, &port) != QUELTA_OK) {
 *         fprintf(stderr, "%s\n", quelta_last_error_message());
 *     }
 *
 * Every function returns QUELTA_OK (0) or a negative quelta_error; after an error,
 * quelta_last_error_message() gives the full reason on the calling thread. The operations are
 * those of the C++ class quelta::Device (client/Device.h). */
#ifndef QUELTA_CLIENT_H
#define QUELTA_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct quelta_device quelta_device;

typedef enum quelta_error {
    QUELTA_OK = 0,
    QUELTA_ERR_NO_SUCH_DEVICE = -1,
    QUELTA_ERR_ACCESS_DENIED = -2,
    QUELTA_ERR_NOT_ANSWERING = -3,
    QUELTA_ERR_DEVICE_BUSY = -4,
    QUELTA_ERR_NOT_OPENED = -5,
    QUELTA_ERR_CONFIG_REFUSED = -6,
    QUELTA_ERR_INVALID_PORT = -7,
    QUELTA_ERR_NOT_IMPLEMENTED = -8,
    QUELTA_ERR_TIMED_OUT = -9,
    QUELTA_ERR_INVALID_ARGUMENT = -10,
    QUELTA_ERR_PROTOCOL = -11,
    QUELTA_ERR_SYSTEM = -12,
    QUELTA_ERR_CANCELLED = -13 /* quelta_cancel_wait ended the wait */
} quelta_error;

typedef enum quelta_open_mode {
    QUELTA_OPEN_RESET = 0,          /* SerialOpen: port back to 9600 8N1, rings emptied */
    QUELTA_OPEN_ATTACH = 1,         /* use the port as the last open left it; not after a close */
    QUELTA_OPEN_ATTACH_OR_RESET = 2 /* attach if opened and not closed since, else reset */
} quelta_open_mode;

/* The line configuration; quelta_default_line_config fills in 9600 8N1, no flow control. */
typedef struct quelta_line_config {
    int32_t baud_rate;
    uint8_t data_bits;     /* 5 to 8 */
    char parity;           /* 'n', 'o', 'e', 'm', 's' */
    uint8_t stop_bits;     /* 1, 2, or 3 for one and a half (5 data bits) */
    uint8_t software_flow; /* non-zero: XON/XOFF in both directions */
    uint8_t xon_char;
    uint8_t xoff_char;
    uint8_t flow_control; /* QUELTA_FLOW_* bits */
    uint8_t line_mode;    /* 2 or 3: RS-485 modes with automatic direction; else default */
} quelta_line_config;

#define QUELTA_FLOW_AUTO_RTS 0x01
#define QUELTA_FLOW_AUTO_CTS 0x02
#define QUELTA_FLOW_AUTO_RTS_WITH_DTR 0x04
#define QUELTA_FLOW_AUTO_CTS_WITH_DTR 0x08

typedef struct quelta_modem_status {
    uint8_t raw;
    uint8_t cts_changed, dsr_changed, ring_ended, dcd_changed;
    uint8_t cts, dsr, ring, dcd;
} quelta_modem_status;

typedef struct quelta_line_status {
    uint8_t raw;
    uint8_t data_ready, overrun, parity_error, framing_error;
    uint8_t break_received, holding_empty, transmitter_empty, fifo_error;
} quelta_line_status;

typedef struct quelta_modem_control {
    uint8_t raw;
    uint8_t dtr, rts;
} quelta_modem_control;

typedef struct quelta_line_errors {
    uint8_t raw;
    uint8_t overrun, parity_error, framing_error, break_received, fifo_error;
} quelta_line_errors;

/* The settings the port runs with (not a refused configuration); actual_baud is the rate the
 * divisor really makes from the board's clock. opened 0: the port was never opened, nothing else
 * is known. */
typedef struct quelta_port_settings {
    uint8_t opened;
    quelta_line_config config;
    uint32_t actual_baud;
    uint32_t clock_hz;
    uint16_t divisor;
    uint8_t receive_trigger; /* receive FIFO level that interrupts; 0 from older drivers */
} quelta_port_settings;

/* Line error events since the port was opened; ring_overruns counts received bytes dropped
 * because the receive ring was full. */
typedef struct quelta_error_counts {
    uint32_t overruns, parity_errors, framing_errors, breaks, ring_overruns;
} quelta_error_counts;

/* What is still to go out: queued counts the bytes in the transmit ring (not those already in the
 * UART's FIFO); transmitter_empty is 1 when the UART's FIFO and shift register are both empty. */
typedef struct quelta_transmit_state {
    uint32_t queued;
    uint8_t transmitter_empty;
} quelta_transmit_state;

#define QUELTA_FLUSH_RX 1
#define QUELTA_FLUSH_TX 2
#define QUELTA_FLUSH_BOTH 3

/* The events of quelta_wait_events. */
#define QUELTA_EVENT_RECEIVED 0x01u     /* bytes entered the receive ring */
#define QUELTA_EVENT_TX_EMPTY 0x02u     /* the transmit ring emptied (the UART sends the last) */
#define QUELTA_EVENT_TX_ROOM 0x04u      /* the transmit ring is at most half full again */
#define QUELTA_EVENT_MODEM_CHANGE 0x08u /* CTS, DSR, RI or DCD changed */
#define QUELTA_EVENT_LINE_ERROR 0x10u   /* overrun, parity or framing error, break */
#define QUELTA_EVENT_CANCELLED 0x80000000u

typedef struct quelta_events {
    uint32_t happened;              /* QUELTA_EVENT_* bits; 0 at the time-out */
    quelta_modem_status modem;      /* with MODEM_CHANGE: the status after it, every change seen */
    quelta_line_errors line_errors; /* with LINE_ERROR: the error bits seen */
} quelta_events;

/* The modem inputs of quelta_wait_modem_change. */
#define QUELTA_MODEM_CTS 0x10
#define QUELTA_MODEM_DSR 0x20
#define QUELTA_MODEM_RI 0x40 /* a change is RI going off */
#define QUELTA_MODEM_DCD 0x80

/* reply_timeout_ms 0: the default of 2000 ms. */
int quelta_open(const char* name, quelta_open_mode mode, uint32_t reply_timeout_ms,
                quelta_device** device);
/* As quelta_open, holding the device for this handle alone, as a tty's exclusive open (TIOCEXCL):
 * every other open through the library gets QUELTA_ERR_DEVICE_BUSY while it is held, and it gets
 * that error itself while any other handle is open on the device. Every quelta_open holds a shared
 * claim, refused only while an exclusive one is held. The message names the holders' PIDs. */
int quelta_open_exclusive(const char* name, quelta_open_mode mode, uint32_t reply_timeout_ms,
                          quelta_device** device);
/* Releases the handle; sends nothing to the driver. NULL is allowed. */
void quelta_close(quelta_device* device);

const char* quelta_device_name(const quelta_device* device);
uint8_t quelta_port_index(const quelta_device* device);

/* The waiting calls (read_some, read_exact, write_all, drain, configure, wait_modem_change,
 * wait_events) sleep until the driver's interrupt service says that what they wait for may have
 * come; against a driver without events they poll. quelta_cancel_wait ends them as their time-out
 * would, with QUELTA_ERR_CANCELLED where that gives QUELTA_ERR_TIMED_OUT.
 *
 * What is there / what the ring takes now, without waiting; the count in *count. */
int quelta_read(quelta_device* device, void* buffer, size_t size, size_t* count);
int quelta_write(quelta_device* device, const void* data, size_t size, size_t* count);
/* Waits up to timeout_ms for at least one byte; *count 0 at the time-out (not an error). */
int quelta_read_some(quelta_device* device, void* buffer, size_t size, uint32_t timeout_ms,
                     size_t* count);
/* QUELTA_ERR_TIMED_OUT when the time runs out first; *count (may be NULL) has the bytes moved.
 * read_exact's time counts from the call, write_all's from the last byte the driver took. */
int quelta_read_exact(quelta_device* device, void* buffer, size_t size, uint32_t timeout_ms,
                      size_t* count);
int quelta_write_all(quelta_device* device, const void* data, size_t size, uint32_t timeout_ms,
                     size_t* count);

void quelta_default_line_config(quelta_line_config* config);
/* Sends nothing when the configuration is the one in force; otherwise applies it once everything
 * written before has left the line (as tcsetattr's TCSADRAIN), since every applied configuration
 * resets the UART's FIFOs. QUELTA_ERR_TIMED_OUT, with nothing applied, when the line does not
 * drain within the time the queued bytes need at the rate in force plus a second. */
int quelta_configure(quelta_device* device, const quelta_line_config* config);
/* As quelta_configure, but applied at once (TCSANOW): what the UART's FIFOs hold is lost. */
int quelta_configure_now(quelta_device* device, const quelta_line_config* config);

int quelta_set_dtr(quelta_device* device, int on);
int quelta_set_rts(quelta_device* device, int on);
int quelta_set_break(quelta_device* device, int on);
int quelta_close_port(quelta_device* device);

int quelta_get_modem_status(quelta_device* device, quelta_modem_status* status);
int quelta_get_line_status(quelta_device* device, quelta_line_status* status);
int quelta_get_modem_control(quelta_device* device, quelta_modem_control* control);
int quelta_get_line_errors(quelta_device* device, quelta_line_errors* errors);
int quelta_get_rx_count(quelta_device* device, uint32_t* count);
/* The driver's extension requests; QUELTA_ERR_NOT_IMPLEMENTED from a driver without them. */
int quelta_get_settings(quelta_device* device, quelta_port_settings* settings);
int quelta_get_error_counts(quelta_device* device, quelta_error_counts* counts);
/* Empties the receive side, the transmit side or both (QUELTA_FLUSH_*), ring and FIFO, and keeps
 * the settings and the modem lines. */
int quelta_flush(quelta_device* device, int which);
int quelta_get_transmit_state(quelta_device* device, quelta_transmit_state* state);
/* As tcdrain: returns once everything written has left the line; QUELTA_ERR_TIMED_OUT when
 * timeout_ms passes first. */
int quelta_drain(quelta_device* device, uint32_t timeout_ms);

/* The receive FIFO level at which the UART interrupts, 1 to 56 (56 after every open): low, short
 * frames are taken at once instead of after four characters' silence. QUELTA_ERR_CONFIG_REFUSED
 * for another level. */
int quelta_set_receive_trigger(quelta_device* device, uint8_t level);

/* As TIOCMIWAIT: waits for a change of one of the lines (QUELTA_MODEM_* bits) from the call on;
 * the status after it in *status. QUELTA_ERR_TIMED_OUT when none comes in time. */
int quelta_wait_modem_change(quelta_device* device, uint8_t lines, uint32_t timeout_ms,
                             quelta_modem_status* status);
/* As WaitCommEvent: waits for one of the events of mask (QUELTA_EVENT_* bits) and reports in
 * *events those that came since the previous call on this handle (happened 0 at the time-out).
 * QUELTA_ERR_NOT_IMPLEMENTED from a driver without events. */
int quelta_wait_events(quelta_device* device, uint32_t mask, uint32_t timeout_ms,
                       quelta_events* events);
/* From another thread: ends every wait on this handle in progress at once, or, when none is, the
 * next one that has to wait. */
int quelta_cancel_wait(quelta_device* device);
/* 1 when the waits sleep on the driver's events, 0 when they poll. */
int quelta_has_events(const quelta_device* device);

/* A fixed text for each code; never NULL. */
const char* quelta_error_string(int error);
/* The full reason of the last failed call on this thread ("" when none). */
const char* quelta_last_error_message(void);

/* The library's version, "MAJOR.MINOR.PATCH"; libquelta_client.so.MAJOR keeps the interface of
 * this header for every MINOR and PATCH. */
const char* quelta_version(void);

#ifdef __cplusplus
}
#endif

#endif
