/* The public header must compile as strict C99: this file fails the build
 * otherwise. */
#include "kq.h"

int kq_header_c99_use(void);
int kq_header_c99_use(void) {
    KQ_PROPERTY prop = {0};
    KQ_IN_SR in;
    KQ_TAGINFO tag;
    (void)in;
    (void)tag;
    return prop.StopFlag + (int)sizeof(KQ_NOTIFICATION);
}
