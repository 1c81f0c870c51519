/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Putting jobs on ThreadWeaver's global queue, with the queue's ordering stated
    for ThreadSanitizer.
*/

#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

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

// Frees what the window lets go of, on a thread of its own: the results of a
// big trace hold a million tree rows or hundreds of thousands of hash nodes,
// and freeing them when a reparse or another file replaced them took the
// window's thread a fifth of a second. Not a job on the queue: its ordering is
// through Qt's mutexes, which the sanitizer cannot see, and a job per release
// would put the queue's bookkeeping on the window's thread.
class Releaser
{
public:
    static Releaser &instance()
    {
        static Releaser releaser;
        return releaser;
    }

    void release(std::shared_ptr<void> held)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_thread.joinable()) {
            try {
                m_thread = std::thread([this]() {
                    run();
                });
            } catch (const std::system_error &) {
                // no thread to be had: freed here after all
                lock.unlock();
                return;
            }
        }
        m_pending.push_back(std::move(held));
        lock.unlock();
        m_wake.notify_one();
    }

    ~Releaser()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    Releaser() = default;

    void run()
    {
        setThreadNiceness(WORKER_NICENESS);
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this]() {
                return m_stopping || !m_pending.empty();
            });
            if (m_pending.empty()) {
                return;
            }
            auto batch = std::move(m_pending);
            m_pending.clear();
            lock.unlock();
            batch.clear();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<std::shared_ptr<void>> m_pending;
    bool m_stopping = false;
    std::thread m_thread;
};

// Lets go of @p data on the releaser's thread. Whatever the caller still
// shares of it is only counted down there; the last holder frees it.
template<typename T>
void releaseInBackground(T data)
{
    // moved, not copied: no copy is left here to be the last one
    Releaser::instance().release(std::make_shared<T>(std::move(data)));
}
}
