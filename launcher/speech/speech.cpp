// The speech thread and its queue. Every libspeechd call is a round trip to
// the speech server with no time limit, and a server that never answers
// blocks its caller for ever: so the loop only puts texts into a small queue
// under a lock held for a copy, and this thread alone speaks them. A text
// the server refuses costs a new connection at once; a server that is
// missing or gone costs a connection attempt every few seconds, on this
// thread, and whatever was said meanwhile, but a failure is said again.
#include "speech.h"

#include "../core/core.h"

#include <cctype>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <libspeechd.h>
#include <pthread.h>
#include <unistd.h>

constexpr int QUEUE = 8;                // a screen, its button and a few steps; the oldest go first
constexpr int TEXT_MAX = 2048;          // a failure, the logs folder and the words around them
constexpr long RETRY_MS = 5000;         // a server that is missing or lost is tried again at most this often
constexpr long CLOSE_WAIT_MS = 500;

struct Saying {
    int kind;                           // SAY_*
    char text[TEXT_MAX];
};

// What each kind is to the server: a new screen and the steps queue, the
// focused button keeps only the newest, progress keeps the last of a run,
// a failure interrupts.
static const SPDPriority PRIORITY[] = {
    /* SAY_CANCEL   */ SPD_IMPORTANT,
    /* SAY_SCREEN   */ SPD_MESSAGE,
    /* SAY_FOCUS    */ SPD_TEXT,
    /* SAY_STEP     */ SPD_MESSAGE,
    /* SAY_PROGRESS */ SPD_PROGRESS,
    /* SAY_ALERT    */ SPD_IMPORTANT,
};
static_assert(std::size(PRIORITY) == SAY_ALERT + 1, "a priority for every kind");

// Which text matters most when only one can be said again: the server's order.
static const int RANK[] = {-1, 2, 1, 2, 0, 3};
static_assert(std::size(RANK) == std::size(PRIORITY), "a rank for every kind");

static pthread_mutex_t LOCK = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t MORE = PTHREAD_COND_INITIALIZER;
static Saying RING[QUEUE];              // under LOCK
static int HEAD, COUNT;                 // under LOCK: the oldest text, how many wait
static unsigned GEN;                    // under LOCK: the thread that may run; any other ends
static pthread_t THREAD;
static bool RUNNING;                    // a thread of GEN runs
static bool MISSED;                     // under LOCK: a failure went unsaid, and the server is back
static int WANT = -2;                   // ORVL_SPEECH: 1 on, 0 off, -1 the desktop decides; -2 unread
static char VOICE[16];                  // the catalog's language, for the server's voice

static long now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

// The voice speaks the catalog's language: its header's "Language: pt_BR"
// becomes "pt-BR". Without a catalog the texts are English.
static void voice_language()
{
    const char *none = "";
    const char *head = gettext(none);
    const char *l = head != none ? strstr(head, "Language: ") : nullptr;
    size_t n = 0;
    if (l) {
        l += strlen("Language: ");
        for (; n < sizeof VOICE - 1 && (isalnum((unsigned char)l[n]) || l[n] == '_'); n++)
            VOICE[n] = l[n] == '_' ? '-' : l[n];
    }
    VOICE[n] = '\0';
    if (n == 0)
        snprintf(VOICE, sizeof VOICE, "en");
}

// No autospawn: the server is the screen reader's, and one started here
// would not follow SPEECHD_ADDRESS. spd_open2 leaks a little on every
// connection it fails to make, so a socket that is not there is not tried.
static SPDConnection *connect()
{
    char *error = nullptr, *failure = nullptr;
    SPDConnectionAddress *address = spd_get_default_address(&error);
    SPDConnection *c = nullptr;
    if (address && (address->method != SPD_METHOD_UNIX_SOCKET || access(address->unix_socket_name, F_OK) == 0))
        c = spd_open2("orvandel", "launcher", nullptr, SPD_MODE_SINGLE, address, 0, &failure);
    if (address)
        SPDConnectionAddress__free(address);
    free(error);
    free(failure);
    if (c && spd_set_language(c, VOICE) < 0) {
        spd_close(c);
        c = nullptr;
    }
    return c;
}

// The realtime clock ms from now, as the timed waits take it.
static timespec after_ms(long ms)
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    t.tv_sec += ms / 1000;
    t.tv_nsec += ms % 1000 * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

static int put(SPDConnection *c, const Saying &s)
{
    if (s.kind == SAY_CANCEL)
        return spd_cancel(c);
    return spd_say(c, PRIORITY[s.kind], s.text) < 0 ? -1 : 0;
}

// held: the newest text of the highest priority since the last cancel.
static void hold(Saying *held, const Saying &s)
{
    if (s.kind == SAY_CANCEL)
        held->kind = SAY_CANCEL;
    else if (RANK[s.kind] >= RANK[held->kind])
        *held = s;
}

