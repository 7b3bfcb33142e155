/* Sends a text from one port and reads it back on another (a null-modem pair such as Serial0
 * and Serial1 of the default machine) through the C API of the Quelta client library.
 *
 *     cc exchange.c $(pkg-config --cflags --libs quelta-client) -o exchange
 *     ./exchange Serial0 Serial1 hello
 */
#include <stdio.h>
#include <string.h>

#include <client/quelta_client.h>

/* Every call returns QUELTA_OK or an error code; the message says why it failed. */
static void Report(const char* what) {
    fprintf(stderr, "exchange: %s: %s\n", what, quelta_last_error_message());
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: exchange FROM TO TEXT\n");
        return 2;
    }
    const char* text = argv[3];
    const size_t size = strlen(text);
    char received[256];
    if (size == 0 || size > sizeof received) {
        fprintf(stderr, "exchange: TEXT must have 1 to %zu bytes\n", sizeof received);
        return 2;
    }

    quelta_device* ports[2] = {NULL, NULL};
    quelta_line_config config;
    quelta_default_line_config(&config);
    config.baud_rate = 115200;
    int status = 1;
    for (int i = 0; i < 2; ++i) {
        if (quelta_open(argv[1 + i], QUELTA_OPEN_ATTACH_OR_RESET, 0, &ports[i]) != QUELTA_OK ||
            quelta_configure(ports[i], &config) != QUELTA_OK ||
            quelta_flush(ports[i], QUELTA_FLUSH_RX) != QUELTA_OK) {
            Report(argv[1 + i]);
            goto done;
        }
    }
    if (quelta_write_all(ports[0], text, size, 2000, NULL) != QUELTA_OK) {
        Report("write");
        goto done;
    }
    if (quelta_read_exact(ports[1], received, size, 2000, NULL) != QUELTA_OK) {
        Report("read");
        goto done;
    }
    if (memcmp(received, text, size) != 0) {
        fprintf(stderr, "exchange: %s received other bytes than %s sent\n", argv[2], argv[1]);
        goto done;
    }
    printf("%s received \"%.*s\" from %s (libquelta_client %s)\n", argv[2], (int)size, received,
           argv[1], quelta_version());
    status = 0;
done:
    quelta_close(ports[0]);
    quelta_close(ports[1]);
    return status;
}
