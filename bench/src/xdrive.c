/* Drives windows on a bare X server (no window manager) for the benchmark.
 *   xdrive map NAME TIMEOUT_MS   waits until a top-level window called NAME is
 *                                mapped; prints "ready" once it watches, then
 *                                "<window id> <ns>" (the first map: a window
 *                                that SDL recreates for OpenGL is mapped twice)
 *   xdrive id NAME               prints the id of the mapped window called NAME
 *   xdrive key NAME KEYSYM...    gives the mapped window called NAME the input
 *                                focus, then presses and releases each key
 *                                through XTEST, like a real keyboard; prints
 *                                the ns just before each press
 * Times are CLOCK_MONOTONIC nanoseconds, comparable with the shim's. */
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static int named(Display *d, Window w, const char *name)
{
    char *got = NULL;
    int same = 0;
    if (XFetchName(d, w, &got) && got) {
        same = strcmp(got, name) == 0;
        XFree(got);
    }
    return same;
}

static int ignore_errors(Display *d, XErrorEvent *e)
{
    (void)d;
    (void)e;
    return 0;
}

static int viewable(Display *d, Window w)
{
    XWindowAttributes a;
    return XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable;
}

static Window find_mapped(Display *d, const char *name)
{
    Window root_ret, parent, *kids = NULL, found = 0;
    unsigned n = 0;
    if (!XQueryTree(d, DefaultRootWindow(d), &root_ret, &parent, &kids, &n))
        return 0;
    for (unsigned i = 0; i < n && !found; i++)
        if (viewable(d, kids[i]) && named(d, kids[i], name))
            found = kids[i];
    if (kids)
        XFree(kids);
    return found;
}

static int cmd_map(Display *d, const char *name, long timeout_ms)
{
    Window root = DefaultRootWindow(d);
    XSelectInput(d, root, SubstructureNotifyMask);
    XSync(d, False);
    printf("ready\n");
    fflush(stdout);
    long long deadline = now_ns() + timeout_ms * 1000000LL;
    Window w = find_mapped(d, name);
    long long when = now_ns();
    while (!w) {
        while (!w && XPending(d)) {
            XEvent e;
            XNextEvent(d, &e);
            if (e.type == MapNotify && named(d, e.xmap.window, name)) {
                when = now_ns();
                w = e.xmap.window;
            }
        }
        if (w)
            break;
        /* The name may be set after the map: rescan now and then. */
        struct pollfd p = {ConnectionNumber(d), POLLIN, 0};
        int left = (int)((deadline - now_ns()) / 1000000LL);
        if (left <= 0)
            return 1;
        poll(&p, 1, left < 5 ? left : 5);
        if (!XPending(d)) {
            w = find_mapped(d, name);
            when = now_ns();
        }
    }
    printf("%lu %lld\n", (unsigned long)w, when);
    return 0;
}

static int cmd_key(Display *d, Window w, int n, char **keys)
{
    int ev, er, maj, min;
    if (!XTestQueryExtension(d, &ev, &er, &maj, &min)) {
        fprintf(stderr, "xdrive: no XTEST\n");
        return 1;
    }
    XSetInputFocus(d, w, RevertToParent, CurrentTime);
    XSync(d, False);
    for (int tries = 0; tries < 200; tries++) {
        Window f;
        int rev;
        XGetInputFocus(d, &f, &rev);
        if (f == w)
            break;
        struct timespec t = {0, 5000000};
        nanosleep(&t, NULL);
    }
    for (int i = 0; i < n; i++) {
        KeySym ks = XStringToKeysym(keys[i]);
        KeyCode kc = XKeysymToKeycode(d, ks);
        if (!kc) {
            fprintf(stderr, "xdrive: no key %s\n", keys[i]);
            return 1;
        }
        long long t = now_ns();
        XTestFakeKeyEvent(d, kc, True, CurrentTime);
        XTestFakeKeyEvent(d, kc, False, CurrentTime);
        XSync(d, False);
        printf("%lld\n", t);
    }
    return 0;
}

int main(int argc, char **argv)
{
    Display *d = XOpenDisplay(NULL);
    if (!d) {
        fprintf(stderr, "xdrive: cannot open display\n");
        return 2;
    }
    XSetErrorHandler(ignore_errors);
    if (argc >= 4 && strcmp(argv[1], "map") == 0)
        return cmd_map(d, argv[2], strtol(argv[3], NULL, 10));
    if (argc >= 3 && strcmp(argv[1], "id") == 0) {
        Window w = find_mapped(d, argv[2]);
        if (!w)
            return 1;
        printf("%lu\n", (unsigned long)w);
        return 0;
    }
    if (argc >= 4 && strcmp(argv[1], "key") == 0) {
        Window w = find_mapped(d, argv[2]);
        if (!w) {
            fprintf(stderr, "xdrive: no window %s\n", argv[2]);
            return 1;
        }
        return cmd_key(d, w, argc - 3, argv + 3);
    }
    fprintf(stderr, "usage: xdrive map NAME TIMEOUT_MS | xdrive id NAME | xdrive key NAME KEYSYM...\n");
    return 2;
}
