// conf_live.cc - a live configuration: contexts published by reloads and
// held by readers through hazard slots.
//
// Design.  `current` points to the context in use.  A reader holds a context
// by writing its address into one of CONF_LIVE_MAX_SNAPSHOTS slots, each on
// a cache line of its own; a thread starts looking for a free slot where it
// found one last time, so threads that read at once touch different lines
// and nothing they write is shared.  A reload that replaces a context puts
// it on the retired list; a retired context is freed by the first reclaim
// pass that finds no slot holding it, run by the reload itself or by the
// reader that gives back its last hold.
//
// Invariants:
//   - a slot is 0 (free), p | kPending (claimed by a reader that has not yet
//     seen p as current) or p (held); only the thread that claimed a slot
//     changes it until it frees it, and its owner word names that thread
//     (a release looks for a slot of its own thread that holds p: a slot of
//     another thread could be freed under a scan, which would then miss);
//   - a reader returns p only after it read `current` == p with p already in
//     its slot, so a reclaimer that scans the slots after p left `current`
//     sees every hold that can still use p (sequentially consistent order);
//   - a context is on the retired list from its replacement until it is
//     freed, and only a reclaim pass frees it, after seeing no slot hold it
//     in either form;
//   - whoever removes a hold on a context that is not current (a release,
//     or a reader that found `current` moved on) asks for a reclaim pass,
//     and so does the reload after retiring a context: the last hold to go
//     is always followed by a pass that sees it gone.
// Passes run one at a time: a thread that asks while another runs one leaves
// the work to it (the request counter tells the runner to go round again),
// so no reader ever waits.
#include "conf_live.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "conf_live_files.h"
#include "conf_live_internal.h"
#include "conf_store.h"

using namespace nivra::conf;

namespace {

constexpr uintptr_t kPending = 1;
constexpr size_t kSlots = CONF_LIVE_MAX_SNAPSHOTS;
constexpr size_t kCacheLine = 64;
constexpr int kLoadAttempts = 3;

struct alignas(kCacheLine) Slot {
    std::atomic<uintptr_t> held;
    std::atomic<uintptr_t> owner;  // the claiming thread, see this_thread()
};
static_assert(sizeof(Slot) == kCacheLine);
static_assert(alignof(CONF_CTX) > 1, "the pending mark needs bit 0 of a context's address");

struct Retired {
    CONF_CTX *ctx;
    Retired *next;
};

// Where this thread last found a free slot: the first place it looks.  In
// the static TLS block, so that reaching it is one instruction and the
// shared library needs nothing from the dynamic linker for it.
__attribute__((tls_model("initial-exec"))) thread_local size_t t_slot_hint = SIZE_MAX;

size_t first_slot() {
    if (t_slot_hint == SIZE_MAX) {
        // Threads differ in the address of their own variables: spread them.
        const auto a = reinterpret_cast<uintptr_t>(&t_slot_hint);
        t_slot_hint = static_cast<size_t>((a >> 6) * 0x9e3779b97f4a7c15ULL >> 32) % kSlots;
    }
    return t_slot_hint;
}

// A number that no other running thread has: where its hint lives.
uintptr_t this_thread() { return reinterpret_cast<uintptr_t>(&t_slot_hint); }

uintptr_t address(const CONF_CTX *ctx) { return reinterpret_cast<uintptr_t>(ctx); }

}  // namespace

struct CONF_LIVE {
    std::atomic<CONF_CTX *> current{nullptr};
    std::atomic<Retired *> retired{nullptr};
    std::atomic<uint64_t> reclaim_requests{0};
    std::atomic<bool> reclaiming{false};
    Slot *slots = nullptr;  // kSlots, aligned to a cache line within slot_block
    void *slot_block = nullptr;

    // The reloading thread's own state.
    LiveSource source;
    uint64_t generation = 0;
    CONF_CHANGE *changes = nullptr;
    size_t change_count = 0;
    int errnum = 0;
    char error_text[sizeof(CONF_CTX::last_error_str)] = "";
    char *error_file = nullptr;
    int error_line = 0;
    bool seen = false;  // whether a reload took the fingerprint yet
    uint64_t fingerprint = 0;
    int watch_fd = -1;
    const CONF_SCHEMA *schema = nullptr;  // checked at each reload, or none
};

