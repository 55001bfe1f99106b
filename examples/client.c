/*
 * client.c - a minimal client of the KQ reader library (C99).
 *
 * Finds the first attached reader, opens it, lists the UIDs of the tags in
 * its field and closes it again. Build it against the library, e.g. for
 * 32-bit Windows:
 *
 *   i686-w64-mingw32-gcc -std=c99 -I include examples/client.c -o client.exe \
 *       -L <folder of libkq.dll.a> -lkq
 *
 * Usage: client [serial-number]   (default: the first reader found)
 */
#include "kq.h"

#include <stdio.h>
#include <string.h>

/* The record is about 33 KB: keep it off the stack. Zeroed, as the library
 * expects before first use (no handle, no worker, no loop mode). */
static KQ_PROPERTY prop;

int main(int argc, char** argv) {
    char serial[KQ_SERIALNO_BUFFER_SIZE];
    int rc;
    int i;

    memset(serial, 0, sizeof serial);
    if (argc > 1) {
        strncpy(serial, argv[1], sizeof serial - 1);
    } else {
        rc = KQ_GetSerialNo(serial);
        if (rc != KQ_OK) {
            fprintf(stderr, "no reader found (result %d)\n", rc);
            return 1;
        }
    }
    printf("reader: %s\n", serial);

    prop.SerialNo = serial;
    prop.ReadTimeout = 300;  /* ms */
    prop.WriteTimeout = 300; /* ms */
    prop.StopFlag = 1;       /* no loop worker */
    KQ_Init_PROPERTY(&prop);

    rc = KQ_OpenUSB(&prop);
    if (rc != KQ_OK) {
        fprintf(stderr, "cannot open reader %s (result %d)\n", serial, rc);
        return 1;
    }

    rc = KQ_GetUID(&prop);
    if (rc == KQ_OK) {
        printf("tags in the field: %u\n", (unsigned)prop.OUT_GU.Count);
        for (i = 0; i < prop.OUT_GU.Count && i < 4; ++i) {
            printf("  %s\n", prop.OUT_GU.TagInfo[i].UID);
        }
    } else {
        fprintf(stderr, "inventory failed (result %d)\n", rc);
    }

    if (KQ_CloseUSB(&prop) != KQ_OK) {
        fprintf(stderr, "close failed\n");
        return 1;
    }
    return rc == KQ_OK ? 0 : 1;
}
