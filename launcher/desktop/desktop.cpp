// The desktop's services, reached with sd-bus: logind's (or, in a Flatpak
// sandbox, the portal's) sleep inhibitor, desktop notifications, the
// launcher-entry signal that docks and task managers read for a progress bar,
// the build's scope under the user's service manager, and the accessibility
// bus's word on a screen reader.
// Every call is asynchronous: the replies are taken in by desktop_pass, so a
// slow or missing service can never hold the loop.
#include "desktop.h"

#include "../core/core.h"

#include <cstring>
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

constexpr const char *APP_ID = "org.orvandel.launcher";
constexpr const char *ENTRY_URI = "application://org.orvandel.launcher.desktop";
constexpr const char *ENTRY_PATH = "/org/orvandel/launcher";
constexpr const char *REASON = N_("Building Orvandel");  // shown by the desktop beside the inhibitor
constexpr uint32_t PORTAL_SUSPEND = 4;
constexpr Uint32 ENTRY_EVERY_MS = 250;  // docks redraw on every update: a few a second is plenty
constexpr int PASS_MESSAGES = 64;       // a flood on the bus cannot keep a pass from the window
constexpr Uint32 CLOSE_FLUSH_MS = 250;
// A scope's weights against the default 100 of the player's programs: as a
// niceness of 10 weighs against 0.
constexpr uint64_t SCOPE_CPU_WEIGHT = 10, SCOPE_IO_WEIGHT = 10;
constexpr uint64_t SCOPE_TIMEOUT_US = 1000000;

static bool ON;                 // ORVL_DESKTOP is not "0"
static bool SANDBOXED;          // inside Flatpak: inhibit through the portal
static sd_bus *SYSTEM, *SESSION;
static bool HELD;               // the inhibitor is wanted
static int INHIBITOR = -1;      // logind's inhibitor: held while open
static char REQUEST[256];       // the portal's inhibit request, closed to let go
static uint32_t NOTE;           // id of the latest notification
static double SHOWN = -1;       // fraction on the taskbar, or negative for none
static Uint32 SHOWN_AT;         // SDL_GetTicks() of the last update

static void close_request(const char *handle)
{
    if (SESSION)
        sd_bus_call_method_async(SESSION, nullptr, "org.freedesktop.portal.Desktop", handle,
                                 "org.freedesktop.portal.Request", "Close", nullptr, nullptr, "");
}

// A reply can come after the build has ended, or after an earlier request
// was granted: then the inhibitor is let go at once.
static int on_inhibit(sd_bus_message *m, void *, sd_bus_error *)
{
    int fd;
    if (sd_bus_message_is_method_error(m, nullptr) || sd_bus_message_read(m, "h", &fd) < 0)
        return 0;
    if (HELD && INHIBITOR < 0)
        INHIBITOR = fcntl(fd, F_DUPFD_CLOEXEC, 3);  // the reply closes its own copy
    return 0;
}

static int on_portal_inhibit(sd_bus_message *m, void *, sd_bus_error *)
{
    const char *handle;
    if (sd_bus_message_is_method_error(m, nullptr) || sd_bus_message_read(m, "o", &handle) < 0)
        return 0;
    if (HELD && !REQUEST[0] && strlen(handle) < sizeof REQUEST)
        snprintf(REQUEST, sizeof REQUEST, "%.255s", handle);
    else
        close_request(handle);
    return 0;
}

static int on_notified(sd_bus_message *m, void *, sd_bus_error *)
{
    uint32_t id;
    if (!sd_bus_message_is_method_error(m, nullptr) && sd_bus_message_read(m, "u", &id) >= 0)
        NOTE = id;
    return 0;
}

// Every program's notifications share the signal: only ours raise the window.
static int on_action(sd_bus_message *m, void *, sd_bus_error *)
{
    uint32_t id;
    const char *key;
    if (sd_bus_message_read(m, "us", &id, &key) < 0 || id == 0 || id != NOTE)
        return 0;
    SDL_ShowWindow(WIN);
    SDL_RaiseWindow(WIN);
    return 0;
}

// ---- screen reader ----
// The accessibility bus launcher's status object says whether a screen reader
// is on: ScreenReaderEnabled, or IsEnabled on desktops without that one.
constexpr const char *A11Y_NAME = "org.a11y.Bus", *A11Y_PATH = "/org/a11y/bus";
constexpr const char *A11Y_STATUS = "org.a11y.Status";

static bool READER;             // a screen reader is on
static bool READER_NAMED;       // ScreenReaderEnabled exists: IsEnabled no longer counts

static void ask_reader(const char *property);

static void reader_is(const char *property, int on)
{
    bool named = strcmp(property, "ScreenReaderEnabled") == 0;
    if (!named && READER_NAMED)
        return;
    READER_NAMED |= named;
    READER = on;
}