// A text refused may leave the connection refusing all that follows, and
// what the server still held for it goes with it: a new connection, made
// at once and only once, hears the text that matters most again. Null when
// that fails too, and the server is treated as gone.
static SPDConnection *again(SPDConnection *c, const Saying &s, Saying *held)
{
    spd_close(c);
    hold(held, s);
    c = connect();
    if (c && put(c, *held) < 0) {
        spd_close(c);
        c = nullptr;
    }
    return c;
}

static void *speak(void *arg)
{
    unsigned gen = (unsigned)(uintptr_t)arg;
    SPDConnection *c = nullptr;
    long tried = now_ms() - RETRY_MS;
    bool lost = false;                  // a failure went unsaid while there was no server
    Saying s, held;
    held.kind = SAY_CANCEL;
    for (;;) {
        pthread_mutex_lock(&LOCK);
        // An unsaid failure looks for the server on time, not at the next text.
        while (COUNT == 0 && GEN == gen && !(lost && now_ms() - tried >= RETRY_MS)) {
            if (!lost) {
                pthread_cond_wait(&MORE, &LOCK);
                continue;
            }
            timespec until = after_ms(tried + RETRY_MS - now_ms());
            pthread_cond_timedwait(&MORE, &LOCK, &until);
        }
        bool go = GEN == gen, have = go && COUNT > 0;
        if (have) {
            s = RING[HEAD];
            HEAD = (HEAD + 1) % QUEUE;
            COUNT--;
        }
        pthread_mutex_unlock(&LOCK);
        if (!go)
            break;
        if (!c && now_ms() - tried >= RETRY_MS) {
            tried = now_ms();
            c = connect();
            held.kind = SAY_CANCEL;
            if (c && lost) {
                lost = false;
                pthread_mutex_lock(&LOCK);
                if (GEN == gen)
                    MISSED = true;
                pthread_mutex_unlock(&LOCK);
            }
        }
        if (!have)
            continue;
        if (c && put(c, s) < 0) {
            c = again(c, s, &held);
            if (!c)
                tried = now_ms();
        } else if (c) {
            hold(&held, s);
        }
        if (!c) {
            lost |= s.kind == SAY_ALERT || held.kind == SAY_ALERT;
            held.kind = SAY_CANCEL;
        }
    }
    if (c)
        spd_close(c);
    return nullptr;
}

bool speaking()
{
    return RUNNING;
}

void say(int kind, const char *text)
{
    if (!RUNNING || kind < 0 || kind > SAY_ALERT)
        return;
    pthread_mutex_lock(&LOCK);
    // What the cancel would stop need not reach the server at all.
    if (kind == SAY_CANCEL)
        COUNT = 0;
    if (COUNT == QUEUE) {
        HEAD = (HEAD + 1) % QUEUE;
        COUNT--;
    }
    Saying &s = RING[(HEAD + COUNT) % QUEUE];
    s.kind = kind;
    // The server refuses a text that is not UTF-8, and from then on all
    // that follows on the connection; controls and escapes are not words.
    clean_text(s.text, sizeof s.text, text, true);
    if (s.text[0] || kind == SAY_CANCEL)
        COUNT++;
    pthread_cond_signal(&MORE);
    pthread_mutex_unlock(&LOCK);
}

static void start()
{
    pthread_mutex_lock(&LOCK);
    unsigned gen = ++GEN;
    COUNT = 0;
    MISSED = false;
    pthread_mutex_unlock(&LOCK);
    voice_language();
    // The quit signals are the loop's to note; a library call on this thread
    // must not be cut short by one.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    RUNNING = pthread_create(&THREAD, nullptr, speak, (void *)(uintptr_t)gen) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (RUNNING)
        say_afresh();
}

// A thread stuck in a call on a server that never answers is left to the exit.
static void stop(long wait_ms)
{
    pthread_mutex_lock(&LOCK);
    GEN++;
    COUNT = 0;
    pthread_cond_broadcast(&MORE);
    pthread_mutex_unlock(&LOCK);
    timespec until = after_ms(wait_ms);
    if (wait_ms <= 0 || pthread_timedjoin_np(THREAD, nullptr, &until) != 0)
        pthread_detach(THREAD);
    RUNNING = false;
}

bool say_missed()
{
    pthread_mutex_lock(&LOCK);
    bool missed = MISSED;
    MISSED = false;
    pthread_mutex_unlock(&LOCK);
    return missed;
}

void speech_on(bool reader)
{
    if (WANT == -2) {
        const char *v = env_or("ORVL_SPEECH", "");
        WANT = strcmp(v, "1") == 0 ? 1 : strcmp(v, "0") == 0 ? 0 : -1;
    }
    bool on = WANT >= 0 ? WANT == 1 : reader;
    if (on == RUNNING)
        return;
    if (on)
        start();
    else
        stop(0);
}

void speech_close()
{
    if (RUNNING)
        stop(CLOSE_WAIT_MS);
}
