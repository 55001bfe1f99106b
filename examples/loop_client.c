/*
 * loop_client.c - a loop-mode client of the KQ reader library (C99, POSIX).
 *
 * Opens the first reader, starts the UID loop with the write end of a pipe
 * as its notification target, and waits on the read end with poll(): each
 * WM_KQ_DATA prints the field when it has changed. Ends after the given
 * number of seconds (default 5), on Ctrl-C, or when the reader is lost.
 *
 *   cc -std=c99 -I include examples/loop_client.c -o loop_client \
 *      -L build/release/bin -lkq -Wl,-rpath,build/release/bin
 *   KQ_D2XX=build/release/bin/libkqsim_d2xx.so \
 *   KQSIM_SCENARIO=examples/field.scenario ./loop_client 5
 */
#define _POSIX_C_SOURCE 200809L
#include "kq.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* Zeroed, off the stack and never moved: the loop worker keeps its address
 * until KQ_LoopStop has returned. */
static KQ_PROPERTY prop;
static volatile sig_atomic_t interrupted;

static void on_signal(int sig) {
    (void)sig;
    interrupted = 1;
}

static long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

/* The field as one line of UIDs. */
static void field_text(char* out, size_t cap) {
    out[0] = '\0';
    for (int i = 0; i < prop.OUT_GU.Count && i < 4; ++i) {
        strncat(out, prop.OUT_GU.TagInfo[i].UID, cap - strlen(out) - 2);
        strncat(out, " ", cap - strlen(out) - 1);
    }
}

int main(int argc, char** argv) {
    long seconds = argc > 1 ? strtol(argv[1], NULL, 10) : 5;
    char serial[KQ_SERIALNO_BUFFER_SIZE] = {0};
    int fds[2];
    int rc;

    if (KQ_GetSerialNo(serial) != KQ_OK) {
        fprintf(stderr, "no reader found\n");
        return 1;
    }
    if (pipe(fds) != 0) {
        perror("pipe");
        return 1;
    }
    /* The library never waits on the descriptor; make sure write() cannot. */
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);

    prop.SerialNo = serial;
    prop.ReadTimeout = prop.WriteTimeout = 500;
    prop.StopFlag = 1;
    KQ_Init_PROPERTY(&prop);
    if ((rc = KQ_OpenUSB(&prop)) != KQ_OK) {
        fprintf(stderr, "cannot open %s (result %d)\n", serial, rc);
        return 1;
    }
    printf("reader: %s\n", serial);

    signal(SIGINT, on_signal);
    prop.hWnd = fds[1];
    prop.LoopMode = 1;
    prop.StopFlag = 0;
    if ((rc = KQ_GetUID(&prop)) != KQ_OK) {
        fprintf(stderr, "cannot start the UID loop (result %d)\n", rc);
        KQ_CloseUSB(&prop);
        return 1;
    }

    char last[4 * 17 + 1] = "?";
    long end = now_ms() + seconds * 1000L;
    int lost = 0;
    while (!interrupted && !lost && now_ms() < end) {
        struct pollfd p = {fds[0], POLLIN, 0};
        int ready = poll(&p, 1, (int)(end - now_ms() > 0 ? end - now_ms() : 0));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        KQ_NOTIFICATION n;
        if (read(fds[0], &n, sizeof n) != (ssize_t)sizeof n) {
            break;
        }
        if (n.Message == WM_KQ_DATA) {
            char now[sizeof last];
            field_text(now, sizeof now);
            if (strcmp(now, last) != 0) {
                printf("tags in the field: %u  %s\n", (unsigned)prop.OUT_GU.Count, now);
                fflush(stdout);
                strcpy(last, now);
            }
        } else if (n.Message == WM_KQ_USBERROR) {
            printf("reader lost\n");
            lost = 1;
        }
    }

    KQ_LoopStop(&prop); /* waits for the worker; posts WM_KQ_LOOPEND */
    /* Take what is left (no WM_KQ_LOOPEND follows a lost reader). */
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    KQ_NOTIFICATION n;
    while (read(fds[0], &n, sizeof n) == (ssize_t)sizeof n && n.Message != WM_KQ_LOOPEND) {
    }
    printf("loop ended\n");
    KQ_CloseUSB(&prop);
    close(fds[0]);
    close(fds[1]);
    return lost ? 1 : 0;
}
