/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

/*
    libmemloupe_preload.so: loaded with LD_PRELOAD into a recorded program, it
    interposes the allocation functions and appends one record per event to a
    ring shared with the launcher (see protocol.h).

    Constraints that shape everything below:
    - The hooks run inside arbitrary program code, in any thread, possibly in
      signal handlers and inside the dynamic loader: no allocation through the
      interposed functions, no C++ runtime, no exceptions, no locks shared
      with libc except the loader's (recursive) ones.
    - Only the ring carries data, so the program may close our descriptors,
      fork, or die by SIGKILL without losing what was already appended.
*/

#include "protocol.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <linux/futex.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

using namespace MemloupeProtocol;

#define MEMLOUPE_EXPORT extern "C" __attribute__((visibility("default")))
// glibc declares these noexcept in C++
#define LIKELY(x) __builtin_expect(!!(x), 1)
#define UNLIKELY(x) __builtin_expect(!!(x), 0)

extern char **environ;

using DlopenFn = void *(*)(const char *, int);
extern "C" {
__attribute__((visibility("hidden"))) DlopenFn memloupe_real_dlopen = nullptr;
__attribute__((visibility("hidden"))) void *memloupe_dlopen_hook(const char *file, int mode);
}

namespace
{

constexpr int MaxFrames = 256;
// room for our own frames (hook, recorder, unwinder) above the program's
constexpr int OwnFrameSlack = 16;
constexpr size_t MaxVarint = 10;
constexpr size_t ScratchSize = 64 + (MaxFrames + OwnFrameSlack) * MaxVarint;
constexpr int MaxSegments = 16;
constexpr size_t MaxBuildId = 64;
// RecordSuppressions is one record: it must fit into the ring with room to spare
constexpr size_t MaxSuppressionText = 1 << 20;

// ---------------------------------------------------------------------------
// Real functions

using MallocFn = void *(*)(size_t);
using FreeFn = void (*)(void *);
using CallocFn = void *(*)(size_t, size_t);
using ReallocFn = void *(*)(void *, size_t);
using PosixMemalignFn = int (*)(void **, size_t, size_t);
using AlignedAllocFn = void *(*)(size_t, size_t);
using VallocFn = void *(*)(size_t);
using DlcloseFn = int (*)(void *);

struct RealFunctions {
    MallocFn malloc;
    FreeFn free;
    CallocFn calloc;
    ReallocFn realloc;
    PosixMemalignFn posix_memalign;
    AlignedAllocFn aligned_alloc;
    AlignedAllocFn memalign;
    VallocFn valloc;
    VallocFn pvalloc;
    DlcloseFn dlclose;
};
RealFunctions real;

// 0: unknown, 1: being looked up, 2: known
std::atomic<int> g_realState{0};

// dlsym() may allocate (its error buffer) before the real allocator is
// known. Those few requests come from here; the memory is never reused.
constexpr size_t ArenaSize = 64 * 1024;
alignas(64) unsigned char g_arena[ArenaSize];
std::atomic<size_t> g_arenaUsed{0};

// initial-exec: reading these must never call into the loader (which may allocate)
__thread int t_guard __attribute__((tls_model("initial-exec")));
__thread bool t_resolving __attribute__((tls_model("initial-exec")));
struct ThreadState;
__thread ThreadState *t_state __attribute__((tls_model("initial-exec")));

struct Guard {
    Guard()
    {
        ++t_guard;
    }
    ~Guard()
    {
        --t_guard;
    }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
};

bool inArena(const void *p)
{
    auto c = static_cast<const unsigned char *>(p);
    return c >= g_arena && c < g_arena + ArenaSize;
}

void *arenaAlloc(size_t size, size_t alignment = 16)
{
    if (alignment < 16) {
        alignment = 16;
    }
    // a size header in front of every block, so that realloc can copy it
    size_t used = g_arenaUsed.load(std::memory_order_relaxed);
    for (;;) {
        size_t start = (used + sizeof(size_t) + alignment - 1) & ~(alignment - 1);
        if (start + size > ArenaSize || start + size < start) {
            return nullptr;
        }
        if (g_arenaUsed.compare_exchange_weak(used, start + size, std::memory_order_relaxed)) {
            std::memcpy(g_arena + start - sizeof(size_t), &size, sizeof(size_t));
            return g_arena + start;
        }
    }
}

size_t arenaBlockSize(const void *p)
{
    size_t size;
    std::memcpy(&size, static_cast<const unsigned char *>(p) - sizeof(size_t), sizeof(size_t));
    return size;
}

template<typename T>
void lookUp(T &target, const char *name)
{
    target = reinterpret_cast<T>(dlsym(RTLD_NEXT, name));
}

// false: the caller is the lookup itself and must be served from the arena
bool resolveReal()
{
    int state = g_realState.load(std::memory_order_acquire);
    if (state == 2) {
        return true;
    }
    if (t_resolving) {
        return false;
    }
    state = 0;
    if (g_realState.compare_exchange_strong(state, 1, std::memory_order_acq_rel)) {
        t_resolving = true;
        RealFunctions found{};
        lookUp(found.malloc, "malloc");
        lookUp(found.free, "free");
        lookUp(found.calloc, "calloc");
        lookUp(found.realloc, "realloc");
        lookUp(found.posix_memalign, "posix_memalign");
        lookUp(found.aligned_alloc, "aligned_alloc");
        lookUp(found.memalign, "memalign");
        lookUp(found.valloc, "valloc");
        lookUp(found.pvalloc, "pvalloc");
        lookUp(found.dlclose, "dlclose");
        real = found;
        t_resolving = false;
        g_realState.store(2, std::memory_order_release);
        return true;
    }
    while (g_realState.load(std::memory_order_acquire) != 2) {
        sched_yield();
    }
    return true;
}

// ---------------------------------------------------------------------------
// Small system helpers that neither allocate nor are cancellation points

void writeStderr(const char *a, const char *b = "")
{
    char line[512];
    size_t n = 0;
    const char *parts[] = {"memloupe: ", a, b, "\n"};
    for (const char *part : parts) {
        for (; *part && n < sizeof(line) - 1; ++part) {
            line[n++] = *part;
        }
    }
    (void)!syscall(SYS_write, 2, line, n);
}

int rawOpen(const char *path, int flags)
{
    return int(syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, 0));
}

void rawClose(int fd)
{
    syscall(SYS_close, fd);
}

ssize_t rawRead(int fd, void *buf, size_t len)
{
    return syscall(SYS_read, fd, buf, len);
}

void sleepMicroseconds(long us)
{
    timespec ts{0, us * 1000};
    syscall(SYS_nanosleep, &ts, nullptr);
}