static int on_reader(sd_bus_message *m, void *property, sd_bus_error *)
{
    int on;
    if (sd_bus_message_is_method_error(m, nullptr)) {
        if (strcmp((const char *)property, "ScreenReaderEnabled") == 0)
            ask_reader("IsEnabled");
        return 0;
    }
    if (sd_bus_message_read(m, "v", "b", &on) >= 0)
        reader_is((const char *)property, on);
    return 0;
}

static int on_reader_changed(sd_bus_message *m, void *, sd_bus_error *)
{
    const char *iface, *name;
    if (sd_bus_message_read(m, "s", &iface) < 0 || strcmp(iface, A11Y_STATUS) != 0 ||
        sd_bus_message_enter_container(m, 'a', "{sv}") <= 0)
        return 0;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        int on;
        if (sd_bus_message_read(m, "s", &name) < 0)
            return 0;
        if (strcmp(name, "ScreenReaderEnabled") != 0 && strcmp(name, "IsEnabled") != 0) {
            if (sd_bus_message_skip(m, "v") < 0)
                return 0;
        } else if (sd_bus_message_read(m, "v", "b", &on) >= 0) {
            reader_is(name, on);
        } else {
            return 0;
        }
        sd_bus_message_exit_container(m);
    }
    return 0;
}

// Asking must not start the accessibility bus: without it no screen reader runs.
static void ask_reader(const char *property)
{
    sd_bus_message *m = nullptr;
    if (SESSION &&
        sd_bus_message_new_method_call(SESSION, &m, A11Y_NAME, A11Y_PATH, "org.freedesktop.DBus.Properties",
                                       "Get") >= 0 &&
        sd_bus_message_set_auto_start(m, 0) >= 0 && sd_bus_message_append(m, "ss", A11Y_STATUS, property) >= 0)
        sd_bus_call_async(SESSION, nullptr, m, on_reader, (void *)property, 0);
    sd_bus_message_unref(m);
}

bool desktop_screen_reader()
{
    return READER;
}

void desktop_open()
{
    ON = strcmp(env_or("ORVL_DESKTOP", "1"), "0") != 0;
    if (!ON)
        return;
    // Flatpak marks its sandbox with this file and the app's id.
    SANDBOXED = access("/.flatpak-info", F_OK) == 0 || *env_or("FLATPAK_ID", "");
    // Opening starts the connection and its handshake without waiting for
    // either; what is sent before it completes is queued.
    if (sd_bus_open_user(&SESSION) < 0)
        SESSION = nullptr;
    if (!SANDBOXED && sd_bus_open_system(&SYSTEM) < 0)
        SYSTEM = nullptr;
    if (SESSION)
        sd_bus_match_signal_async(SESSION, nullptr, nullptr, "/org/freedesktop/Notifications",
                                  "org.freedesktop.Notifications", "ActionInvoked", on_action,
                                  nullptr, nullptr);
    if (SESSION) {
        sd_bus_match_signal_async(SESSION, nullptr, A11Y_NAME, A11Y_PATH, "org.freedesktop.DBus.Properties",
                                  "PropertiesChanged", on_reader_changed, nullptr, nullptr);
        ask_reader("ScreenReaderEnabled");
    }
}

// A bus that went away is dropped; everything else goes on without it.
static void take_replies(sd_bus **bus)
{
    for (int i = 0; *bus && i < PASS_MESSAGES; i++) {
        int r = sd_bus_process(*bus, nullptr);
        if (r < 0)
            *bus = sd_bus_close_unref(*bus);
        if (r <= 0)
            return;
    }
}

void desktop_pass()
{
    take_replies(&SYSTEM);
    take_replies(&SESSION);
}

void desktop_hold(bool building)
{
    if (building == HELD)
        return;
    HELD = building;
    if (!building) {
        if (INHIBITOR >= 0)
            close(INHIBITOR);
        INHIBITOR = -1;
        if (REQUEST[0])
            close_request(REQUEST);
        REQUEST[0] = '\0';
    } else if (SANDBOXED && SESSION) {
        sd_bus_call_method_async(SESSION, nullptr, "org.freedesktop.portal.Desktop",
                                 "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Inhibit",
                                 "Inhibit", on_portal_inhibit, nullptr, "sua{sv}", "", PORTAL_SUSPEND,
                                 1, "reason", "s", _(REASON));
    } else if (SYSTEM) {
        sd_bus_call_method_async(SYSTEM, nullptr, "org.freedesktop.login1", "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", "Inhibit", on_inhibit, nullptr,
                                 "ssss", "sleep", "Orvandel", _(REASON), "block");
    }
}

