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
    const char* names[4];
    names[0] = KQ_ResultName(KQ_ERR_USB);
    names[1] = KQ_ResultText(KQ_ERR_USB);
    names[2] = KQ_D2xxStatusName(0);
    names[3] = KQ_D2xxStatusText(0);
    (void)names;
    return prop.StopFlag + (int)sizeof(KQ_NOTIFICATION);
}