int64_t monotonicNs()
{
    // COARSE is always served by the vDSO, whatever the clock source
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

long residentPages()
{
    int fd = rawOpen("/proc/self/statm", O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    char buf[128];
    ssize_t n = rawRead(fd, buf, sizeof(buf) - 1);
    rawClose(fd);
    if (n <= 0) {
        return -1;
    }
    buf[n] = 0;
    const char *p = buf;
    while (*p && *p != ' ') {
        ++p;
    }
    if (*p != ' ') {
        return -1;
    }
    ++p;
    long pages = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        pages = pages * 10 + (*p - '0');
    }
    return pages;
}

// futex word: 0 free, 1 locked, 2 locked with waiters. Held for a few
// dozen nanoseconds: a short spin, then sleep. A cache line of its own, so
// that taking it does not slow down the readers of the recorder's state.
class alignas(64) Lock
{
public:
    void lock()
    {
        int c = 0;
        if (LIKELY(m_word.compare_exchange_strong(c, 1, std::memory_order_acquire))) {
            return;
        }
        // a pause costs up to ~140 cycles on recent cores: a long spin
        // wastes more than the sleep it avoids
        for (int i = 0; i < 16; ++i) {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
            c = 0;
            if (m_word.load(std::memory_order_relaxed) == 0 && m_word.compare_exchange_weak(c, 1, std::memory_order_acquire)) {
                return;
            }
        }
        // more threads than cores: the holder may be waiting for a core
        for (int i = 0; i < 4; ++i) {
            sched_yield();
            c = 0;
            if (m_word.load(std::memory_order_relaxed) == 0 && m_word.compare_exchange_weak(c, 1, std::memory_order_acquire)) {
                return;
            }
        }
        c = m_word.exchange(2, std::memory_order_acquire);
        while (c != 0) {
            syscall(SYS_futex, reinterpret_cast<int *>(&m_word), FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
            c = m_word.exchange(2, std::memory_order_acquire);
        }
    }
    bool tryLock()
    {
        int c = 0;
        return m_word.compare_exchange_strong(c, 1, std::memory_order_acquire);
    }
    void unlock()
    {
        if (m_word.exchange(0, std::memory_order_release) == 2) {
            syscall(SYS_futex, reinterpret_cast<int *>(&m_word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
        }
    }
    // in a fork child, where the thread that held it is the only one left
    void reset()
    {
        m_word.store(0, std::memory_order_relaxed);
    }

private:
    std::atomic<int> m_word{0};
};

uint8_t *putVarint(uint8_t *p, uint64_t v)
{
    while (v >= 0x80) {
        *p++ = uint8_t(v) | 0x80;
        v >>= 7;
    }
    *p++ = uint8_t(v);
    return p;
}

uint8_t *putBytes(uint8_t *p, const void *data, size_t len)
{
    p = putVarint(p, len);
    std::memcpy(p, data, len);
    return p + len;
}

// ---------------------------------------------------------------------------
// Recorder state

enum State : int {
    Uninitialized = 0,
    Starting = 1,
    Recording = 2,
    Disabled = 3,
    Attaching = 4, // memloupe_attach at work: events pass unrecorded until it is done
};

alignas(64) std::atomic<int> g_state{Uninitialized};
// loaded into a running process by `memloupe --pid` rather than preloaded
bool g_attachedImage = false;
extern std::atomic<bool> g_moduleCheckDue;
void checkForNewModules();
Lock g_ringLock; // orders all appends; taken after g_moduleLock when both are needed
Lock g_moduleLock;

RingHeader *g_ring = nullptr;
uint8_t *g_ringData = nullptr;
uint64_t g_ringMask = 0;
size_t g_ringMapSize = 0;

int g_socketFd = -1;
dev_t g_socketDev = 0;
ino_t g_socketIno = 0;

pid_t g_launcherPid = 0;
bool g_recordChildren = false;
char g_socketPath[sizeof(sockaddr_un::sun_path)];

int64_t g_startNs = 0;
uint64_t g_lastTimeMs = 0; // under g_ringLock
alignas(64) std::atomic<uint64_t> g_lastRssMs{0};

// a fork child starts a new stream: thread numbers and previous stacks restart
std::atomic<uint32_t> g_streamGeneration{1};
std::atomic<uint32_t> g_nextThread{1};

pthread_key_t g_threadKey;
bool g_threadKeyValid = false;
bool g_atforkRegistered = false;

// set once the constructor has loaded the unwinder and announced the modules
std::atomic<bool> g_stacksReady{false};

using UnwBacktraceFn = int (*)(void **, int);
UnwBacktraceFn g_unwBacktrace = nullptr;
struct UnwindContext;
using UnwindTraceFn = int (*)(UnwindContext *, void *);
using UnwindBacktraceFn = int (*)(UnwindTraceFn, void *);
using UnwindGetIpFn = uintptr_t (*)(UnwindContext *);
UnwindBacktraceFn g_unwindBacktrace = nullptr;
UnwindGetIpFn g_unwindGetIp = nullptr;

using FindObjectFn = int (*)(void *, dl_find_object *);
FindObjectFn g_findObject = nullptr;

// text of this library and of the unwinder, cut from the top of every stack
struct Range {
    uintptr_t lo;
    uintptr_t hi;
};
Range g_ownText[8];
int g_ownTextCount = 0;

bool isOwnFrame(uintptr_t ip)
{
    for (int i = 0; i < g_ownTextCount; ++i) {
        if (ip >= g_ownText[i].lo && ip < g_ownText[i].hi) {
            return true;
        }
    }
    return false;
}

struct ThreadState {
    uint32_t generation;
    uint32_t thread;
    uint32_t moduleGeneration;
    int previousCount;
    uintptr_t *previous;
    uintptr_t *current;
    Range lastHit;
    uintptr_t stackA[MaxFrames + OwnFrameSlack];
    uintptr_t stackB[MaxFrames + OwnFrameSlack];
    uint8_t scratch[ScratchSize];
};

// ---------------------------------------------------------------------------
// The ring

struct Span {
    const uint8_t *data;
    size_t size;
};

void stopRecording(const char *why)
{
    g_ring->state.store(RingStopped, std::memory_order_release);
    g_state.store(Disabled, std::memory_order_release);
    writeStderr("recording stopped: ", why);
}

bool launcherGone()
{
    return g_launcherPid > 0 && kill(g_launcherPid, 0) != 0 && errno == ESRCH;
}

// Under g_ringLock. Waits while the ring is too full: nothing is dropped
// while the launcher lives.
bool publishLocked(const Span *spans, int count)
{
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        total += spans[i].size;
    }
    const uint64_t capacity = g_ringMask + 1;
    if (total > capacity) {
        return false;
    }
    const uint64_t head = g_ring->head.load(std::memory_order_relaxed);
    if (UNLIKELY(capacity - (head - g_ring->tail.load(std::memory_order_acquire)) < total)) {
        int64_t waitStart = monotonicNs();
        int64_t lastCheck = waitStart;
        int rounds = 0;
        while (capacity - (head - g_ring->tail.load(std::memory_order_acquire)) < total) {
            if (++rounds < 50) {
                sched_yield();
                continue;
            }
            sleepMicroseconds(rounds < 1000 ? 50 : 1000);
            const int64_t now = monotonicNs();
            if (now - waitStart > 2000000000LL && now - lastCheck > 200000000LL) {
                lastCheck = now;
                if (launcherGone()) {
                    stopRecording("the launcher is gone and the ring is full");
                    return false;
                }
            }
        }
    }
    uint64_t pos = head;
    for (int i = 0; i < count; ++i) {
        const uint8_t *data = spans[i].data;
        size_t size = spans[i].size;
        while (size) {
            const size_t offset = pos & g_ringMask;
            const size_t chunk = size < capacity - offset ? size : capacity - offset;
            std::memcpy(g_ringData + offset, data, chunk);
            data += chunk;
            size -= chunk;
            pos += chunk;
        }
    }
    g_ring->head.store(pos, std::memory_order_release);
    return true;
}

uint64_t elapsedMs()
{
    return uint64_t(monotonicNs() - g_startNs) / 1000000;
}

// Time and RSS records that go in front of an event. The RSS file is read
// outside the ring lock; at most one thread per 10 ms does it.
struct Preamble {
    uint64_t ms;
    uint8_t bytes[2 * (1 + MaxVarint)];
    size_t size = 0;
    long rss = -1;

    Preamble()
        : ms(elapsedMs())
    {
        uint64_t last = g_lastRssMs.load(std::memory_order_relaxed);
        if (ms >= last + 10 && g_lastRssMs.compare_exchange_strong(last, ms, std::memory_order_relaxed)) {
            rss = residentPages();
            if (g_attachedImage) {
                g_moduleCheckDue.store(true, std::memory_order_relaxed);
            }
        }
    }

    // under the ring lock: time is strictly ascending in the ring
    Span finish()
    {
        uint8_t *p = bytes;
        if (ms > g_lastTimeMs) {
            g_lastTimeMs = ms;
            *p++ = RecordTime;
            p = putVarint(p, ms);
        }
        if (rss >= 0) {
            *p++ = RecordResidentSetSize;
            p = putVarint(p, uint64_t(rss));
        }
        size = size_t(p - bytes);
        return {bytes, size};
    }
};

bool appendLocked(Preamble &preamble, const uint8_t *data, size_t size)
{
    if (g_state.load(std::memory_order_relaxed) != Recording) {
        return false;
    }
    const Span spans[2] = {preamble.finish(), {data, size}};
    return publishLocked(spans, 2);
}

bool append(const uint8_t *data, size_t size)
{
    Preamble preamble;
    g_ringLock.lock();
    const bool ok = appendLocked(preamble, data, size);
    g_ringLock.unlock();
    return ok;
}

// ---------------------------------------------------------------------------
// Modules

struct Module {
    uint32_t id;
    bool present;
    uint64_t key;
    int segmentCount;
    Range segments[MaxSegments];
    uint8_t *record; // the encoded RecordModule, sent again to a fork child's stream
    size_t recordSize;
};

Module *g_modules = nullptr; // under g_moduleLock
int g_moduleCount = 0;
int g_moduleCapacity = 0;
uint32_t g_nextModuleId = 1;
unsigned long long g_scannedAdds = 0;
unsigned long long g_scannedSubs = 0;
bool g_scannedOnce = false;
std::atomic<uint32_t> g_moduleGeneration{0};

// Sorted segment ranges of the present modules, read without a lock.
// Replaced tables are not freed: a reader may still be searching one; they
// are small and only replaced when modules come and go.
struct RangeTable {
    size_t count;
    Range *ranges;
};
std::atomic<RangeTable *> g_ranges{nullptr};

bool lookupRange(const RangeTable *table, uintptr_t address, Range *hit)
{
    if (!table) {
        return false;
    }
    size_t lo = 0;
    size_t hi = table->count;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (table->ranges[mid].lo <= address) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo == 0 || address >= table->ranges[lo - 1].hi) {
        return false;
    }
    *hit = table->ranges[lo - 1];
    return true;
}

struct ScannedModule {
    uint64_t key;
    uintptr_t bias;
    int segmentCount;
    Range segments[MaxSegments];
    size_t nameOffset;
    size_t nameSize;
    uint8_t buildId[MaxBuildId];
    size_t buildIdSize;
};

struct Scan {
    bool onlyIfChanged;
    bool unchanged;
    bool failed;
    unsigned long long adds;
    unsigned long long subs;
    int index;
    ScannedModule *modules;
    int count;
    int capacity;
    char *names;
    size_t namesSize;
    size_t namesCapacity;
};

uint64_t hashBytes(uint64_t h, const void *data, size_t size)
{
    auto p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < size; ++i) {
        h = (h ^ p[i]) * 0x100000001b3ull;
    }
    return h;
}

size_t readBuildId(const dl_phdr_info *info, uint8_t *out)
{
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_NOTE) {
            continue;
        }
        auto p = reinterpret_cast<const unsigned char *>(info->dlpi_addr + ph.p_vaddr);
        const auto end = p + ph.p_memsz;
        while (p + sizeof(ElfW(Nhdr)) <= end) {
            ElfW(Nhdr) note;
            std::memcpy(&note, p, sizeof(note));
            const auto name = p + sizeof(note);
            const auto desc = name + ((note.n_namesz + 3) & ~3u);
            const auto next = desc + ((note.n_descsz + 3) & ~3u);
            if (next > end) {
                break;
            }
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0) {
                const size_t size = note.n_descsz < MaxBuildId ? note.n_descsz : MaxBuildId;
                std::memcpy(out, desc, size);
                return size;
            }
            p = next;
        }
    }
    return 0;
}

bool growScan(Scan *scan, size_t nameSize)
{
    if (scan->count == scan->capacity) {
        const int capacity = scan->capacity ? scan->capacity * 2 : 64;
        auto modules = static_cast<ScannedModule *>(real.realloc(scan->modules, sizeof(ScannedModule) * size_t(capacity)));
        if (!modules) {
            return false;
        }
        scan->modules = modules;
        scan->capacity = capacity;
    }
    if (scan->namesSize + nameSize > scan->namesCapacity) {
        size_t capacity = scan->namesCapacity ? scan->namesCapacity * 2 : 8192;
        while (capacity < scan->namesSize + nameSize) {
            capacity *= 2;
        }
        auto names = static_cast<char *>(real.realloc(scan->names, capacity));
        if (!names) {
            return false;
        }
        scan->names = names;
        scan->namesCapacity = capacity;
    }
    return true;
}

// No lock of ours is held here: the program may call malloc from its own
// dl_iterate_phdr callback, holding the loader's lock that this needs.
int scanCallback(dl_phdr_info *info, size_t, void *data)
{
    auto scan = static_cast<Scan *>(data);
    const int index = scan->index++;
    if (index == 0) {
        scan->adds = info->dlpi_adds;
        scan->subs = info->dlpi_subs;
        if (scan->onlyIfChanged && g_scannedOnce && info->dlpi_adds == g_scannedAdds && info->dlpi_subs == g_scannedSubs) {
            scan->unchanged = true;
            return 1;
        }
    }
    char exe[PATH_MAX];
    const char *name = info->dlpi_name ? info->dlpi_name : "";
    if (index == 0 && !*name) {
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        exe[n > 0 ? n : 0] = 0;
        name = exe;
    }
    const size_t nameSize = strlen(name);
    if (!growScan(scan, nameSize)) {
        scan->failed = true;
        return 1;
    }
    ScannedModule &m = scan->modules[scan->count];
    m.bias = info->dlpi_addr;
    m.segmentCount = 0;
    for (int i = 0; i < info->dlpi_phnum && m.segmentCount < MaxSegments; ++i) {
        const auto &ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && ph.p_memsz) {
            const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
            m.segments[m.segmentCount++] = {start, start + ph.p_memsz};
        }
    }
    if (!m.segmentCount) {
        return 0;
    }
    m.nameOffset = scan->namesSize;
    m.nameSize = nameSize;
    std::memcpy(scan->names + scan->namesSize, name, nameSize);
    scan->namesSize += nameSize;
    m.buildIdSize = readBuildId(info, m.buildId);
    uint64_t key = hashBytes(0xcbf29ce484222325ull, name, nameSize);
    key = hashBytes(key, &m.bias, sizeof(m.bias));
    key = hashBytes(key, &m.segments[0].lo, sizeof(uintptr_t));
    m.key = key;
    ++scan->count;
    return 0;
}

