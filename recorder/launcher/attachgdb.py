# SPDX-FileCopyrightText: 2026 memloupe developers
# SPDX-License-Identifier: GPL-2.0-or-later
#
# Run by `memloupe --pid` as `gdb -batch -nx -x THIS`: loads the preload
# library into a running process and starts recording there. Parameters come
# in the environment (MEMLOUPE_ATTACH_*); results are printed as
# "memloupe-attach: KEY VALUE" lines for the launcher.
#
# The call runs in one of the target's threads, wherever gdb stopped it. A
# thread stopped inside the allocator, the dynamic loader, fork or thread
# creation holds locks that dlopen needs, and would wait for itself: such a
# thread is never used. When every thread is in such a place the process is
# let go for a moment and stopped again.

import os
import time

import gdb

PID = int(os.environ["MEMLOUPE_ATTACH_PID"])
LIBRARY = os.environ["MEMLOUPE_ATTACH_LIBRARY"]
SOCKET = os.environ["MEMLOUPE_ATTACH_SOCKET"]
LAUNCHER = int(os.environ["MEMLOUPE_ATTACH_LAUNCHER"])
ATTEMPTS = 100
RTLD_NOW = 2

# Function names (leading underscores and glibc's "__GI_" taken off) of the
# C library and the C++ runtime whose callers may hold the allocator's, the
# loader's or the thread list's locks.
SYSTEM_UNSAFE_PREFIXES = (
    "malloc", "free", "calloc", "realloc", "posix_memalign", "aligned_alloc", "memalign", "valloc", "pvalloc",
    "cfree", "mallinfo", "mallopt", "int_", "libc_malloc", "libc_free", "libc_calloc", "libc_realloc",
    "libc_memalign", "libc_valloc", "libc_pvalloc", "libc_fork", "libc_dl", "libc_system", "libc_thread_freeres",
    "sysmalloc", "systrim", "mtrim", "arena_", "tcache", "ptmalloc", "new_heap", "dl", "Fork", "fork", "vfork",
    "spawn", "posix_spawn", "system", "do_system", "pthread_create", "pthread_exit", "run_exit_handlers", "exit",
    "cxa_", "gxx_", "Unwind_", "unw_", "backtrace", "tls_get_addr", "operator new", "operator delete",
)
SYSTEM_MODULES = ("/libc.so", "/libc-", "/libpthread", "/libdl", "/libunwind", "/libgcc_s", "/libstdc++")


def say(key, value=""):
    print("memloupe-attach: %s %s" % (key, value), flush=True)


def frame_is_unsafe(frame):
    module = gdb.solib_name(frame.pc()) or ""
    # the loader's code, and our own (a re-attach while a thread is in a hook)
    if "/ld-linux" in module or "/ld-" in module or "/libmemloupe_preload" in module:
        return True
    system = any(part in module for part in SYSTEM_MODULES)
    name = frame.name() or ""
    if not name:
        return system
    bare = name.split("(")[0].replace("__GI_", "").lstrip("_")
    if bare.startswith(("operator new", "operator delete")):
        return True
    return system and bare.startswith(SYSTEM_UNSAFE_PREFIXES)


def thread_is_safe(thread):
    thread.switch()
    try:
        frame = gdb.newest_frame()
        depth = 0
        while frame is not None and depth < 100:
            if frame_is_unsafe(frame):
                return False
            frame = frame.older()
            depth += 1
    except gdb.error:
        return False
    return True


def safe_thread():
    inferior = gdb.selected_inferior()
    threads = sorted(inferior.threads(), key=lambda t: t.num)
    for thread in threads:
        if thread.is_valid() and thread_is_safe(thread):
            return thread
    return None


def call(expression):
    return gdb.parse_and_eval(expression)


def write_strings(*texts):
    """One block in the target holding the texts, NUL-terminated; their addresses."""
    data = b"".join(text.encode() + b"\0" for text in texts)
    block = int(call("((void *(*)(unsigned long)) malloc)(%d)" % len(data)))
    if not block:
        return None, []
    gdb.selected_inferior().write_memory(block, data)
    addresses = []
    offset = 0
    for text in texts:
        addresses.append(block + offset)
        offset += len(text.encode()) + 1
    return block, addresses


def read_string(address):
    if not address:
        return ""
    return gdb.selected_inferior().read_memory(address, 512).tobytes().split(b"\0")[0].decode(errors="replace")


def inject():
    block, (library, socket, attach_name, error_name) = write_strings(LIBRARY, SOCKET, "memloupe_attach",
                                                                     "memloupe_attach_error")
    if block is None:
        say("error", "cannot allocate in the process")
        return
    try:
        handle = int(call("((void *(*)(const char *, int)) dlopen)((const char *) %d, %d)" % (library, RTLD_NOW)))
        if not handle:
            message = read_string(int(call("((char *(*)(void)) dlerror)()")))
            say("error", "dlopen of the recorder failed: " + message)
            return
        attach = int(call("((void *(*)(void *, const char *)) dlsym)((void *) %d, (const char *) %d)" % (handle, attach_name)))
        error = int(call("((void *(*)(void *, const char *)) dlsym)((void *) %d, (const char *) %d)" % (handle, error_name)))
        if not attach or not error:
            say("error", "the library has no memloupe_attach: " + LIBRARY)
            return
        result = int(call("((int (*)(const char *, int)) %d)((const char *) %d, %d)" % (attach, socket, LAUNCHER)))
        say("result", result)
        if result != 0:
            say("message", read_string(int(call("((const char *(*)(void)) %d)()" % error))))
    finally:
        call("((void (*)(void *)) free)((void *) %d)" % block)


def main():
    for command in ("set pagination off", "set confirm off", "set width 0", "set unwindonsignal on",
                    "set print thread-events off", "set print inferior-events off"):
        gdb.execute(command)
    for attempt in range(ATTEMPTS):
        try:
            gdb.execute("attach %d" % PID, to_string=True)
        except gdb.error as failure:
            say("attach-failed", str(failure))
            return
        # signals the program gets meanwhile are its own business; the other
        # threads run during the calls, so that a lock one of them holds is let go
        gdb.execute("handle all nostop noprint pass", to_string=True)
        gdb.execute("set scheduler-locking off", to_string=True)
        thread = safe_thread()
        if thread is not None:
            thread.switch()
            try:
                inject()
            except gdb.error as failure:
                say("error", str(failure))
            gdb.execute("detach", to_string=True)
            return
        gdb.execute("detach", to_string=True)
        time.sleep(0.01 + 0.002 * attempt)
    say("error", "every thread of the process stayed busy in the allocator or the dynamic loader")


main()