namespace {

// ---- Reclaiming -------------------------------------------------------------

bool held_anywhere(const CONF_LIVE *live, const CONF_CTX *ctx) {
    const uintptr_t p = address(ctx);
    for (size_t i = 0; i < kSlots; ++i) {
        const uintptr_t v = live->slots[i].held.load();
        if ((v & ~kPending) == p) return true;
    }
    return false;
}

// Puts a chain of retired records (first..last) back on the list; the
// reload may be pushing at the same time.
void push_retired(CONF_LIVE *live, Retired *first, Retired *last) {
    Retired *head = live->retired.load();
    do {
        last->next = head;
    } while (!live->retired.compare_exchange_weak(head, first));
}

// Frees every retired context no slot holds; keeps the others listed.
void reclaim_pass(CONF_LIVE *live) {
    Retired *r = live->retired.exchange(nullptr);
    Retired *keep = nullptr;
    Retired *keep_last = nullptr;
    while (r != nullptr) {
        Retired *next = r->next;
        if (held_anywhere(live, r->ctx)) {
            r->next = keep;
            keep = r;
            if (keep_last == nullptr) keep_last = r;
        } else {
            CONF_free(r->ctx);
            std::free(r);
        }
        r = next;
    }
    if (keep != nullptr) push_retired(live, keep, keep_last);
}

// Runs reclaim passes until none was asked for meanwhile, unless another
// thread is running them: that one then sees the request and goes round
// again.  Never waits.
void request_reclaim(CONF_LIVE *live) {
    live->reclaim_requests.fetch_add(1);
    for (;;) {
        if (live->reclaiming.exchange(true)) return;
        uint64_t seen = 0;
        do {
            seen = live->reclaim_requests.load();
            reclaim_pass(live);
        } while (live->reclaim_requests.load() != seen);
        live->reclaiming.store(false);
        // A request made after the last look, by a thread that found the
        // flag still set, is ours to serve.
        if (live->reclaim_requests.load() == seen) return;
    }
}

// ---- Slots --------------------------------------------------------------

// Claims a free slot with mark (a pending address) in it; null when every
// slot is taken.
Slot *claim_slot(CONF_LIVE *live, uintptr_t mark) {
    const size_t start = first_slot();
    for (size_t k = 0; k < kSlots; ++k) {
        const size_t i = (start + k) % kSlots;
        uintptr_t expected = 0;
        if (live->slots[i].held.load(std::memory_order_relaxed) == 0 &&
            live->slots[i].held.compare_exchange_strong(expected, mark)) {
            // Written before the hold is confirmed (a release store), so a
            // release that reads the confirmed hold reads this owner.
            live->slots[i].owner.store(this_thread(), std::memory_order_relaxed);
            t_slot_hint = i;
            return &live->slots[i];
        }
    }
    return nullptr;
}

// Frees one slot of this thread that holds ctx; false when none does.
// Starts where this thread last claimed one: usually the slot itself.
bool clear_slot(CONF_LIVE *live, const CONF_CTX *ctx) {
    const uintptr_t p = address(ctx);
    const size_t start = t_slot_hint < kSlots ? t_slot_hint : 0;
    for (size_t k = 0; k < kSlots; ++k) {
        Slot &slot = live->slots[(start + k) % kSlots];
        if (slot.held.load(std::memory_order_acquire) == p &&
            slot.owner.load(std::memory_order_relaxed) == this_thread()) {
            slot.held.store(0);
            return true;
        }
    }
    return false;
}

// ---- Errors and changes -------------------------------------------------------

void clear_error(CONF_LIVE *live) {
    live->errnum = 0;
    live->error_text[0] = '\0';
    std::free(live->error_file);
    live->error_file = nullptr;
    live->error_line = 0;
}

// Keeps a copy of the error's file (none when file is null or memory runs
// out: the error stays, without its file).
void keep_error_file(CONF_LIVE *live, const char *file) {
    if (file == nullptr) return;
    const size_t n = std::strlen(file) + 1;
    live->error_file = static_cast<char *>(std::malloc(n));
    if (live->error_file != nullptr) std::memcpy(live->error_file, file, n);
}

// Keeps a failed load's error (its file copied when memory allows).
void keep_error(CONF_LIVE *live, const CONF_CTX *failed) {
    clear_error(live);
    live->errnum = CONF_get_last_errnum(failed);
    std::memcpy(live->error_text, failed->last_error_str, sizeof live->error_text);
    live->error_line = CONF_get_last_error_line(failed);
    keep_error_file(live, CONF_get_last_error_file(failed));
}

// Keeps an error of the reload itself (no file, no line).
int keep_own_error(CONF_LIVE *live, int number) {
    CONF_CTX scratch{};
    CONFerr(&scratch, number);
    keep_error(live, &scratch);
    return number;
}

// Keeps the first error the schema finds in ctx and returns
// kErrSchemaMismatch; 0 when there is none (or no schema), kErrMemory when
// the check cannot be made.
int check_schema(CONF_LIVE *live, CONF_CTX *ctx) {
    if (live->schema == nullptr) return 0;
    CONF_FINDINGS *found = CONF_schema_validate(live->schema, ctx);
    if (found == nullptr) return keep_own_error(live, kErrMemory);
    const CONF_FINDING *first = nullptr;
    for (int i = 0; first == nullptr && i < CONF_findings_count(found); ++i) {
        const CONF_FINDING *f = CONF_findings_get(found, i);
        if (f->severity == CONF_SEVERITY_ERROR) first = f;
    }
    if (first != nullptr) {
        clear_error(live);
        live->errnum = kErrSchemaMismatch;
        std::snprintf(live->error_text, sizeof live->error_text, "%s", first->message);
        live->error_line = first->line;
        keep_error_file(live, first->file);
    }
    CONF_findings_free(found);
    return first != nullptr ? kErrSchemaMismatch : 0;
}

// Loads the source into a new context, again while a file of it changed
// during the load.  Null after keeping the error.
CONF_CTX *load_whole(CONF_LIVE *live) {
    for (int attempt = 0; attempt < kLoadAttempts; ++attempt) {
        const uint64_t before = source_fingerprint(live->source);
        live->fingerprint = before;
        live->seen = true;
        CONF_CTX *ctx = CONF_new();
        if (ctx == nullptr) {
            keep_own_error(live, kErrMemory);
            return nullptr;
        }
        const bool ok = load_source(live->source, ctx);
        if (source_fingerprint(live->source) == before) {
            if (ok) return ctx;
            keep_error(live, ctx);
            CONF_free(ctx);
            return nullptr;
        }
        CONF_free(ctx);  // read while a file changed: maybe a mix of versions
    }
    keep_own_error(live, kErrChanged);
    return nullptr;
}

// Makes next the context in use and retires the one it replaces.
void publish(CONF_LIVE *live, CONF_CTX *next, Retired *record) {
    CONF_CTX *old = live->current.exchange(next);
    if (old == nullptr) {
        std::free(record);
        return;
    }
    record->ctx = old;
    push_retired(live, record, record);
    request_reclaim(live);
}

}  // namespace