void publishRanges()
{
    size_t count = 0;
    for (int i = 0; i < g_moduleCount; ++i) {
        if (g_modules[i].present) {
            count += size_t(g_modules[i].segmentCount);
        }
    }
    auto block = static_cast<unsigned char *>(real.malloc(sizeof(RangeTable) + count * sizeof(Range)));
    if (!block) {
        return;
    }
    auto table = reinterpret_cast<RangeTable *>(block);
    table->ranges = reinterpret_cast<Range *>(block + sizeof(RangeTable));
    table->count = 0;
    for (int i = 0; i < g_moduleCount; ++i) {
        if (!g_modules[i].present) {
            continue;
        }
        for (int s = 0; s < g_modules[i].segmentCount; ++s) {
            // insertion sort: rebuilt only when modules change
            const Range r = g_modules[i].segments[s];
            size_t j = table->count++;
            while (j > 0 && table->ranges[j - 1].lo > r.lo) {
                table->ranges[j] = table->ranges[j - 1];
                --j;
            }
            table->ranges[j] = r;
        }
    }
    g_ranges.store(table, std::memory_order_release);
}

bool addModule(const Scan &scan, const ScannedModule &m)
{
    if (g_moduleCount == g_moduleCapacity) {
        const int capacity = g_moduleCapacity ? g_moduleCapacity * 2 : 64;
        auto modules = static_cast<Module *>(real.realloc(g_modules, sizeof(Module) * size_t(capacity)));
        if (!modules) {
            return false;
        }
        g_modules = modules;
        g_moduleCapacity = capacity;
    }
    const size_t maxSize = 1 + 3 * MaxVarint + size_t(m.segmentCount) * 2 * MaxVarint + MaxVarint + m.nameSize + MaxVarint + m.buildIdSize;
    auto record = static_cast<uint8_t *>(real.malloc(maxSize));
    if (!record) {
        return false;
    }
    Module &module = g_modules[g_moduleCount];
    module.id = g_nextModuleId++;
    module.present = true;
    module.key = m.key;
    module.segmentCount = m.segmentCount;
    std::memcpy(module.segments, m.segments, sizeof(Range) * size_t(m.segmentCount));
    uint8_t *p = record;
    *p++ = RecordModule;
    p = putVarint(p, module.id);
    p = putVarint(p, m.bias);
    p = putVarint(p, uint64_t(m.segmentCount));
    for (int s = 0; s < m.segmentCount; ++s) {
        p = putVarint(p, m.segments[s].lo);
        p = putVarint(p, m.segments[s].hi - m.segments[s].lo);
    }
    p = putBytes(p, scan.names + m.nameOffset, m.nameSize);
    p = putBytes(p, m.buildId, m.buildIdSize);
    module.record = record;
    module.recordSize = size_t(p - record);
    ++g_moduleCount;
    append(module.record, module.recordSize);
    return true;
}

// Brings the module table up to date and announces the changes in the ring.
// Returns after the records are in the ring, before the caller's event.
void rescanModules(bool onlyIfChanged)
{
    Scan scan{};
    scan.onlyIfChanged = onlyIfChanged;
    dl_iterate_phdr(scanCallback, &scan);
    if (!scan.unchanged && !scan.failed) {
        g_moduleLock.lock();
        // another thread may have merged a newer list meanwhile
        const bool stale = g_scannedOnce && (scan.adds < g_scannedAdds || scan.subs < g_scannedSubs);
        if (!stale) {
            bool changed = false;
            for (int i = 0; i < g_moduleCount; ++i) {
                if (!g_modules[i].present) {
                    continue;
                }
                bool seen = false;
                for (int j = 0; j < scan.count && !seen; ++j) {
                    seen = scan.modules[j].key == g_modules[i].key;
                }
                if (!seen) {
                    g_modules[i].present = false;
                    changed = true;
                    uint8_t record[1 + MaxVarint];
                    record[0] = RecordModuleGone;
                    append(record, size_t(putVarint(record + 1, g_modules[i].id) - record));
                }
            }
            for (int j = 0; j < scan.count; ++j) {
                bool known = false;
                for (int i = 0; i < g_moduleCount && !known; ++i) {
                    known = g_modules[i].present && g_modules[i].key == scan.modules[j].key;
                }
                if (!known && addModule(scan, scan.modules[j])) {
                    changed = true;
                }
            }
            if (changed || !g_ranges.load(std::memory_order_relaxed)) {
                publishRanges();
                g_moduleGeneration.fetch_add(1, std::memory_order_release);
            }
            g_scannedAdds = scan.adds;
            g_scannedSubs = scan.subs;
            g_scannedOnce = true;
        }
        g_moduleLock.unlock();
    }
    real.free(scan.modules);
    real.free(scan.names);
}

// Every address of a stack must lie in an announced module before the
// allocation that carries it is appended.
void ensureModules(ThreadState *ts, const uintptr_t *addresses, int count)
{
    const RangeTable *table = g_ranges.load(std::memory_order_acquire);
    for (int i = 0; i < count; ++i) {
        const uintptr_t address = addresses[i];
        if (address >= ts->lastHit.lo && address < ts->lastHit.hi) {
            continue;
        }
        if (LIKELY(lookupRange(table, address, &ts->lastHit))) {
            continue;
        }
        // Unknown to us. Code outside any loaded object (JIT) stays unknown
        // and costs no rescan; otherwise the loader's counters tell whether
        // anything was loaded since the last scan.
        if (g_findObject) {
            dl_find_object found;
            if (g_findObject(reinterpret_cast<void *>(address), &found) != 0) {
                continue;
            }
        }
        rescanModules(true);
        table = g_ranges.load(std::memory_order_acquire);
        lookupRange(table, address, &ts->lastHit);
    }
}

// ---------------------------------------------------------------------------
// Stacks

struct UnwindState {
    uintptr_t *out;
    int count;
    int max;
};

int unwindCallback(UnwindContext *context, void *data)
{
    auto state = static_cast<UnwindState *>(data);
    if (state->count >= state->max) {
        return 5; // _URC_END_OF_STACK
    }
    const uintptr_t ip = g_unwindGetIp(context);
    if (ip) {
        state->out[state->count++] = ip;
    }
    return 0;
}

// Innermost first, the recorder's own frames cut off. Returns the count and
// the first program frame in *first.
int takeStack(uintptr_t *buffer, uintptr_t **first)
{
    int n = 0;
    if (LIKELY(g_unwBacktrace)) {
        n = g_unwBacktrace(reinterpret_cast<void **>(buffer), MaxFrames + OwnFrameSlack);
    } else if (g_unwindBacktrace) {
        UnwindState state{buffer, 0, MaxFrames + OwnFrameSlack};
        g_unwindBacktrace(unwindCallback, &state);
        n = state.count;
    }
    int skip = 0;
    while (skip < n && isOwnFrame(buffer[skip])) {
        ++skip;
    }
    n -= skip;
    if (n > MaxFrames) {
        n = MaxFrames;
    }
    *first = buffer + skip;
    return n < 0 ? 0 : n;
}

// ---------------------------------------------------------------------------
// Threads

void threadEnded(void *data)
{
    Guard guard;
    auto ts = static_cast<ThreadState *>(data);
    if (ts->generation == g_streamGeneration.load(std::memory_order_relaxed) && g_state.load(std::memory_order_acquire) == Recording) {
        uint8_t record[1 + MaxVarint];
        record[0] = RecordThreadEnd;
        append(record, size_t(putVarint(record + 1, ts->thread) - record));
    }
    if (t_state == ts) {
        t_state = nullptr;
    }
    real.free(ts);
}

ThreadState *threadState()
{
    ThreadState *ts = t_state;
    const uint32_t generation = g_streamGeneration.load(std::memory_order_relaxed);
    if (LIKELY(ts && ts->generation == generation)) {
        return ts;
    }
    if (!ts) {
        ts = static_cast<ThreadState *>(real.malloc(sizeof(ThreadState)));
        if (!ts) {
            return nullptr;
        }
        if (g_threadKeyValid) {
            pthread_setspecific(g_threadKey, ts);
        }
        t_state = ts;
    }
    ts->generation = generation;
    ts->thread = g_nextThread.fetch_add(1, std::memory_order_relaxed);
    ts->moduleGeneration = 0;
    ts->previousCount = 0;
    ts->previous = ts->stackA;
    ts->current = ts->stackB;
    ts->lastHit = {0, 0};
    return ts;
}

// ---------------------------------------------------------------------------
// Events

// Encodes RecordAllocation against this thread's previous stack and makes
// the new stack the previous one.
size_t encodeAllocation(ThreadState *ts, uintptr_t *stack, int count, const void *address, size_t size)
{
    int keep = 0;
    const uintptr_t *previous = ts->previous;
    while (keep < count && keep < ts->previousCount && stack[count - 1 - keep] == previous[ts->previousCount - 1 - keep]) {
        ++keep;
    }
    uint8_t *p = ts->scratch;
    *p++ = RecordAllocation;
    p = putVarint(p, ts->thread);
    p = putVarint(p, size);
    p = putVarint(p, reinterpret_cast<uintptr_t>(address));
    p = putVarint(p, uint64_t(keep));
    p = putVarint(p, uint64_t(count - keep));
    for (int i = 0; i < count - keep; ++i) {
        p = putVarint(p, stack[i]);
    }
    // the stack was taken into ts->current: that buffer now holds the
    // previous stack and the next one goes into the other
    ts->previous = stack;
    ts->previousCount = count;
    ts->current = ts->current == ts->stackA ? ts->stackB : ts->stackA;
    return size_t(p - ts->scratch);
}

struct TakenStack {
    ThreadState *ts = nullptr;
    uintptr_t *frames = nullptr;
    int count = 0;
};

// Outside every lock: unwinding is the expensive part.
TakenStack takeEventStack()
{
    TakenStack taken;
    taken.ts = threadState();
    if (!taken.ts) {
        return taken;
    }
    if (g_stacksReady.load(std::memory_order_acquire)) {
        taken.count = takeStack(taken.ts->current, &taken.frames);
        const uint32_t moduleGeneration = g_moduleGeneration.load(std::memory_order_acquire);
        if (taken.ts->moduleGeneration != moduleGeneration) {
            // modules went away: every frame is checked again, not only the new ones
            taken.ts->moduleGeneration = moduleGeneration;
            taken.ts->lastHit = {0, 0};
            ensureModules(taken.ts, taken.frames, taken.count);
        } else {
            int keep = 0;
            const int previousCount = taken.ts->previousCount;
            while (keep < taken.count && keep < previousCount && taken.frames[taken.count - 1 - keep] == taken.ts->previous[previousCount - 1 - keep]) {
                ++keep;
            }
            ensureModules(taken.ts, taken.frames, taken.count - keep);
        }
    } else {
        taken.frames = taken.ts->current;
    }
    return taken;
}

