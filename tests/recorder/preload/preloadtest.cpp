/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

// Runs the test program under the real preload library, takes its hello and
// ring like the launcher does, decodes every record and checks the events.

#include "ringreader.h"

#include <QTest>

#include <algorithm>
#include <cinttypes>
#include <fstream>
#include <map>
#include <set>

using namespace MemloupeProtocol;
using namespace PreloadRing;

namespace
{

struct Segment {
    uint64_t start;
    uint64_t size;
};

struct ModuleInfo {
    uint64_t bias = 0;
    std::vector<Segment> segments;
    std::string path;
    std::string buildId;
    bool gone = false;
};

struct Event {
    char type = 0; // '+' or '-'
    uint64_t thread = 0;
    uint64_t size = 0;
    uint64_t address = 0;
    std::vector<uint64_t> stack; // innermost first, with the kept frames
};

// The whole stream decoded; every structural problem lands in `errors`.
struct Decoded {
    std::map<uint64_t, ModuleInfo> modules;
    std::vector<uint64_t> moduleOrder; // ids in the order announced
    std::vector<uint64_t> goneOrder;
    std::vector<Event> events;
    std::vector<uint64_t> times;
    std::vector<uint64_t> rss;
    std::set<uint64_t> endedThreads;
    std::string suppressions;
    std::vector<std::string> errors;
    size_t framesOutsideModules = 0;

    std::vector<const Event *> allocations(uint64_t minSize, uint64_t maxSize) const
    {
        std::vector<const Event *> found;
        for (const auto &event : events) {
            if (event.type == '+' && event.size >= minSize && event.size <= maxSize) {
                found.push_back(&event);
            }
        }
        return found;
    }

    // index of the first deallocation of address after event index `from`
    size_t freedAfter(size_t from, uint64_t address) const
    {
        for (size_t i = from + 1; i < events.size(); ++i) {
            if (events[i].type == '-' && events[i].address == address) {
                return i;
            }
            if (events[i].type == '+' && events[i].address == address) {
                return SIZE_MAX;
            }
        }
        return SIZE_MAX;
    }

    size_t indexOf(const Event *event) const
    {
        return size_t(event - events.data());
    }

    const ModuleInfo *moduleAt(uint64_t address) const
    {
        for (const auto &entry : modules) {
            if (entry.second.gone) {
                continue;
            }
            for (const auto &segment : entry.second.segments) {
                if (address >= segment.start && address < segment.start + segment.size) {
                    return &entry.second;
                }
            }
        }
        return nullptr;
    }
};

class Cursor
{
public:
    Cursor(const std::vector<uint8_t> &bytes)
        : m_bytes(bytes)
    {
    }
    bool atEnd() const
    {
        return m_pos >= m_bytes.size();
    }
    bool failed() const
    {
        return m_failed;
    }
    uint8_t byte()
    {
        if (atEnd()) {
            m_failed = true;
            return 0;
        }
        return m_bytes[m_pos++];
    }
    uint64_t varint()
    {
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const uint8_t b = byte();
            value |= uint64_t(b & 0x7f) << shift;
            if (!(b & 0x80)) {
                return value;
            }
        }
        m_failed = true;
        return value;
    }
    std::string bytes()
    {
        const uint64_t length = varint();
        if (length > m_bytes.size() - m_pos) {
            m_failed = true;
            return {};
        }
        std::string text(reinterpret_cast<const char *>(m_bytes.data() + m_pos), length);
        m_pos += length;
        return text;
    }

private:
    const std::vector<uint8_t> &m_bytes;
    size_t m_pos = 0;
    bool m_failed = false;
};

