/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Putting jobs on ThreadWeaver's global queue, with the queue's ordering stated
    for ThreadSanitizer.
*/

#pragma once

#include <memory>
#include <utility>

#include <QCoreApplication>
#include <ThreadWeaver/ThreadWeaver>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#if defined(__SANITIZE_THREAD__)
#define MEMLOUPE_ANNOTATE_HANDOFFS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MEMLOUPE_ANNOTATE_HANDOFFS 1
#endif
#endif

#ifdef MEMLOUPE_ANNOTATE_HANDOFFS
extern "C" void __tsan_acquire(void *addr);
extern "C" void __tsan_release(void *addr);
extern "C" void AnnotateIgnoreWritesBegin(const char *file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char *file, int line);
#endif

namespace JobQueue
{
// ThreadWeaver's job queue and Qt's event queue order the run's threads through
// Qt's futex-based mutexes, which ThreadSanitizer cannot see in an uninstrumented
// Qt. These two state that ordering (and compile to nothing otherwise), so that
// the sanitizer checks the run's own data rather than every hand-over.
inline void handOff(void *token)
{
#ifdef MEMLOUPE_ANNOTATE_HANDOFFS
    __tsan_release(token);
#else
    Q_UNUSED(token)
#endif
}

inline void takeOver(void *token)
{
#ifdef MEMLOUPE_ANNOTATE_HANDOFFS
    __tsan_acquire(token);
#else
    Q_UNUSED(token)
#endif
}

// The global queue has one mutex: a job starts after everything queued before
// it, and is destroyed (on whichever thread lets go of it last) after it ran.
inline char s_queued;

// The analysis runs on the queue's workers beside the window's thread, often
// on two cores: the workers give way, so that the window's handling of one
// result is not preempted by the stages still running.
constexpr int WORKER_NICENESS = 5;

// Sets the nice value of the calling thread alone (Linux; elsewhere nothing).
inline void setThreadNiceness(int niceness)
{
#ifdef __linux__
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), niceness);
#else
    (void)niceness;
#endif
}

// once per worker thread
inline void lowerWorkerPriority()
{
    thread_local bool lowered = false;
    if (!lowered) {
        lowered = true;
        setThreadNiceness(WORKER_NICENESS);
    }
}

// A job body with the queue's ordering stated for the sanitizer (see s_queued).
template<typename Body>
class QueuedJob
{
public:
    explicit QueuedJob(Body body)
        : m_body(std::move(body))
    {
    }

    // Ordered after this job's own run only, not after every job that ran so
    // far: a token shared by all jobs would let whichever thread destroys a
    // copy (makeJob's temporaries die on the queueing thread) appear to have
    // waited for every job, hiding races between their bodies and that thread.
    ~QueuedJob()
    {
        takeOver(this);
    }

    QueuedJob(const QueuedJob &) = default;
    QueuedJob &operator=(const QueuedJob &) = delete;

    void operator()()
    {
        takeOver(&s_queued);
        lowerWorkerPriority();
        m_body();
        handOff(this);
    }

private:
    Body m_body;
};

// Qt's copy of what a queued call carries to another thread (a signal's
// arguments, or the functor given to QMetaObject::invokeMethod) is written on
// the sending thread after any handOff before it, and read by the receiving
// thread only after Qt's posted-event mutex. The sanitizer is told to skip
// the writes inside this scope, so that the receiver's reads of that copy are
// not taken for races; wrap the queued call itself and nothing else.
class QueuedCopyScope
{
public:
    QueuedCopyScope()
    {
#ifdef MEMLOUPE_ANNOTATE_HANDOFFS
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
    }
    ~QueuedCopyScope()
    {
#ifdef MEMLOUPE_ANNOTATE_HANDOFFS
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
#endif
    }
    QueuedCopyScope(const QueuedCopyScope &) = delete;
    QueuedCopyScope &operator=(const QueuedCopyScope &) = delete;
};

// The job's shared-pointer block (its deleter among it) is written here and
// read by whichever worker drops the last reference, which can be one that
// only ran ThreadWeaver's collection bookkeeping and none of the job bodies
// that state the queue's order: the two meet only under ThreadWeaver's own
// mutex, which the sanitizer does not see. The body itself is still ordered
// by QueuedJob before it runs and before it is destroyed.
template<typename Body>
ThreadWeaver::JobPointer makeJob(Body body)
{
    const QueuedCopyScope scope;
    return ThreadWeaver::make_job(QueuedJob<Body>(std::move(body)));
}

inline void queueJob(const ThreadWeaver::JobPointer &job)
{
    handOff(&s_queued);
    ThreadWeaver::stream() << job;
}

// Lets go of @p data on one of the queue's workers. The results of a big
// trace hold a million tree rows or hundreds of thousands of hash nodes, and
// freeing them when a reparse or another file replaces them took the window's
// thread a fifth of a second. Whatever the caller still shares of @p data is
// only counted down there; the last holder frees it.
template<typename T>
void releaseOnWorker(T data)
{
    // without an application there is no queue to wait for at exit
    if (!QCoreApplication::instance()) {
        return;
    }
    // Moved into the job, not copied: a copy left here would be the last one
    // whenever the job runs before this returns, and free it on this thread.
    // The job's own copies die before it is queued.
    auto held = std::make_shared<T>(std::move(data));
    queueJob(makeJob([held = std::move(held)]() mutable {
        held.reset();
    }));
}
}