void recordAllocation(void *address, size_t size)
{
    const int savedErrno = errno;
    Guard guard;
    TakenStack taken = takeEventStack();
    if (taken.ts) {
        Preamble preamble;
        g_ringLock.lock();
        const size_t length = encodeAllocation(taken.ts, taken.frames, taken.count, address, size);
        appendLocked(preamble, taken.ts->scratch, length);
        g_ringLock.unlock();
    }
    if (UNLIKELY(g_moduleCheckDue.load(std::memory_order_relaxed))) {
        checkForNewModules();
    }
    errno = savedErrno;
}

size_t encodeDeallocation(uint8_t *out, const void *address)
{
    out[0] = RecordDeallocation;
    return size_t(putVarint(out + 1, reinterpret_cast<uintptr_t>(address)) - out);
}

// ---------------------------------------------------------------------------
// Start

const char *findEnv(char **env, const char *name)
{
    if (!env) {
        return nullptr;
    }
    const size_t length = strlen(name);
    for (; *env; ++env) {
        if (strncmp(*env, name, length) == 0 && (*env)[length] == '=') {
            return *env + length + 1;
        }
    }
    return nullptr;
}

long parseNumber(const char *text)
{
    if (!text || !*text) {
        return -1;
    }
    long value = 0;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9') {
            return -1;
        }
        value = value * 10 + (*text - '0');
    }
    return value;
}

// /proc/self/cmdline can be as long as the argument limit: an anonymous
// mapping that grows as needed, unmapped by the caller.
char *readCmdline(size_t *size, size_t *mapSize)
{
    size_t capacity = 64 * 1024;
    auto buffer = static_cast<char *>(mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    *size = 0;
    *mapSize = 0;
    if (buffer == MAP_FAILED) {
        return nullptr;
    }
    const int fd = rawOpen("/proc/self/cmdline", O_RDONLY);
    if (fd >= 0) {
        for (;;) {
            if (*size == capacity) {
                void *grown = mremap(buffer, capacity, capacity * 2, MREMAP_MAYMOVE);
                if (grown == MAP_FAILED) {
                    break;
                }
                buffer = static_cast<char *>(grown);
                capacity *= 2;
            }
            const ssize_t n = rawRead(fd, buffer + *size, capacity - *size);
            if (n <= 0) {
                break;
            }
            *size += size_t(n);
        }
        rawClose(fd);
    }
    *mapSize = capacity;
    return buffer;
}

bool sendAll(int fd, msghdr *message)
{
    ssize_t sent = sendmsg(fd, message, MSG_NOSIGNAL);
    if (sent < 0) {
        return false;
    }
    // a stream socket may take a long command line in pieces; the descriptor
    // went with the first one
    size_t remaining = 0;
    for (size_t i = 0; i < message->msg_iovlen; ++i) {
        remaining += message->msg_iov[i].iov_len;
    }
    remaining -= size_t(sent);
    size_t skip = size_t(sent);
    for (size_t i = 0; i < message->msg_iovlen && remaining; ++i) {
        auto &iov = message->msg_iov[i];
        if (skip >= iov.iov_len) {
            skip -= iov.iov_len;
            continue;
        }
        auto data = static_cast<const char *>(iov.iov_base) + skip;
        size_t left = iov.iov_len - skip;
        skip = 0;
        while (left) {
            const ssize_t n = send(fd, data, left, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            data += n;
            left -= size_t(n);
            remaining -= size_t(n);
        }
    }
    return true;
}

int connectLauncher(const char **error)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, g_socketPath, sizeof(address.sun_path));
    const int types[] = {SOCK_STREAM, SOCK_SEQPACKET};
    for (int type : types) {
        const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            *error = "cannot create a socket";
            return -1;
        }
        int r;
        do {
            r = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address));
        } while (r != 0 && errno == EINTR);
        if (r == 0) {
            return fd;
        }
        const int connectErrno = errno;
        close(fd);
        if (connectErrno != EPROTOTYPE) {
            break;
        }
    }
    *error = "cannot connect to the launcher's socket";
    return -1;
}

// Creates the ring and sends the hello with it. On failure nothing is left
// behind and *error says why.
bool openStream(uint32_t flags, const char **error)
{
    const size_t capacity = DefaultRingCapacity;
    const int memfd = int(syscall(SYS_memfd_create, "memloupe-ring", MFD_CLOEXEC));
    if (memfd < 0) {
        *error = "memfd_create failed";
        return false;
    }
    const size_t mapSize = RingDataOffset + capacity;
    if (ftruncate(memfd, off_t(mapSize)) != 0) {
        close(memfd);
        *error = "cannot size the ring";
        return false;
    }
    void *map = mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, MAP_SHARED, memfd, 0);
    if (map == MAP_FAILED) {
        close(memfd);
        *error = "cannot map the ring";
        return false;
    }
    auto ring = new (map) RingHeader;
    ring->magic = RingMagic;
    ring->version = Version;
    ring->reserved = 0;
    ring->capacity = capacity;
    ring->head.store(0, std::memory_order_relaxed);
    ring->tail.store(0, std::memory_order_relaxed);
    ring->control.store(ControlNone, std::memory_order_relaxed);
    ring->state.store(RingRecording, std::memory_order_release);

    const int fd = connectLauncher(error);
    if (fd < 0) {
        munmap(map, mapSize);
        close(memfd);
        return false;
    }

    Hello hello{};
    std::memcpy(hello.magic, HelloMagic, sizeof(hello.magic));
    hello.version = Version;
    hello.pid = getpid();
    hello.ppid = getppid();
    hello.flags = flags;
    hello.pageSize = sysconf(_SC_PAGESIZE);
    hello.physicalPages = sysconf(_SC_PHYS_PAGES);
    char exe[PATH_MAX];
    ssize_t exeLength = readlink("/proc/self/exe", exe, sizeof(exe));
    if (exeLength < 0) {
        exeLength = 0;
    }
    size_t cmdlineSize = 0;
    size_t cmdlineMapSize = 0;
    char *cmdline = readCmdline(&cmdlineSize, &cmdlineMapSize);
    hello.exeLength = uint32_t(exeLength);
    hello.cmdlineLength = uint32_t(cmdlineSize);

    iovec iov[3] = {{&hello, sizeof(hello)}, {exe, size_t(exeLength)}, {cmdline, cmdlineSize}};
    union {
        cmsghdr header;
        char space[CMSG_SPACE(sizeof(int))];
    } control{};
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = 3;
    message.msg_control = control.space;
    message.msg_controllen = sizeof(control.space);
    cmsghdr *cmsg = CMSG_FIRSTHDR(&message);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), &memfd, sizeof(int));
    const bool sent = sendAll(fd, &message);
    if (cmdline) {
        munmap(cmdline, cmdlineMapSize);
    }
    close(memfd);
    if (!sent) {
        close(fd);
        munmap(map, mapSize);
        *error = "cannot send the hello to the launcher";
        return false;
    }

    struct stat st;
    fstat(fd, &st);
    g_socketFd = fd;
    g_socketDev = st.st_dev;
    g_socketIno = st.st_ino;
    g_ring = ring;
    g_ringData = static_cast<uint8_t *>(map) + RingDataOffset;
    g_ringMask = capacity - 1;
    g_ringMapSize = mapSize;
    g_startNs = monotonicNs();
    g_lastTimeMs = 0;
    g_lastRssMs.store(0, std::memory_order_relaxed);
    return true;
}

// The program may have closed our socket and reused its number.
void closeOwnSocket()
{
    struct stat st;
    if (g_socketFd >= 0 && fstat(g_socketFd, &st) == 0 && st.st_dev == g_socketDev && st.st_ino == g_socketIno) {
        close(g_socketFd);
    }
    g_socketFd = -1;
}

void dropStream()
{
    if (g_ring) {
        munmap(g_ring, g_ringMapSize);
        g_ring = nullptr;
        g_ringData = nullptr;
    }
    closeOwnSocket();
}

void appendResidentSetSize()
{
    const long pages = residentPages();
    if (pages >= 0) {
        uint8_t record[1 + MaxVarint];
        record[0] = RecordResidentSetSize;
        append(record, size_t(putVarint(record + 1, uint64_t(pages)) - record));
    }
}

void atforkPrepare()
{
    if (g_state.load(std::memory_order_acquire) == Recording) {
        g_moduleLock.lock();
        g_ringLock.lock();
    }
}

void atforkParent()
{
    if (g_state.load(std::memory_order_acquire) == Recording) {
        g_ringLock.unlock();
        g_moduleLock.unlock();
    }
}

void atforkChild()
{
    if (g_state.load(std::memory_order_acquire) != Recording) {
        return;
    }
    g_ringLock.reset();
    g_moduleLock.reset();
    Guard guard;
    if (!g_recordChildren) {
        g_state.store(Disabled, std::memory_order_release);
        dropStream();
        return;
    }
    // the parent's stream stays the parent's: the child gets its own
    munmap(g_ring, g_ringMapSize);
    g_ring = nullptr;
    closeOwnSocket();
    const char *error = "";
    if (!openStream(HelloForkedChild, &error)) {
        g_state.store(Disabled, std::memory_order_release);
        writeStderr("recording disabled: ", error);
        return;
    }
    g_streamGeneration.fetch_add(1, std::memory_order_relaxed);
    g_nextThread.store(1, std::memory_order_relaxed);
    appendResidentSetSize();
    for (int i = 0; i < g_moduleCount; ++i) {
        if (g_modules[i].present) {
            append(g_modules[i].record, g_modules[i].recordSize);
        }
    }
}