void desktop_progress(bool building, double fraction)
{
    double show = building && fraction >= 0 ? SDL_min(fraction, 1.0) : -1.0;
    if (show == SHOWN || !SESSION)
        return;
    // The latest fraction goes out with the first pass that may send it; the
    // build's end is never held back.
    Uint32 now = SDL_GetTicks();
    if (building && now - SHOWN_AT < ENTRY_EVERY_MS)
        return;
    SHOWN = show;
    SHOWN_AT = now;
    if (show < 0)
        sd_bus_emit_signal(SESSION, ENTRY_PATH, "com.canonical.Unity.LauncherEntry", "Update",
                           "sa{sv}", ENTRY_URI, 1, "progress-visible", "b", 0);
    else
        sd_bus_emit_signal(SESSION, ENTRY_PATH, "com.canonical.Unity.LauncherEntry", "Update",
                           "sa{sv}", ENTRY_URI, 2, "progress", "d", show, "progress-visible", "b", 1);
}

// The build is already niced; a scope adds a low weight against the
// desktop's other groups. The launcher's own signals and reaping stay the
// authority over the build: the scope ends by itself when its processes do.
// Whatever the manager answers, or if it never does, the build runs on.
static int on_scope(sd_bus_message *, void *, sd_bus_error *)
{
    return 0;
}

void desktop_scope(int pid)
{
    sd_bus_message *m = nullptr;
    char unit[64];
    snprintf(unit, sizeof unit, "orvandel-build-%d.scope", pid);
    if (SESSION &&
        sd_bus_message_new_method_call(SESSION, &m, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                       "org.freedesktop.systemd1.Manager", "StartTransientUnit") >= 0 &&
        sd_bus_message_set_auto_start(m, 0) >= 0 &&
        sd_bus_message_append(m, "ssa(sv)a(sa(sv))", unit, "fail", 4, "PIDs", "au", 1, (uint32_t)pid,
                              "CPUWeight", "t", SCOPE_CPU_WEIGHT, "IOWeight", "t", SCOPE_IO_WEIGHT,
                              "Description", "s", _(REASON), 0) >= 0)
        sd_bus_call_async(SESSION, nullptr, m, on_scope, nullptr, SCOPE_TIMEOUT_US);
    sd_bus_message_unref(m);
}

// The servers that show markup read the body as markup, and D-Bus refuses a
// string that is not UTF-8: a message cut at 511 bytes can end mid-character.
static void body_text(const char *in, char *out, size_t size)
{
    size_t len = 0;
    int left = (int)strlen(in);
    for (const char *p = in; *p;) {
        int n;
        uint32_t c = utf8_next(p, left, &n);
        char one[5] = "";
        const char *put = *p == '&' ? "&amp;" : *p == '<' ? "&lt;" : *p == '>' ? "&gt;"
                        : c == REPLACEMENT ? "\xEF\xBF\xBD" : one;
        if (put == one)
            memcpy(one, p, n);
        size_t k = strlen(put);
        if (len + k >= size)
            break;
        memcpy(out + len, put, k);
        len += k;
        p += n;
        left -= n;
    }
    out[len] = '\0';
}

void desktop_done(const char *sentence)
{
    if (!ON || (SDL_GetWindowFlags(WIN) & SDL_WINDOW_INPUT_FOCUS))
        return;
    SDL_FlashWindow(WIN, SDL_FLASH_UNTIL_FOCUSED);
    if (!SESSION)
        return;
    char body[sizeof S.message * sizeof "&amp;"];   // room for every byte as an entity
    body_text(sentence, body, sizeof body);
    sd_bus_call_method_async(SESSION, nullptr, "org.freedesktop.Notifications",
                             "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                             "Notify", on_notified, nullptr, "susssasa{sv}i", "Orvandel", 0u, APP_ID,
                             "Orvandel", body, 2, "default", _("Open"), 1, "desktop-entry", "s", APP_ID, -1);
}

static bool queued()
{
    uint64_t n = 0, m = 0;
    if (SYSTEM)
        sd_bus_get_n_queued_write(SYSTEM, &n);
    if (SESSION)
        sd_bus_get_n_queued_write(SESSION, &m);
    return n + m > 0;
}

// The last messages (the taskbar cleared, the portal's request closed) get a
// bounded moment to leave; a stuck bus cannot hold the exit.
void desktop_close()
{
    desktop_hold(false);
    desktop_progress(false, -1);
    Uint32 begin = SDL_GetTicks();
    while (queued() && SDL_GetTicks() - begin < CLOSE_FLUSH_MS) {
        desktop_pass();
        if (SESSION)
            sd_bus_wait(SESSION, 5000);
        if (SYSTEM)
            sd_bus_wait(SYSTEM, 5000);
    }
    SYSTEM = sd_bus_close_unref(SYSTEM);
    SESSION = sd_bus_close_unref(SESSION);
}
