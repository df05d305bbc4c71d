/* Test shim, preloaded into inktray: reports the screen size written in the
 * file named by INKTEST_SCREEN_FILE instead of the X server's, so that a test
 * can change the screen size at run time (Xvfb accepts RandR size requests but
 * never resizes its root window). Without the file the real size is used. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

typedef struct _GdkScreen GdkScreen;

static int shim_size(int *w, int *h) {
    const char *f = getenv("INKTEST_SCREEN_FILE");
    if (f == NULL) return 0;
    FILE *fp = fopen(f, "r");
    if (fp == NULL) return 0;
    int ok = fscanf(fp, "%d %d", w, h) == 2;
    fclose(fp);
    return ok;
}

int gdk_screen_get_width(GdkScreen *s) {
    int w, h;
    if (shim_size(&w, &h)) return w;
    int (*real)(GdkScreen *) = (int (*)(GdkScreen *))dlsym(RTLD_NEXT, "gdk_screen_get_width");
    return real(s);
}

int gdk_screen_get_height(GdkScreen *s) {
    int w, h;
    if (shim_size(&w, &h)) return h;
    int (*real)(GdkScreen *) = (int (*)(GdkScreen *))dlsym(RTLD_NEXT, "gdk_screen_get_height");
    return real(s);
}