void start(char **env)
{
    int state = Uninitialized;
    if (!g_state.compare_exchange_strong(state, Starting, std::memory_order_acq_rel)) {
        while (g_state.load(std::memory_order_acquire) == Starting) {
            sched_yield();
        }
        return;
    }
    Guard guard;
    if (!env) {
        env = environ;
    }
    const char *socketPath = findEnv(env, SocketEnv);
    if (!socketPath || !*socketPath) {
        g_state.store(Disabled, std::memory_order_release);
        return;
    }
    const char *recordChildren = findEnv(env, RecordChildrenEnv);
    g_recordChildren = recordChildren && strcmp(recordChildren, "1") == 0;
    const long targetPid = parseNumber(findEnv(env, PidEnv));
    g_launcherPid = pid_t(parseNumber(findEnv(env, LauncherPidEnv)));
    if (!g_recordChildren && targetPid != getpid()) {
        g_state.store(Disabled, std::memory_order_release);
        return;
    }
    if (strlen(socketPath) >= sizeof(g_socketPath)) {
        g_state.store(Disabled, std::memory_order_release);
        writeStderr("recording disabled: ", "socket path too long");
        return;
    }
    std::memcpy(g_socketPath, socketPath, strlen(socketPath) + 1);
    const char *error = "";
    if (!openStream(0, &error)) {
        g_state.store(Disabled, std::memory_order_release);
        writeStderr("recording disabled: ", error);
        return;
    }
    if (!g_threadKeyValid) {
        g_threadKeyValid = pthread_key_create(&g_threadKey, threadEnded) == 0;
    }
    if (!g_atforkRegistered) {
        g_atforkRegistered = pthread_atfork(atforkPrepare, atforkParent, atforkChild) == 0;
    }
    g_state.store(Recording, std::memory_order_release);
    appendResidentSetSize();
}

// ---------------------------------------------------------------------------
// Stacks and modules, set up in the constructor where loading is safe

int ownTextCallback(dl_phdr_info *info, size_t, void *data)
{
    const auto address = reinterpret_cast<uintptr_t>(data);
    bool contains = false;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto &ph = info->dlpi_phdr[i];
        const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        if (ph.p_type == PT_LOAD && address >= start && address < start + ph.p_memsz) {
            contains = true;
        }
    }
    if (!contains) {
        return 0;
    }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto &ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) && g_ownTextCount < 8) {
            const uintptr_t start = info->dlpi_addr + ph.p_vaddr;
            g_ownText[g_ownTextCount++] = {start, start + ph.p_memsz};
        }
    }
    return 1;
}

void addOwnText(const void *address)
{
    dl_iterate_phdr(ownTextCallback, const_cast<void *>(address));
}

void loadUnwinder()
{
    addOwnText(reinterpret_cast<const void *>(&loadUnwinder));
    // RTLD_LOCAL: libunwind also defines backtrace and _Unwind_*, which must
    // not take over the program's exception handling
    if (void *handle = dlopen("libunwind.so.8", RTLD_NOW | RTLD_LOCAL)) {
        g_unwBacktrace = reinterpret_cast<UnwBacktraceFn>(dlsym(handle, "unw_backtrace"));
    }
    if (g_unwBacktrace) {
        addOwnText(reinterpret_cast<const void *>(g_unwBacktrace));
        return;
    }
    if (void *handle = dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_LOCAL)) {
        g_unwindBacktrace = reinterpret_cast<UnwindBacktraceFn>(dlsym(handle, "_Unwind_Backtrace"));
        g_unwindGetIp = reinterpret_cast<UnwindGetIpFn>(dlsym(handle, "_Unwind_GetIP"));
        if (!g_unwindGetIp) {
            g_unwindBacktrace = nullptr;
        }
    }
    if (g_unwindBacktrace) {
        addOwnText(reinterpret_cast<const void *>(g_unwindBacktrace));
    } else {
        writeStderr("no unwinder found: allocations are recorded without call stacks");
    }
}

struct ExeBias {
    uintptr_t bias;
};

int exeBiasCallback(dl_phdr_info *info, size_t, void *data)
{
    static_cast<ExeBias *>(data)->bias = info->dlpi_addr;
    return 1;
}

// An executable need not export the function: look in its symbol tables.
uintptr_t findInExecutable(const char *symbol)
{
    const int fd = rawOpen("/proc/self/exe", O_RDONLY);
    if (fd < 0) {
        return 0;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || size_t(st.st_size) < sizeof(ElfW(Ehdr))) {
        rawClose(fd);
        return 0;
    }
    const size_t size = size_t(st.st_size);
    void *map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    rawClose(fd);
    if (map == MAP_FAILED) {
        return 0;
    }
    const auto base = static_cast<const unsigned char *>(map);
    ElfW(Ehdr) ehdr;
    std::memcpy(&ehdr, base, sizeof(ehdr));
    uintptr_t found = 0;
    const bool valid = std::memcmp(ehdr.e_ident, ELFMAG, SELFMAG) == 0 && ehdr.e_shentsize == sizeof(ElfW(Shdr))
        && ehdr.e_shoff + uint64_t(ehdr.e_shnum) * sizeof(ElfW(Shdr)) <= size;
    for (int i = 0; valid && i < ehdr.e_shnum && !found; ++i) {
        ElfW(Shdr) section;
        std::memcpy(&section, base + ehdr.e_shoff + size_t(i) * sizeof(section), sizeof(section));
        if ((section.sh_type != SHT_SYMTAB && section.sh_type != SHT_DYNSYM) || section.sh_link >= ehdr.e_shnum || section.sh_offset + section.sh_size > size) {
            continue;
        }
        ElfW(Shdr) strings;
        std::memcpy(&strings, base + ehdr.e_shoff + size_t(section.sh_link) * sizeof(strings), sizeof(strings));
        if (strings.sh_offset + strings.sh_size > size) {
            continue;
        }
        const auto names = reinterpret_cast<const char *>(base + strings.sh_offset);
        const size_t symbols = section.sh_size / sizeof(ElfW(Sym));
        for (size_t s = 0; s < symbols; ++s) {
            ElfW(Sym) sym;
            std::memcpy(&sym, base + section.sh_offset + s * sizeof(sym), sizeof(sym));
            if (sym.st_name >= strings.sh_size || !sym.st_value || ELF64_ST_TYPE(sym.st_info) != STT_FUNC) {
                continue;
            }
            if (strncmp(names + sym.st_name, symbol, strings.sh_size - sym.st_name) == 0) {
                ExeBias exe{0};
                dl_iterate_phdr(exeBiasCallback, &exe);
                found = exe.bias + sym.st_value;
                break;
            }
        }
    }
    munmap(map, size);
    return found;
}

void sendSuppressions()
{
    using SuppressionsFn = const char *(*)();
    auto function = reinterpret_cast<SuppressionsFn>(dlsym(RTLD_DEFAULT, "__lsan_default_suppressions"));
    if (!function) {
        function = reinterpret_cast<SuppressionsFn>(findInExecutable("__lsan_default_suppressions"));
    }
    if (!function) {
        return;
    }
    const char *text = function();
    if (!text) {
        return;
    }
    const size_t length = strnlen(text, MaxSuppressionText);
    auto record = static_cast<uint8_t *>(real.malloc(1 + MaxVarint + length));
    if (!record) {
        return;
    }
    record[0] = RecordSuppressions;
    append(record, size_t(putBytes(record + 1, text, length) - record));
    real.free(record);
}

void prepareStacks()
{
    Guard guard;
    loadUnwinder();
    g_findObject = reinterpret_cast<FindObjectFn>(dlsym(RTLD_DEFAULT, "_dl_find_object"));
    rescanModules(false);
    g_stacksReady.store(true, std::memory_order_release);
    sendSuppressions();
}

// ---------------------------------------------------------------------------
// Attaching: `memloupe --pid` has gdb dlopen this library into a running
// process and call memloupe_attach. Nothing binds to our definitions then,
// so recording redirects every module's GOT entries of the allocation
// functions (and of dlopen and dlclose, to follow modules loaded later) to
// them, and puts them back when it stops. The library is never unloaded: a
// thread may still be inside one of its functions; a later attach reuses it.

struct Redirect {
    const char *name;
    uintptr_t replacement;
    uintptr_t real;
};
constexpr int MaxRedirects = 16;
Redirect g_redirects[MaxRedirects];
int g_redirectCount = 0;

struct PatchedSlot {
    uintptr_t *slot;
    uintptr_t original;
    uintptr_t replacement;
};
Lock g_patchLock; // the slots and every change of a GOT entry
PatchedSlot *g_slots = nullptr;
size_t g_slotCount = 0;
size_t g_slotCapacity = 0;
bool g_redirecting = false; // under g_patchLock
unsigned long long g_patchedAdds = ~0ull;
unsigned long long g_patchedSubs = ~0ull;
alignas(64) std::atomic<bool> g_moduleCheckDue{false};

char g_attachError[256];
bool g_unwinderLoaded = false;
bool g_firstAttach = true;
pthread_t g_controlThread;

void setAttachError(const char *a, const char *b = "")
{
    size_t n = 0;
    const char *parts[] = {a, b};
    for (const char *part : parts) {
        for (; *part && n < sizeof(g_attachError) - 1; ++part) {
            g_attachError[n++] = *part;
        }
    }
    g_attachError[n] = 0;
}

// Protection of the mapping that holds `address`, from /proc/self/maps;
// -1 if it is not mapped. Only RELRO pages need it, and only while patching.
int mappingProtection(uintptr_t address)
{
    const int fd = rawOpen("/proc/self/maps", O_RDONLY);
    if (fd < 0) {
        return -1;
    }
    char buffer[4096];
    size_t filled = 0;
    int protection = -1;
    bool done = false;
    while (!done) {
        const ssize_t n = rawRead(fd, buffer + filled, sizeof(buffer) - filled);
        if (n <= 0) {
            break;
        }
        filled += size_t(n);
        size_t start = 0;
        for (size_t i = 0; i < filled && !done; ++i) {
            if (buffer[i] != '\n') {
                continue;
            }
            // "lo-hi rwxp ..."
            const char *p = buffer + start;
            uintptr_t lo = 0;
            uintptr_t hi = 0;
            auto hex = [&p](uintptr_t *out) {
                for (;; ++p) {
                    const char c = *p;
                    const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
                    if (digit < 0) {
                        return;
                    }
                    *out = *out * 16 + uintptr_t(digit);
                }
            };
            hex(&lo);
            if (*p == '-') {
                ++p;
                hex(&hi);
                if (*p == ' ' && address >= lo && address < hi) {
                    protection = (p[1] == 'r' ? PROT_READ : 0) | (p[2] == 'w' ? PROT_WRITE : 0) | (p[3] == 'x' ? PROT_EXEC : 0);
                    done = true;
                }
            }
            start = i + 1;
        }
        if (start == 0 && filled == sizeof(buffer)) {
            break; // a line longer than the buffer: not a maps file we understand
        }
        std::memmove(buffer, buffer + start, filled - start);
        filled -= start;
    }
    rawClose(fd);
    return protection;
}

struct ModuleLayout {
    uintptr_t relroLo = 0;
    uintptr_t relroHi = 0;
    Range writable[MaxSegments];
    int writableCount = 0;
    Range code[MaxSegments];
    int codeCount = 0;
    const ElfW(Dyn) *dynamic = nullptr;

