/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    What the preload library inside a recorded process and the `memloupe`
    launcher, which turns the raw events into a trace file, say to each other.

    Data path: every recorded process image creates a ring buffer in a memfd,
    maps it shared, and hands the memfd over the launcher's Unix socket with its
    hello message (SCM_RIGHTS). From then on events go only into the ring: no
    system call per event, nothing lost when the program closes every file
    descriptor, crashes or is killed with SIGKILL, because the launcher still
    maps the ring and drains what was written. The socket stays open only so
    that the launcher sees EOF when the image goes away (exit, exec, death);
    EOF alone does not end a stream (the program may just have closed our
    descriptor): the stream ends when its process is gone (no such pid, or a
    zombie), or when a new hello arrives for the same pid (an exec).

    Byte order and layout are those of the machine: both ends are built
    together and run on one host.

    Everything here is plain C++ usable from the preload library, which must
    not allocate through the program's malloc, so no std::string or vector.
*/

#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace MemloupeProtocol
{

// Environment of a recorded program, set by the launcher.
constexpr const char *SocketEnv = "MEMLOUPE_SOCKET"; // path of the launcher's Unix socket
constexpr const char *PidEnv = "MEMLOUPE_PID"; // pid of the program the launcher started
constexpr const char *RecordChildrenEnv = "MEMLOUPE_RECORD_CHILDREN"; // "1": record every process
constexpr const char *LauncherPidEnv = "MEMLOUPE_LAUNCHER_PID"; // to notice a launcher that died
constexpr const char *PreloadEnv = "LD_PRELOAD";

constexpr uint32_t Version = 1;

// Sent once per process image on a fresh connection, as one sendmsg() whose
// ancillary data carries the ring's memfd. Followed in the same message by
// exeLength bytes of the executable's path (readlink of /proc/self/exe) and
// cmdlineLength bytes of /proc/self/cmdline (arguments separated by NUL).
struct Hello {
    char magic[8]; // HelloMagic
    uint32_t version; // Version
    int32_t pid;
    int32_t ppid;
    uint32_t flags; // HelloFlags
    int64_t pageSize; // sysconf(_SC_PAGESIZE)
    int64_t physicalPages; // sysconf(_SC_PHYS_PAGES)
    uint32_t exeLength;
    uint32_t cmdlineLength;
};
constexpr char HelloMagic[8] = {'M', 'L', 'H', 'E', 'L', 'L', 'O', '1'};

enum HelloFlags : uint32_t {
    HelloForkedChild = 1, // the image started as a fork of a recorded process
    HelloAttached = 2, // recording started in a running process (`memloupe --pid`): an `A` record
};

// The ring: a RingHeader at offset 0 of the memfd, the data area at offset
// RingDataOffset, RingHeader::capacity bytes (a power of two). `head` and
// `tail` count bytes ever written / consumed; the byte at logical position p
// lives at data[p & (capacity - 1)]. Records may wrap around the end.
//
// The writer appends whole records under its lock and publishes them with one
// release store of `head`: a record the reader sees is complete. When fewer
// than the record's bytes are free (capacity - (head - tail)), the writer waits
// for the reader; it never drops an event while the launcher lives.
constexpr uint64_t RingMagic = 0x31474e49524c4d4cull; // "LMLRING1"
constexpr size_t RingDataOffset = 4096;
constexpr uint64_t DefaultRingCapacity = uint64_t(8) << 20;

struct RingHeader {
    uint64_t magic; // RingMagic
    uint32_t version; // Version
    uint32_t reserved;
    uint64_t capacity;
    alignas(64) std::atomic<uint64_t> head; // written by the process (release)
    alignas(64) std::atomic<uint64_t> tail; // written by the launcher (release)
    // Set by the process when it stops recording for good (RingState); the
    // reader drains what is left and ends the stream.
    alignas(64) std::atomic<uint32_t> state;
    // Set by the launcher of an attached process (RingControl), with a
    // shared futex wake: the recorder switches itself off and undoes its
    // redirections, then writes StopDetached and RingStopped.
    alignas(64) std::atomic<uint32_t> control;
};
static_assert(sizeof(RingHeader) <= RingDataOffset, "ring header must fit before the data");

enum RingState : uint32_t {
    RingRecording = 0,
    RingStopped = 1,
};

enum RingControl : uint32_t {
    ControlNone = 0,
    ControlDetach = 1,
};

// Exported by the preload library for `memloupe --pid`, which has gdb load
// the library into the target and call it there. Returns AttachResult; on
// failure AttachErrorFunction returns a message.
constexpr const char *AttachFunction = "memloupe_attach"; // int (const char *socketPath, int launcherPid)
constexpr const char *AttachErrorFunction = "memloupe_attach_error"; // const char *()

enum AttachResult : int {
    AttachStarted = 0,
    AttachAlreadyRecording = 1,
    AttachBusy = 2, // another attach is starting right now
    AttachFailed = 3,
};

// Records in the ring: one type byte, then fields as unsigned LEB128 varints
// (7 bits per byte, low bits first, high bit set on every byte but the last).
// "bytes" fields are a varint length followed by that many bytes.
enum RecordType : uint8_t {
    // A module became visible (start, dlopen): id (varint, never reused within
    // a stream), load bias (dlpi_addr), segment count, then per PT_LOAD
    // segment its absolute start address and size, then path (bytes; the
    // executable's real path, not ""), then GNU build id (bytes, raw, may be
    // empty). Always written before the first event with an address in it.
    RecordModule = 'm',
    // A module went away (dlclose): id. Addresses seen later in its range
    // belong to whatever module is mapped there then.
    RecordModuleGone = 'u',
    // An allocation: thread (varint, per-process thread number from 1), size,
    // block address, keep, count, then count return addresses. The call stack
    // innermost first is the count new addresses followed by the outermost
    // `keep` addresses of the same thread's previous stack (the previous
    // record of this thread that carried a stack). Return addresses are as
    // the unwinder gives them (the launcher subtracts 1 to find the call);
    // the recorder's own frames are already removed.
    RecordAllocation = '+',
    // A deallocation: block address. Written before the memory is given back,
    // so that a later allocation at the same address comes after it.
    RecordDeallocation = '-',
    // Time passed: milliseconds since the image started recording; written
    // when the millisecond changes, before the next event; strictly ascending.
    RecordTime = 'c',
    // Resident set size in pages (/proc/self/statm, second field).
    RecordResidentSetSize = 'r',
    // A thread ended: thread number (its previous stack can be forgotten).
    RecordThreadEnd = 'e',
    // The text returned by the program's __lsan_default_suppressions (bytes).
    RecordSuppressions = 's',
    // Recording stopped for good: reason (RingState-independent code, see
    // StopReason), then a message (bytes, may be empty).
    RecordStopped = 'x',
};

enum StopReason : uint32_t {
    StopExit = 0, // the image is exiting (also written by _exit wrappers)
    StopError = 1, // an unrecoverable recorder problem; the message says which
    StopDetached = 2, // recording switched off in a running process (detach)
};

}