Decoded decode(const Stream &stream)
{
    Decoded d;
    Cursor in(stream.bytes);
    std::map<uint64_t, std::vector<uint64_t>> previous;
    while (!in.atEnd() && !in.failed()) {
        const char type = char(in.byte());
        switch (type) {
        case RecordModule: {
            const uint64_t id = in.varint();
            ModuleInfo module;
            module.bias = in.varint();
            const uint64_t count = in.varint();
            for (uint64_t i = 0; i < count && !in.failed(); ++i) {
                const uint64_t start = in.varint();
                module.segments.push_back({start, in.varint()});
            }
            module.path = in.bytes();
            module.buildId = in.bytes();
            if (d.modules.count(id)) {
                d.errors.push_back("module id reused: " + std::to_string(id));
            }
            d.modules[id] = module;
            d.moduleOrder.push_back(id);
            break;
        }
        case RecordModuleGone: {
            const uint64_t id = in.varint();
            if (!d.modules.count(id) || d.modules[id].gone) {
                d.errors.push_back("gone module unknown: " + std::to_string(id));
            }
            d.modules[id].gone = true;
            d.goneOrder.push_back(id);
            break;
        }
        case RecordAllocation: {
            Event event;
            event.type = '+';
            event.thread = in.varint();
            event.size = in.varint();
            event.address = in.varint();
            const uint64_t keep = in.varint();
            const uint64_t count = in.varint();
            for (uint64_t i = 0; i < count && !in.failed(); ++i) {
                event.stack.push_back(in.varint());
            }
            auto &before = previous[event.thread];
            if (keep > before.size()) {
                d.errors.push_back("keep beyond the previous stack");
                break;
            }
            event.stack.insert(event.stack.end(), before.end() - long(keep), before.end());
            before = event.stack;
            for (uint64_t address : event.stack) {
                if (!d.moduleAt(address)) {
                    ++d.framesOutsideModules;
                }
            }
            d.events.push_back(std::move(event));
            break;
        }
        case RecordDeallocation: {
            Event event;
            event.type = '-';
            event.address = in.varint();
            d.events.push_back(event);
            break;
        }
        case RecordTime: {
            const uint64_t ms = in.varint();
            if (!d.times.empty() && ms <= d.times.back()) {
                d.errors.push_back("time not ascending");
            }
            d.times.push_back(ms);
            break;
        }
        case RecordResidentSetSize:
            d.rss.push_back(in.varint());
            break;
        case RecordThreadEnd: {
            const uint64_t thread = in.varint();
            d.endedThreads.insert(thread);
            previous.erase(thread);
            break;
        }
        case RecordSuppressions:
            d.suppressions = in.bytes();
            break;
        case RecordStopped:
            in.varint();
            in.bytes();
            break;
        default:
            d.errors.push_back("unknown record type " + std::to_string(int(uint8_t(type))));
            return d;
        }
    }
    if (in.failed()) {
        d.errors.push_back("stream ends inside a record");
    }
    return d;
}

const std::string TestProgram = QStringLiteral(MEMLOUPE_TEST_PROGRAM).toStdString();
const std::string Library = QStringLiteral(MEMLOUPE_PRELOAD_LIBRARY).toStdString();
const std::string TestModule = QStringLiteral(MEMLOUPE_TEST_MODULE).toStdString();

struct Run {
    int status = -1;
    std::vector<Decoded> streams;
    std::vector<std::unique_ptr<Stream>> raw;
};

Run runProgram(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
    Launcher launcher;
    std::vector<std::string> argv = {TestProgram};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = launcher.start(Library, argv, env);
    Run run;
    run.status = launcher.wait(pid);
    for (auto &stream : launcher.streams) {
        run.streams.push_back(decode(*stream));
    }
    run.raw = std::move(launcher.streams);
    return run;
}

// the checks every stream must pass, whatever the program did
void checkWellFormed(const Run &run)
{
    QVERIFY(WIFEXITED(run.status));
    QCOMPARE(WEXITSTATUS(run.status), 0);
    QVERIFY(!run.streams.empty());
    for (const auto &stream : run.streams) {
        for (const auto &error : stream.errors) {
            qWarning("%s", error.c_str());
        }
        QVERIFY(stream.errors.empty());
        QCOMPARE(stream.framesOutsideModules, size_t(0));
        QVERIFY(!stream.rss.empty());
        QVERIFY(!stream.modules.empty());
    }
}

}