    explicit ModuleLayout(const dl_phdr_info *info)
    {
        for (int i = 0; i < info->dlpi_phnum; ++i) {
            const auto &ph = info->dlpi_phdr[i];
            const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
            const uintptr_t hi = lo + ph.p_memsz;
            if (ph.p_type == PT_DYNAMIC) {
                dynamic = reinterpret_cast<const ElfW(Dyn) *>(lo);
            } else if (ph.p_type == PT_GNU_RELRO) {
                relroLo = lo;
                relroHi = hi;
            } else if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W) && writableCount < MaxSegments) {
                writable[writableCount++] = {lo, hi};
            } else if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) && codeCount < MaxSegments) {
                code[codeCount++] = {lo, hi};
            }
        }
    }
    static bool in(const Range *ranges, int count, uintptr_t address)
    {
        for (int i = 0; i < count; ++i) {
            if (address >= ranges[i].lo && address < ranges[i].hi) {
                return true;
            }
        }
        return false;
    }
    // a GOT entry of this module (its data, RELRO included)
    bool holds(const void *slot) const
    {
        const auto address = reinterpret_cast<uintptr_t>(slot);
        return (address & (sizeof(uintptr_t) - 1)) == 0 && in(writable, writableCount, address);
    }
    bool inRelro(const void *slot) const
    {
        const auto address = reinterpret_cast<uintptr_t>(slot);
        return address >= relroLo && address < relroHi;
    }
    bool inCode(uintptr_t address) const
    {
        return in(code, codeCount, address);
    }
};

// One aligned word compared and exchanged: a thread calling through the
// entry at this moment sees either function, both of which work.
bool exchangeSlot(const ModuleLayout &layout, uintptr_t *slot, uintptr_t expected, uintptr_t desired)
{
    int protection = -1;
    const uintptr_t page = reinterpret_cast<uintptr_t>(slot) & ~uintptr_t(getpagesize() - 1);
    if (layout.inRelro(slot)) {
        protection = mappingProtection(page);
        if (protection < 0) {
            return false;
        }
        if (protection & PROT_WRITE) {
            protection = -1; // not made read-only yet: leave it as it is
        } else if (mprotect(reinterpret_cast<void *>(page), size_t(getpagesize()), protection | PROT_WRITE) != 0) {
            return false;
        }
    }
    const bool exchanged = __atomic_compare_exchange_n(slot, &expected, desired, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    if (protection >= 0) {
        mprotect(reinterpret_cast<void *>(page), size_t(getpagesize()), protection);
    }
    return exchanged;
}

struct DynamicInfo {
    const ElfW(Sym) *symbols = nullptr;
    const char *strings = nullptr;
    size_t stringsSize = 0;
    const ElfW(Rela) *plt = nullptr;
    size_t pltSize = 0;
    bool pltIsRela = true;
    const ElfW(Rela) *rela = nullptr;
    size_t relaSize = 0;
    size_t relaEntry = sizeof(ElfW(Rela));
};

bool readDynamic(const dl_phdr_info *info, const ModuleLayout &layout, DynamicInfo *out)
{
    if (!layout.dynamic) {
        return false;
    }
    // the loader adjusts these by the load bias in place, except where the
    // dynamic section is read-only (the vDSO)
    auto address = [info](ElfW(Addr) value) {
        return value < info->dlpi_addr ? value + info->dlpi_addr : value;
    };
    for (const ElfW(Dyn) *d = layout.dynamic; d->d_tag != DT_NULL; ++d) {
        switch (d->d_tag) {
        case DT_SYMTAB:
            out->symbols = reinterpret_cast<const ElfW(Sym) *>(address(d->d_un.d_ptr));
            break;
        case DT_STRTAB:
            out->strings = reinterpret_cast<const char *>(address(d->d_un.d_ptr));
            break;
        case DT_STRSZ:
            out->stringsSize = d->d_un.d_val;
            break;
        case DT_JMPREL:
            out->plt = reinterpret_cast<const ElfW(Rela) *>(address(d->d_un.d_ptr));
            break;
        case DT_PLTRELSZ:
            out->pltSize = d->d_un.d_val;
            break;
        case DT_PLTREL:
            out->pltIsRela = d->d_un.d_val == DT_RELA;
            break;
        case DT_RELA:
            out->rela = reinterpret_cast<const ElfW(Rela) *>(address(d->d_un.d_ptr));
            break;
        case DT_RELASZ:
            out->relaSize = d->d_un.d_val;
            break;
        case DT_RELAENT:
            out->relaEntry = d->d_un.d_val;
            break;
        default:
            break;
        }
    }
    return out->symbols && out->strings && out->relaEntry == sizeof(ElfW(Rela)) && out->pltIsRela;
}

bool addSlot(uintptr_t *slot, uintptr_t original, uintptr_t replacement)
{
    if (g_slotCount == g_slotCapacity) {
        const size_t capacity = g_slotCapacity ? g_slotCapacity * 2 : 256;
        auto slots = static_cast<PatchedSlot *>(real.realloc(g_slots, capacity * sizeof(PatchedSlot)));
        if (!slots) {
            return false;
        }
        g_slots = slots;
        g_slotCapacity = capacity;
    }
    g_slots[g_slotCount++] = {slot, original, replacement};
    return true;
}

void patchRelocations(const dl_phdr_info *info, const ModuleLayout &layout, const DynamicInfo &dyn, const ElfW(Rela) * relocations, size_t bytes)
{
    const size_t count = relocations ? bytes / sizeof(ElfW(Rela)) : 0;
    for (size_t r = 0; r < count; ++r) {
        const ElfW(Rela) &rel = relocations[r];
        const auto type = ELF64_R_TYPE(rel.r_info);
        if ((type != R_X86_64_JUMP_SLOT && type != R_X86_64_GLOB_DAT) || ELF64_R_SYM(rel.r_info) == 0) {
            continue;
        }
        const ElfW(Sym) &sym = dyn.symbols[ELF64_R_SYM(rel.r_info)];
        if (sym.st_name >= dyn.stringsSize) {
            continue;
        }
        const char *name = dyn.strings + sym.st_name;
        const Redirect *redirect = nullptr;
        for (int i = 0; i < g_redirectCount && !redirect; ++i) {
            if (strcmp(name, g_redirects[i].name) == 0) {
                redirect = &g_redirects[i];
            }
        }
        auto slot = reinterpret_cast<uintptr_t *>(info->dlpi_addr + rel.r_offset);
        if (!redirect || !layout.holds(slot)) {
            continue;
        }
        const uintptr_t value = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
        // Only entries bound to the function everybody else gets, or not
        // bound yet (lazy binding: its own PLT code). A module bound to an
        // allocator of its own keeps it: mixing them would corrupt the heap.
        const bool lazy = sym.st_shndx == SHN_UNDEF && layout.inCode(value);
        if (value == redirect->replacement || (value != redirect->real && !lazy)) {
            continue;
        }
        if (!addSlot(slot, value, redirect->replacement)) {
            return;
        }
        if (!exchangeSlot(layout, slot, value, redirect->replacement)) {
            --g_slotCount;
        }
    }
}

int ownModuleCallback(dl_phdr_info *info, const void *address)
{
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto &ph = info->dlpi_phdr[i];
        const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        const auto a = reinterpret_cast<uintptr_t>(address);
        if (ph.p_type == PT_LOAD && a >= lo && a < lo + ph.p_memsz) {
            return 1;
        }
    }
    return 0;
}

// Under g_patchLock, inside the loader's module list lock: no module goes
// away meanwhile, and nothing here allocates except through the real functions.
int patchCallback(dl_phdr_info *info, size_t, void *data)
{
    const bool restore = data != nullptr;
    if (ownModuleCallback(info, reinterpret_cast<const void *>(&patchCallback))) {
        return 0;
    }
    const ModuleLayout layout(info);
    if (restore) {
        for (size_t i = 0; i < g_slotCount; ++i) {
            PatchedSlot &patched = g_slots[i];
            if (patched.slot && layout.holds(patched.slot)) {
                // an entry that changed since (the loader bound it lazily) stays as it is
                exchangeSlot(layout, patched.slot, patched.replacement, patched.original);
                patched.slot = nullptr;
            }
        }
        return 0;
    }
    DynamicInfo dyn;
    if (readDynamic(info, layout, &dyn)) {
        patchRelocations(info, layout, dyn, dyn.plt, dyn.pltSize);
        patchRelocations(info, layout, dyn, dyn.rela, dyn.relaSize);
    }
    return 0;
}

int loaderCountsCallback(dl_phdr_info *info, size_t, void *data)
{
    auto counts = static_cast<unsigned long long *>(data);
    counts[0] = info->dlpi_adds;
    counts[1] = info->dlpi_subs;
    return 1;
}

// Under g_patchLock.
void patchModules()
{
    unsigned long long counts[2] = {0, 0};
    dl_iterate_phdr(loaderCountsCallback, counts);
    if (!g_redirecting) {
        return;
    }
    if (counts[1] != g_patchedSubs) {
        // modules went away: forget their entries, an address may be reused
        size_t kept = 0;
        for (size_t i = 0; i < g_slotCount; ++i) {
            if (g_slots[i].slot) {
                g_slots[kept++] = g_slots[i];
            }
        }
        g_slotCount = kept;
    }
    dl_iterate_phdr(patchCallback, nullptr);
    g_patchedAdds = counts[0];
    g_patchedSubs = counts[1];
}

// Under g_patchLock.
void restoreModules()
{
    g_redirecting = false;
    int marker = 1;
    dl_iterate_phdr(patchCallback, &marker);
    g_slotCount = 0;
}

// Modules that came without our dlopen (a caller whose search path we could
// not stand in for, dlmopen, the loader's own dependencies) are found by
// their loader counters, looked at once per 10 ms of activity.
void checkForNewModules()
{
    if (!g_moduleCheckDue.exchange(false, std::memory_order_relaxed)) {
        return;
    }
    unsigned long long counts[2] = {0, 0};
    dl_iterate_phdr(loaderCountsCallback, counts);
    // another thread patching (or waiting for the loader) does it
    if (!g_patchLock.tryLock()) {
        return;
    }
    if (counts[0] != g_patchedAdds || counts[1] != g_patchedSubs) {
        patchModules();
    }
    g_patchLock.unlock();
}

struct ImportScan {
    const char *name;
    bool imports;
};

bool importsIn(const DynamicInfo &dyn, const ElfW(Rela) * relocations, size_t bytes, const char *name)
{
    const size_t count = relocations ? bytes / sizeof(ElfW(Rela)) : 0;
    for (size_t r = 0; r < count; ++r) {
        const auto type = ELF64_R_TYPE(relocations[r].r_info);
        const auto index = ELF64_R_SYM(relocations[r].r_info);
        if ((type != R_X86_64_JUMP_SLOT && type != R_X86_64_GLOB_DAT) || index == 0) {
            continue;
        }
        const ElfW(Sym) &sym = dyn.symbols[index];
        if (sym.st_shndx == SHN_UNDEF && sym.st_value != 0 && sym.st_name < dyn.stringsSize && strcmp(dyn.strings + sym.st_name, name) == 0) {
            return true;
        }
    }
    return false;
}

