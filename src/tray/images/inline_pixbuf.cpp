#include "tray_images.h"

GdkPixbuf *pixbuf_from_inline(const unsigned char *record) {
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    return gdk_pixbuf_new_from_inline(-1, record, FALSE, nullptr);
    G_GNUC_END_IGNORE_DEPRECATIONS
}