class TestPreload : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QFile::exists(QString::fromStdString(Library)));
        QVERIFY(QFile::exists(QString::fromStdString(TestProgram)));
    }

    void testExactCountsAndHello()
    {
        const Run run = runProgram({"pattern"});
        checkWellFormed(run);
        QCOMPARE(run.streams.size(), size_t(1));
        const Decoded &d = run.streams[0];
        const auto &raw = *run.raw[0];
        QCOMPARE(QByteArray(raw.hello.magic, 8), QByteArray(HelloMagic, 8));
        QCOMPARE(raw.hello.version, Version);
        QCOMPARE(raw.hello.flags, 0u);
        QCOMPARE(raw.exe, TestProgram);
        QCOMPARE(raw.cmdline, TestProgram + std::string("\0pattern\0", 9));

        const auto blocks = d.allocations(100001, 100100);
        QCOMPARE(blocks.size(), size_t(100));
        std::set<uint64_t> sizes;
        for (const Event *block : blocks) {
            sizes.insert(block->size);
            QVERIFY(d.freedAfter(d.indexOf(block), block->address) != SIZE_MAX);
            QVERIFY(!block->stack.empty());
            QCOMPARE(block->thread, uint64_t(1));
        }
        QCOMPARE(sizes.size(), size_t(100));
        const auto zeroed = d.allocations(3 * 44447, 3 * 44447);
        QCOMPARE(zeroed.size(), size_t(7));
        QCOMPARE(d.allocations(100200, 100200).size(), size_t(1));

        size_t early = 0;
        for (const auto &event : d.events) {
            early += event.type == '+' && event.stack.empty();
        }
        qDebug("allocations without stack: %zu of %zu events", early, d.events.size());
        QCOMPARE(d.suppressions, std::string("leak:memloupe_test_suppression\n"));
        bool sawExe = false;
        for (const auto &module : d.modules) {
            if (module.second.path == TestProgram) {
                sawExe = true;
                QVERIFY(!module.second.buildId.empty());
            }
            QVERIFY(module.second.path.find("libmemloupe_preload") == std::string::npos || !module.second.segments.empty());
        }
        QVERIFY(sawExe);
    }

    void testReallocAndAlignedFamily()
    {
        const Run run = runProgram({"realloc"});
        checkWellFormed(run);
        const Decoded &d = run.streams[0];
        const auto a = d.allocations(77001, 77001);
        const auto b = d.allocations(77002, 77002);
        const auto c = d.allocations(77003, 77003);
        QCOMPARE(a.size(), size_t(1));
        QCOMPARE(b.size(), size_t(1));
        QCOMPARE(c.size(), size_t(1));
        // realloc: the old block goes right before the new one comes
        const size_t bi = d.indexOf(b[0]);
        QVERIFY(bi > 0);
        QCOMPARE(d.events[bi - 1].type, '-');
        QCOMPARE(d.events[bi - 1].address, a[0]->address);
        // realloc(p, 0) freed c; the failed realloc left b alone until free(b)
        QVERIFY(d.freedAfter(d.indexOf(c[0]), c[0]->address) != SIZE_MAX);
        const size_t freeB = d.freedAfter(bi, b[0]->address);
        QVERIFY(freeB != SIZE_MAX);
        QCOMPARE(d.allocations(77004, 77006).size(), size_t(0));
        // the failed reallocarray on d recorded nothing, free(d) did
        const auto arr = d.allocations(77007, 77007);
        QCOMPARE(arr.size(), size_t(1));
        QVERIFY(d.freedAfter(d.indexOf(arr[0]), arr[0]->address) > freeB);
        const auto aligned = d.allocations(77008, 77008);
        QCOMPARE(aligned.size(), size_t(1));
        QCOMPARE(aligned[0]->address % 4096, uint64_t(0));
        QCOMPARE(d.allocations(77056, 77056).size(), size_t(1));
        QCOMPARE(d.allocations(77009, 77009).size(), size_t(1));
        QCOMPARE(d.allocations(77010, 77010).size(), size_t(1));
        QCOMPARE(d.allocations(77010, 77010)[0]->address % 4096, uint64_t(0));
        // no address is freed twice or freed while not allocated, among ours
        std::map<uint64_t, int> live;
        for (const auto &event : d.events) {
            if (event.type == '+' && event.size >= 77001 && event.size <= 77056) {
                QCOMPARE(live[event.address]++, 0);
            } else if (event.type == '-' && live.count(event.address)) {
                QCOMPARE(live[event.address]--, 1);
            }
        }
        for (const auto &entry : live) {
            QCOMPARE(entry.second, 0);
        }
    }

    void testStackWithoutRecorderFrames()
    {
        const std::string out = QDir::tempPath().toStdString() + "/memloupe-preload-stack-" + std::to_string(getpid());
        const Run run = runProgram({"stack", out});
        checkWellFormed(run);
        uint64_t chain[3] = {};
        {
            std::ifstream file(out);
            std::string text;
            for (auto &address : chain) {
                file >> text;
                address = std::stoull(text, nullptr, 16);
            }
        }
        std::remove(out.c_str());
        const Decoded &d = run.streams[0];
        const auto blocks = d.allocations(54321, 54321);
        QCOMPARE(blocks.size(), size_t(3));
        for (const Event *block : blocks) {
            QVERIFY(block->stack.size() >= 4);
            // innermost first: the return addresses into chain3, chain2, chain1
            for (int i = 0; i < 3; ++i) {
                const uint64_t ip = block->stack[size_t(i)];
                const uint64_t function = chain[2 - i];
                QVERIFY2(ip > function && ip < function + 256, qPrintable(QString::number(i)));
            }
            QCOMPARE(d.moduleAt(block->stack[0])->path, TestProgram);
            // the loop may be unrolled: only the frame of stack() differs
            QCOMPARE(block->stack.size(), blocks[0]->stack.size());
            QVERIFY(std::equal(block->stack.begin() + 4, block->stack.end(), blocks[0]->stack.begin() + 4));
        }
    }

    void testForkChildren_data()
    {
        QTest::addColumn<bool>("recordChildren");
        QTest::newRow("not recorded by default") << false;
        QTest::newRow("MEMLOUPE_RECORD_CHILDREN=1") << true;
    }

    void testForkChildren()
    {
        QFETCH(bool, recordChildren);
        std::vector<std::string> env;
        if (recordChildren) {
            env.push_back(std::string(RecordChildrenEnv) + "=1");
        }
        const Run run = runProgram({"fork"}, env);
        checkWellFormed(run);
        // the parent, its fork child, and the image posix_spawn exec'd
        QCOMPARE(run.streams.size(), size_t(recordChildren ? 3 : 1));
        const Decoded &parent = run.streams[0];
        QCOMPARE(run.raw[0]->hello.flags, 0u);
        QCOMPARE(parent.allocations(12345, 12346).size(), size_t(2));
        QCOMPARE(parent.allocations(23456, 23456).size(), size_t(0));
        if (!recordChildren) {
            return;
        }
        int forked = -1;
        int spawned = -1;
        for (size_t i = 1; i < run.raw.size(); ++i) {
            (run.raw[i]->hello.flags & HelloForkedChild ? forked : spawned) = int(i);
        }
        QVERIFY(forked > 0 && spawned > 0);
        const Decoded &child = run.streams[size_t(forked)];
        QCOMPARE(run.raw[size_t(forked)]->hello.ppid, run.raw[0]->hello.pid);
        QVERIFY(run.raw[size_t(forked)]->hello.pid != run.raw[0]->hello.pid);
        const auto blocks = child.allocations(23456, 23456);
        QCOMPARE(blocks.size(), size_t(5));
        // a new stream: thread numbers start again, stacks start whole
        QCOMPARE(blocks[0]->thread, uint64_t(1));
        QCOMPARE(child.allocations(12345, 12346).size(), size_t(0));
        QCOMPARE(child.modules.size(), parent.modules.size());
        // a new image after exec: its own hello, not a forked child
        QCOMPARE(run.raw[size_t(spawned)]->hello.ppid, run.raw[0]->hello.pid);
        QVERIFY(run.raw[size_t(spawned)]->exe.find("true") != std::string::npos);
    }

    // A launcher that stops reading: the program waits while it lives, then
    // stops recording and runs on; what is in the ring is whole records.
    void testLauncherGoneWhileRingFull()
    {
        const pid_t fakeLauncher = fork();
        if (fakeLauncher == 0) {
            pause();
            _exit(0);
        }
        Launcher launcher;
        launcher.drain = false;
        const pid_t pid = launcher.start(Library, {TestProgram, "flood"}, {std::string(LauncherPidEnv) + "=" + std::to_string(fakeLauncher)});
        for (int i = 0; i < 1500; ++i) {
            launcher.pump();
            usleep(1000);
        }
        int status = 0;
        QCOMPARE(waitpid(pid, &status, WNOHANG), 0); // blocked on the full ring, not dropping
        QCOMPARE(launcher.streams.size(), size_t(1));
        Stream &stream = *launcher.streams[0];
        QCOMPARE(stream.ring->head.load() - stream.ring->tail.load() <= stream.ring->capacity, true);
        QVERIFY(stream.ring->head.load() > stream.ring->capacity - 64);
        kill(fakeLauncher, SIGKILL);
        waitpid(fakeLauncher, nullptr, 0);
        status = launcher.wait(pid, 20000);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0);
        QCOMPARE(stream.ring->state.load(), uint32_t(RingStopped));
        stream.drain();
        const Decoded d = decode(stream);
        QVERIFY(d.errors.empty());
        const size_t recorded = d.allocations(1111, 1111).size();
        QVERIFY(recorded > 1000 && recorded < 600000);
    }

    void testExceptionsStillUnwind()
    {
        const Run run = runProgram({"exceptions"});
        checkWellFormed(run);
        const Decoded &d = run.streams[0];
        // six strings per throw, each freed during unwinding
        const auto strings = d.allocations(1001, 1006);
        QCOMPARE(strings.size(), size_t(6 * 200));
        for (const Event *s : strings) {
            QVERIFY(d.freedAfter(d.indexOf(s), s->address) != SIZE_MAX);
        }
    }

    void testClosedDescriptors()
    {
        const Run run = runProgram({"closefds"});
        checkWellFormed(run);
        const Decoded &d = run.streams[0];
        const auto blocks = d.allocations(31313, 31313);
        QCOMPARE(blocks.size(), size_t(10));
        for (const Event *block : blocks) {
            QVERIFY(d.freedAfter(d.indexOf(block), block->address) != SIZE_MAX);
        }
    }

    void testThreads()
    {
        const Run run = runProgram({"threads"});
        checkWellFormed(run);
        const Decoded &d = run.streams[0];
        std::map<uint64_t, uint64_t> perSize;
        std::map<uint64_t, std::set<uint64_t>> threadsPerSize;
        std::map<uint64_t, int> live;
        for (size_t i = 0; i < d.events.size(); ++i) {
            const auto &event = d.events[i];
            if (event.type == '+' && event.size >= 4242 && event.size <= 4245) {
                ++perSize[event.size];
                threadsPerSize[event.size].insert(event.thread);
                QCOMPARE(live[event.address]++, 0);
            } else if (event.type == '-') {
                auto it = live.find(event.address);
                if (it != live.end() && it->second) {
                    --it->second;
                }
            }
        }
        QCOMPARE(perSize.size(), size_t(4));
        std::set<uint64_t> workers;
        for (const auto &entry : perSize) {
            QCOMPARE(entry.second, uint64_t(20000));
            QCOMPARE(threadsPerSize[entry.first].size(), size_t(1));
            workers.insert(*threadsPerSize[entry.first].begin());
        }
        QCOMPARE(workers.size(), size_t(4));
        for (uint64_t worker : workers) {
            QVERIFY(worker >= 2);
            QVERIFY(d.endedThreads.count(worker));
        }
        for (const auto &entry : live) {
            QCOMPARE(entry.second, 0);
        }
    }

    void testModulesComeAndGo()
    {
        const Run run = runProgram({"modules", TestModule});
        checkWellFormed(run);
        const Decoded &d = run.streams[0];
        const auto blocks = d.allocations(65432, 65432);
        QCOMPARE(blocks.size(), size_t(2));
        // each dlopen is announced (and its dlclose reported) once
        std::vector<uint64_t> ids;
        for (uint64_t id : d.moduleOrder) {
            if (d.modules.at(id).path == TestModule) {
                ids.push_back(id);
            }
        }
        QCOMPARE(ids.size(), size_t(2));
        QVERIFY(ids[0] != ids[1]);
        for (uint64_t id : ids) {
            QVERIFY(std::find(d.goneOrder.begin(), d.goneOrder.end(), id) != d.goneOrder.end());
        }
    }
};

QTEST_GUILESS_MAIN(TestPreload)

#include "preloadtest.moc"