// the executable comes first
int executableImportsCallback(dl_phdr_info *info, size_t, void *data)
{
    auto scan = static_cast<ImportScan *>(data);
    const ModuleLayout layout(info);
    DynamicInfo dyn;
    if (readDynamic(info, layout, &dyn)) {
        scan->imports = importsIn(dyn, dyn.plt, dyn.pltSize, scan->name) || importsIn(dyn, dyn.rela, dyn.relaSize, scan->name);
    }
    return 1;
}

// The function the modules' PLT entries are bound to. A non-PIE executable
// that takes the address of malloc has a PLT entry standing for it, and
// dlsym returns that: calling it would come back through the executable's
// own redirected entry. The definition is then the first library's in
// loading order.
void *definitionOf(const char *name)
{
    void *address = dlsym(RTLD_DEFAULT, name);
    ImportScan scan{name, false};
    dl_iterate_phdr(executableImportsCallback, &scan);
    if (!address || !scan.imports) {
        return address;
    }
    using CloseFn = int (*)(void *);
    auto close = reinterpret_cast<CloseFn>(dlsym(RTLD_DEFAULT, "dlclose"));
    auto executable = static_cast<link_map *>(dlopen(nullptr, RTLD_LAZY | RTLD_NOLOAD));
    Dl_info own{};
    Dl_info stub{};
    dladdr(reinterpret_cast<void *>(&definitionOf), &own);
    dladdr(address, &stub);
    for (link_map *module = executable ? executable->l_next : nullptr; module; module = module->l_next) {
        if (!module->l_name || !*module->l_name) {
            continue;
        }
        void *handle = dlopen(module->l_name, RTLD_LAZY | RTLD_NOLOAD);
        if (!handle) {
            continue;
        }
        void *found = dlsym(handle, name);
        if (close) {
            close(handle);
        }
        Dl_info where{};
        if (found && dladdr(found, &where) && where.dli_fbase != own.dli_fbase && where.dli_fbase != stub.dli_fbase) {
            return found;
        }
    }
    return address;
}

void resolveGlobalFunctions()
{
    // the definitions the modules are bound to: the program's allocator,
    // whichever it is
    RealFunctions found{};
    auto global = [](auto &target, const char *name) {
        target = reinterpret_cast<std::remove_reference_t<decltype(target)>>(definitionOf(name));
    };
    global(found.malloc, "malloc");
    global(found.free, "free");
    global(found.calloc, "calloc");
    global(found.realloc, "realloc");
    global(found.posix_memalign, "posix_memalign");
    global(found.aligned_alloc, "aligned_alloc");
    global(found.memalign, "memalign");
    global(found.valloc, "valloc");
    global(found.pvalloc, "pvalloc");
    global(found.dlclose, "dlclose");
    real = found;
    g_realState.store(2, std::memory_order_release);
}

void addRedirect(const char *name, const void *replacement, const void *realFunction)
{
    if (realFunction && g_redirectCount < MaxRedirects) {
        g_redirects[g_redirectCount++] = {name, reinterpret_cast<uintptr_t>(replacement), reinterpret_cast<uintptr_t>(realFunction)};
    }
}

// Ends an attached recording from any thread: the redirections are undone
// first, so that the stop record is the last thing in the ring.
void detach(uint32_t reason, const char *message)
{
    g_patchLock.lock();
    restoreModules();
    g_patchLock.unlock();
    Guard guard;
    g_ringLock.lock();
    if (g_state.load(std::memory_order_acquire) == Recording) {
        uint8_t record[1 + 2 * MaxVarint + 128];
        record[0] = RecordStopped;
        uint8_t *p = putVarint(record + 1, reason);
        p = putBytes(p, message, strnlen(message, 128));
        Preamble preamble;
        appendLocked(preamble, record, size_t(p - record));
        g_state.store(Disabled, std::memory_order_release);
    }
    if (g_ring) {
        g_ring->state.store(RingStopped, std::memory_order_release);
        munmap(g_ring, g_ringMapSize);
        g_ring = nullptr;
        g_ringData = nullptr;
    }
    g_ringLock.unlock();
    closeOwnSocket();
}

// Waits in the target for the launcher to ask for the end, or to die.
void *controlThread(void *)
{
    Guard guard;
    auto control = &g_ring->control;
    for (;;) {
        timespec timeout{0, 100 * 1000 * 1000};
        // a shared futex: the word lives in the launcher's mapping too
        syscall(SYS_futex, reinterpret_cast<uint32_t *>(control), FUTEX_WAIT, uint32_t(ControlNone), &timeout, nullptr, 0);
        if (control->load(std::memory_order_acquire) != ControlNone) {
            detach(StopDetached, "");
            break;
        }
        if (g_state.load(std::memory_order_acquire) != Recording) {
            // stopped on its own (an error): the program keeps no redirection
            detach(StopError, "");
            break;
        }
        if (launcherGone()) {
            detach(StopError, "the launcher is gone");
            break;
        }
    }
    return nullptr;
}

void resetModuleTable()
{
    g_moduleLock.lock();
    for (int i = 0; i < g_moduleCount; ++i) {
        real.free(g_modules[i].record);
    }
    g_moduleCount = 0;
    g_scannedOnce = false;
    publishRanges();
    g_moduleGeneration.fetch_add(1, std::memory_order_release);
    g_moduleLock.unlock();
}

int attach(const char *socketPath, int launcherPid)
{
    int state = g_state.load(std::memory_order_acquire);
    if (state == Recording) {
        setAttachError("this process is already being recorded");
        return AttachAlreadyRecording;
    }
    if ((state != Disabled && state != Uninitialized) || !g_state.compare_exchange_strong(state, Attaching, std::memory_order_acq_rel)) {
        setAttachError("another memloupe is attaching to this process right now");
        return AttachBusy;
    }
    Guard guard;
    auto fail = [](const char *a, const char *b = "") {
        setAttachError(a, b);
        g_state.store(Disabled, std::memory_order_release);
        return int(AttachFailed);
    };
    if (!socketPath || strlen(socketPath) >= sizeof(g_socketPath)) {
        return fail("the socket path is too long");
    }
    if (g_attachedImage && g_redirectCount == 0) {
        resolveGlobalFunctions();
        if (!real.malloc || !real.free || !real.calloc || !real.realloc) {
            return fail("the allocation functions of the program were not found");
        }
    } else if (!resolveReal()) {
        return fail("the allocation functions of the program were not found");
    }
    std::memcpy(g_socketPath, socketPath, strlen(socketPath) + 1);
    g_launcherPid = launcherPid;
    g_recordChildren = false;
    if (!g_firstAttach) {
        g_streamGeneration.fetch_add(1, std::memory_order_relaxed);
        g_nextThread.store(1, std::memory_order_relaxed);
    }
    g_firstAttach = false;
    resetModuleTable();
    const char *error = "";
    if (!openStream(HelloAttached, &error)) {
        return fail(error);
    }
    if (!g_threadKeyValid) {
        g_threadKeyValid = pthread_key_create(&g_threadKey, threadEnded) == 0;
    }
    if (!g_atforkRegistered) {
        g_atforkRegistered = pthread_atfork(atforkPrepare, atforkParent, atforkChild) == 0;
    }
    g_state.store(Recording, std::memory_order_release);
    appendResidentSetSize();
    if (!g_unwinderLoaded) {
        loadUnwinder();
        g_findObject = reinterpret_cast<FindObjectFn>(dlsym(RTLD_DEFAULT, "_dl_find_object"));
        g_unwinderLoaded = true;
    }
    rescanModules(false);
    g_stacksReady.store(true, std::memory_order_release);
    sendSuppressions();

    if (g_attachedImage && g_redirectCount == 0) {
        addRedirect("malloc", reinterpret_cast<const void *>(&malloc), reinterpret_cast<const void *>(real.malloc));
        addRedirect("free", reinterpret_cast<const void *>(&free), reinterpret_cast<const void *>(real.free));
        addRedirect("calloc", reinterpret_cast<const void *>(&calloc), reinterpret_cast<const void *>(real.calloc));
        addRedirect("realloc", reinterpret_cast<const void *>(&realloc), reinterpret_cast<const void *>(real.realloc));
        addRedirect("reallocarray", reinterpret_cast<const void *>(&reallocarray), definitionOf("reallocarray"));
        addRedirect("posix_memalign", reinterpret_cast<const void *>(&posix_memalign), reinterpret_cast<const void *>(real.posix_memalign));
        addRedirect("aligned_alloc", reinterpret_cast<const void *>(&aligned_alloc), reinterpret_cast<const void *>(real.aligned_alloc));
        addRedirect("memalign", reinterpret_cast<const void *>(&memalign), reinterpret_cast<const void *>(real.memalign));
        addRedirect("valloc", reinterpret_cast<const void *>(&valloc), reinterpret_cast<const void *>(real.valloc));
        addRedirect("pvalloc", reinterpret_cast<const void *>(&pvalloc), reinterpret_cast<const void *>(real.pvalloc));
        addRedirect("dlclose", reinterpret_cast<const void *>(&dlclose), reinterpret_cast<const void *>(real.dlclose));
        memloupe_real_dlopen = reinterpret_cast<DlopenFn>(definitionOf("dlopen"));
#if defined(__x86_64__)
        addRedirect("dlopen", reinterpret_cast<const void *>(&memloupe_dlopen_hook), reinterpret_cast<const void *>(memloupe_real_dlopen));
#endif
    }
    g_patchLock.lock();
    g_redirecting = true;
    patchModules();
    g_patchLock.unlock();

    // the control thread takes no signal meant for the program
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int created = pthread_create(&g_controlThread, nullptr, controlThread, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (created != 0) {
        detach(StopError, "cannot start the recorder's thread");
        setAttachError("cannot start the recorder's thread in the process");
        return AttachFailed;
    }
    pthread_detach(g_controlThread);
    return AttachStarted;
}

// Whether calling the real dlopen from here finds what it would find for
// the caller: the loader searches the caller's RPATH and RUNPATH and expands
// $ORIGIN relative to it (this library has neither), and loads into the
// caller's namespace.
bool callerNeutral(const char *file, const void *caller)
{
    if (!file) {
        return true;
    }
    if (strchr(file, '$')) {
        return false;
    }
    if (strchr(file, '/')) {
        // still the caller's namespace
    }
    if (!g_findObject) {
        return false;
    }
    dl_find_object found;
    if (g_findObject(const_cast<void *>(caller), &found) != 0 || !found.dlfo_link_map) {
        return false;
    }
    Lmid_t namespaceId = LM_ID_BASE;
    if (dlinfo(found.dlfo_link_map, RTLD_DI_LMID, &namespaceId) != 0 || namespaceId != LM_ID_BASE) {
        return false;
    }
    if (strchr(file, '/')) {
        return true;
    }
    for (const ElfW(Dyn) *d = found.dlfo_link_map->l_ld; d && d->d_tag != DT_NULL; ++d) {
        if (d->d_tag == DT_RPATH || d->d_tag == DT_RUNPATH) {
            return false;
        }
    }
    return true;
}

inline bool recording()
{
    const int state = g_state.load(std::memory_order_acquire);
    if (LIKELY(state == Recording)) {
        return t_guard == 0;
    }
    // while another thread starts, wait for it rather than lose the event
    if ((state == Uninitialized || state == Starting) && t_guard == 0) {
        start(nullptr);
        return g_state.load(std::memory_order_acquire) == Recording;
    }
    return false;
}

__attribute__((constructor(101))) void memloupeInit(int, char **, char **envp)
{
    // Preloaded, the program's calls bind to our malloc; dlopened by
    // `memloupe --pid`, nothing does until memloupe_attach redirects them.
    if (dlsym(RTLD_DEFAULT, "malloc") != reinterpret_cast<void *>(&malloc)) {
        g_attachedImage = true;
        g_state.store(Disabled, std::memory_order_release);
        return;
    }
    if (!resolveReal()) {
        return;
    }
    if (g_state.load(std::memory_order_acquire) == Uninitialized) {
        start(envp);
    }
    if (g_state.load(std::memory_order_acquire) == Recording) {
        prepareStacks();
    }
}

// Threads and exit-time destructors still allocate after this: recording
// goes on, the launcher sees the end when the process is gone.
__attribute__((destructor(101))) void memloupeFini()
{
    if (g_state.load(std::memory_order_acquire) != Recording) {
        return;
    }
    Guard guard;
    Preamble preamble;
    if (preamble.rss < 0) {
        preamble.rss = residentPages();
    }
    g_ringLock.lock();
    appendLocked(preamble, nullptr, 0);
    g_ringLock.unlock();
}

void *reallocImpl(void *old, size_t size)
{
    if (UNLIKELY(!real.realloc) && !resolveReal()) {
        void *block = arenaAlloc(size);
        if (block && old) {
            const size_t oldSize = arenaBlockSize(old);
            std::memcpy(block, old, oldSize < size ? oldSize : size);
        }
        return block;
    }
    if (UNLIKELY(old && inArena(old))) {
        const size_t oldSize = arenaBlockSize(old);
        void *block = malloc(size ? size : 1);
        if (block) {
            std::memcpy(block, old, oldSize < size ? oldSize : size);
        }
        return block;
    }
    if (!recording()) {
        return real.realloc(old, size);
    }
    Guard guard;
    TakenStack taken;
    if (size) {
        const int savedErrno = errno;
        taken = takeEventStack();
        errno = savedErrno;
    }
    Preamble preamble;
    uint8_t freeRecord[1 + MaxVarint];
    // The lock is held across the real realloc so that no other thread's
    // event on either address lands between the block going away and ours
    // being appended. The real realloc never enters these hooks, so it
    // cannot come back for the lock; the guard sends anything a signal
    // handler allocates meanwhile straight to the real functions.
    g_ringLock.lock();
    void *block = real.realloc(old, size);
    const int savedErrno = errno;
    if (block || (old && size == 0)) {
        // realloc(p, 0) frees p and returns NULL on glibc; NULL with a size
        // is a failure that left p alone
        size_t length = 0;
        uint8_t *event = nullptr;
        if (old) {
            length = encodeDeallocation(freeRecord, old);
            event = freeRecord;
        }
        if (block && taken.ts) {
            const size_t allocLength = encodeAllocation(taken.ts, taken.frames, taken.count, block, size);
            if (old) {
                // the deallocation goes in front of the allocation in scratch
                std::memmove(taken.ts->scratch + length, taken.ts->scratch, allocLength);
                std::memcpy(taken.ts->scratch, freeRecord, length);
            }
            length += allocLength;
            event = taken.ts->scratch;
        }
        if (event) {
            appendLocked(preamble, event, length);
        }
    }
    g_ringLock.unlock();
    if (UNLIKELY(g_moduleCheckDue.load(std::memory_order_relaxed))) {
        checkForNewModules();
    }
    errno = savedErrno;
    return block;
}

} // namespace