size_t nivra::conf::live_retired_count(const CONF_LIVE *live) {
    size_t n = 0;
    for (const Retired *r = live->retired.load(); r != nullptr; r = r->next) ++n;
    return n;
}

size_t nivra::conf::live_held_count(const CONF_LIVE *live) {
    size_t n = 0;
    for (size_t i = 0; i < kSlots; ++i) n += live->slots[i].held.load() != 0 ? 1 : 0;
    return n;
}

extern "C" {

CONF_LIVE *CONF_live_new_file(const char *path) {
    void *mem = std::malloc(sizeof(CONF_LIVE));
    if (mem == nullptr) return nullptr;
    auto *live = new (mem) CONF_LIVE;
    live->slot_block = std::calloc(kSlots + 1, sizeof(Slot));
    if (live->slot_block == nullptr || !copy_file_source(&live->source, path)) {
        CONF_live_free(live);
        return nullptr;
    }
    // calloc gives 16 bytes of alignment; the slots start on a line of their own.
    auto *base = static_cast<char *>(live->slot_block);
    const size_t skew = (kCacheLine - reinterpret_cast<uintptr_t>(base) % kCacheLine) % kCacheLine;
    live->slots = reinterpret_cast<Slot *>(base + skew);
    return live;
}

CONF_LIVE *CONF_live_new_layered(const char *const *dirs, size_t ndirs, const char *name) {
    CONF_LIVE *live = CONF_live_new_file(nullptr);
    if (live == nullptr) return nullptr;
    if (!copy_layered_source(&live->source, dirs, ndirs, name)) {
        CONF_live_free(live);
        return nullptr;
    }
    return live;
}

int CONF_live_reload(CONF_LIVE *live) {
    if (live == nullptr) return kErrNullContext;
    if (live->watch_fd >= 0) watch_source(live->source, live->watch_fd);
    CONF_CTX *next = load_whole(live);
    if (next == nullptr) return live->errnum;
    if (const int refused = check_schema(live, next); refused != 0) {
        CONF_free(next);
        return refused;
    }
    CONF_CHANGE *changes = nullptr;
    const int count = CONF_diff(live->current.load(), next, &changes);
    auto *record = static_cast<Retired *>(std::malloc(sizeof(Retired)));
    if (count < 0 || record == nullptr) {
        // The configuration in use stays: nothing of this load remains.
        CONF_changes_free(changes);
        std::free(record);
        CONF_free(next);
        return keep_own_error(live, kErrMemory);
    }
    clear_error(live);
    CONF_changes_free(live->changes);
    live->changes = changes;
    live->change_count = static_cast<size_t>(count);
    ++live->generation;
    publish(live, next, record);
    return count;
}

CONF_CTX *CONF_live_acquire(CONF_LIVE *live) {
    if (live == nullptr) return nullptr;
    CONF_CTX *p = live->current.load();
    if (p == nullptr) return nullptr;
    Slot *slot = claim_slot(live, address(p) | kPending);
    if (slot == nullptr) return nullptr;
    bool dropped = false;
    for (CONF_CTX *now = live->current.load(); now != p; now = live->current.load()) {
        // Replaced before our hold could count: hold the new one instead.
        slot->held.store(address(now) | kPending);
        p = now;
        dropped = true;
    }
    // Pending and held protect alike, so this store needs no fence: only its
    // release order, which publishes the owner written at the claim.
    slot->held.store(address(p), std::memory_order_release);
    if (dropped) request_reclaim(live);
    return p;
}

void CONF_live_release(CONF_LIVE *live, CONF_CTX *ctx) {
    if (live == nullptr || ctx == nullptr || !clear_slot(live, ctx)) return;
    if (live->current.load() != ctx) request_reclaim(live);
}

const CONF_CHANGE *CONF_live_changes(const CONF_LIVE *live, size_t *count) {
    const size_t n = live != nullptr ? live->change_count : 0;
    if (count != nullptr) *count = n;
    return n != 0 ? live->changes : nullptr;
}

const char *CONF_live_last_error(const CONF_LIVE *live, const char **file, int *line) {
    const bool failed = live != nullptr && live->errnum != 0;
    if (file != nullptr) *file = failed ? live->error_file : nullptr;
    if (line != nullptr) *line = failed ? live->error_line : 0;
    return failed ? live->error_text : nullptr;
}

uint64_t CONF_live_generation(const CONF_LIVE *live) {
    return live != nullptr ? live->generation : 0;
}

int CONF_live_changed(CONF_LIVE *live) {
    if (live == nullptr) return kErrNullContext;
    if (live->watch_fd >= 0) {
        drain_events(live->watch_fd);
        watch_source(live->source, live->watch_fd);
    }
    return !live->seen || source_fingerprint(live->source) != live->fingerprint ? 1 : 0;
}

int CONF_live_watch_fd(CONF_LIVE *live) {
    if (live == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (live->watch_fd < 0) {
        live->watch_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (live->watch_fd >= 0) watch_source(live->source, live->watch_fd);
    }
    return live->watch_fd;
}

int CONF_live_set_schema(CONF_LIVE *live, const CONF_SCHEMA *schema) {
    if (live == nullptr) return kErrNullContext;
    live->schema = schema;
    return 0;
}

void CONF_live_free(CONF_LIVE *live) {
    if (live == nullptr) return;
    CONF_free(live->current.load());
    for (Retired *r = live->retired.load(); r != nullptr;) {
        Retired *next = r->next;
        CONF_free(r->ctx);
        std::free(r);
        r = next;
    }
    CONF_changes_free(live->changes);
    clear_error(live);
    release_source(&live->source);
    if (live->watch_fd >= 0) ::close(live->watch_fd);
    std::free(live->slot_block);
    live->~CONF_LIVE();
    std::free(live);
}

}  // extern "C"