// ---------------------------------------------------------------------------
// Interposed functions

MEMLOUPE_EXPORT void *malloc(size_t size) noexcept
{
    if (UNLIKELY(!real.malloc) && !resolveReal()) {
        return arenaAlloc(size);
    }
    void *block = real.malloc(size);
    if (block && recording()) {
        recordAllocation(block, size);
    }
    return block;
}

MEMLOUPE_EXPORT void free(void *block) noexcept
{
    if (!block || UNLIKELY(inArena(block))) {
        return;
    }
    if (UNLIKELY(!real.free) && !resolveReal()) {
        return;
    }
    if (recording()) {
        const int savedErrno = errno;
        Guard guard;
        uint8_t record[1 + MaxVarint];
        // before the real free: the address may be handed out again at once
        append(record, encodeDeallocation(record, block));
        real.free(block);
        if (UNLIKELY(g_moduleCheckDue.load(std::memory_order_relaxed))) {
            checkForNewModules();
        }
        errno = savedErrno;
        return;
    }
    real.free(block);
}

MEMLOUPE_EXPORT void *calloc(size_t count, size_t size) noexcept
{
    if (UNLIKELY(!real.calloc) && !resolveReal()) {
        size_t total;
        if (__builtin_mul_overflow(count, size, &total)) {
            return nullptr;
        }
        return arenaAlloc(total); // static memory is zeroed
    }
    void *block = real.calloc(count, size);
    if (block && recording()) {
        recordAllocation(block, count * size);
    }
    return block;
}

MEMLOUPE_EXPORT void *realloc(void *block, size_t size) noexcept
{
    return reallocImpl(block, size);
}

MEMLOUPE_EXPORT void *reallocarray(void *block, size_t count, size_t size) noexcept
{
    size_t total;
    if (__builtin_mul_overflow(count, size, &total)) {
        errno = ENOMEM;
        return nullptr;
    }
    return reallocImpl(block, total);
}

MEMLOUPE_EXPORT int posix_memalign(void **out, size_t alignment, size_t size) noexcept
{
    if (UNLIKELY(!real.posix_memalign) && !resolveReal()) {
        *out = arenaAlloc(size, alignment);
        return *out ? 0 : ENOMEM;
    }
    const int result = real.posix_memalign(out, alignment, size);
    if (result == 0 && recording()) {
        recordAllocation(*out, size);
    }
    return result;
}

MEMLOUPE_EXPORT void *aligned_alloc(size_t alignment, size_t size) noexcept
{
    if (UNLIKELY(!real.aligned_alloc) && !resolveReal()) {
        return arenaAlloc(size, alignment);
    }
    void *block = real.aligned_alloc(alignment, size);
    if (block && recording()) {
        recordAllocation(block, size);
    }
    return block;
}

MEMLOUPE_EXPORT void *memalign(size_t alignment, size_t size) noexcept
{
    if (UNLIKELY(!real.memalign) && !resolveReal()) {
        return arenaAlloc(size, alignment);
    }
    void *block = real.memalign(alignment, size);
    if (block && recording()) {
        recordAllocation(block, size);
    }
    return block;
}

MEMLOUPE_EXPORT void *valloc(size_t size) noexcept
{
    if (UNLIKELY(!real.valloc) && !resolveReal()) {
        return arenaAlloc(size, 4096);
    }
    void *block = real.valloc(size);
    if (block && recording()) {
        recordAllocation(block, size);
    }
    return block;
}

MEMLOUPE_EXPORT void *pvalloc(size_t size) noexcept
{
    if (UNLIKELY(!real.pvalloc) && !resolveReal()) {
        return arenaAlloc(size, 4096);
    }
    void *block = real.pvalloc(size);
    if (block && recording()) {
        recordAllocation(block, size);
    }
    return block;
}

// After a module is closed its range may be reused by the next dlopen: the
// ring must say it is gone before any address there is seen again.
MEMLOUPE_EXPORT int dlclose(void *handle) noexcept
{
    if (UNLIKELY(!real.dlclose)) {
        resolveReal();
    }
    const int result = real.dlclose(handle);
    if (g_state.load(std::memory_order_acquire) == Recording && t_guard == 0 && g_stacksReady.load(std::memory_order_acquire)) {
        const int savedErrno = errno;
        Guard guard;
        rescanModules(true);
        errno = savedErrno;
    }
    return result;
}

// ---------------------------------------------------------------------------
// Attaching (see above attach())

MEMLOUPE_EXPORT int memloupe_attach(const char *socketPath, int launcherPid)
{
    const int savedErrno = errno;
    const int result = attach(socketPath, launcherPid);
    errno = savedErrno;
    return result;
}

MEMLOUPE_EXPORT const char *memloupe_attach_error()
{
    return g_attachError;
}

extern "C" __attribute__((visibility("hidden"))) int memloupe_dlopen_decide(const char *file, int, const void *caller)
{
    const int savedErrno = errno;
    const bool neutral = callerNeutral(file, caller);
    errno = savedErrno;
    return neutral ? 1 : 0;
}

// dlopen on behalf of a caller for whom it finds the same: the new modules
// are redirected before the program gets the handle.
extern "C" __attribute__((visibility("hidden"))) void *memloupe_dlopen_followed(const char *file, int mode)
{
    void *handle = memloupe_real_dlopen(file, mode);
    if (handle) {
        const int savedErrno = errno;
        g_patchLock.lock();
        patchModules();
        g_patchLock.unlock();
        errno = savedErrno;
    }
    return handle;
}

#if defined(__x86_64__)
// The loader takes the caller of dlopen from its return address. Where we
// cannot stand in for the caller, the real dlopen is entered by a jump, with
// the program's return address still on the stack; the module is then
// found by the loader counters a little later.
asm(R"(
    .text
    .p2align 4
    .globl memloupe_dlopen_hook
    .hidden memloupe_dlopen_hook
    .type memloupe_dlopen_hook, @function
memloupe_dlopen_hook:
    .cfi_startproc
    push %rdi
    .cfi_adjust_cfa_offset 8
    push %rsi
    .cfi_adjust_cfa_offset 8
    sub $8, %rsp
    .cfi_adjust_cfa_offset 8
    mov 24(%rsp), %rdx
    call memloupe_dlopen_decide
    add $8, %rsp
    .cfi_adjust_cfa_offset -8
    pop %rsi
    .cfi_adjust_cfa_offset -8
    pop %rdi
    .cfi_adjust_cfa_offset -8
    test %eax, %eax
    jnz 1f
    jmp *memloupe_real_dlopen(%rip)
1:
    jmp memloupe_dlopen_followed
    .cfi_endproc
    .size memloupe_dlopen_hook, .-memloupe_dlopen_hook
)");
#endif
