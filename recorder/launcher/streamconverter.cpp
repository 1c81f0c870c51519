/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#include "launcher/streamconverter.h"

#include <algorithm>

#include "common/protocol.h"

using namespace MemloupeProtocol;

namespace
{
constexpr uint64_t MaxSegments = 64;
constexpr uint64_t MaxStackDepth = 1 << 16;
}

StreamConverter::StreamConverter(TraceWriter *out)
    : m_out(out)
{
}

StreamConverter::~StreamConverter() = default;

void StreamConverter::writeHeader(const std::string &commandLine, int64_t pageSize, int64_t physicalPages, bool attached)
{
    m_out->put(TraceFormat::Record::Version);
    m_out->putHexField(TraceFormat::ProgramVersion);
    m_out->putHexField(TraceFormat::NewestFileFormat);
    m_out->put('\n');
    m_out->put(TraceFormat::Record::Debuggee);
    m_out->put(' ');
    for (char c : commandLine) {
        // one line: the arguments' separators and any line feed in them become blanks
        m_out->put((c == '\0' || c == '\n' || c == '\r') ? ' ' : c);
    }
    m_out->put('\n');
    m_out->record(TraceFormat::Record::SystemInfo, uint64_t(pageSize), uint64_t(physicalPages));
    if (attached) {
        // before any event: the reader counts only what follows
        m_out->put(TraceFormat::Record::Attached);
        m_out->put('\n');
    }
}

uint32_t StreamConverter::string(const std::string &text)
{
    auto it = m_strings.find(text);
    if (it != m_strings.end()) {
        return it->second;
    }
    const uint32_t index = ++m_stringCount;
    m_strings.emplace(text, index);
    m_out->put(TraceFormat::Record::String);
    m_out->putHexField(text.size());
    m_out->put(' ');
    m_out->put(text);
    m_out->put('\n');
    return index;
}

bool StreamConverter::consume(RingCursor *cursor, uint64_t limit)
{
    while (!m_stopped && !m_corrupt && cursor->position < limit) {
        const uint8_t type = cursor->byte();
        switch (type) {
        case RecordAllocation:
            onAllocation(cursor);
            break;
        case RecordDeallocation:
            onDeallocation(cursor->varint());
            break;
        case RecordTime:
            onTime(cursor->varint());
            break;
        case RecordResidentSetSize: {
            const uint64_t pages = cursor->varint();
            if (!cursor->corrupt) {
                m_out->record(TraceFormat::Record::ResidentSetSize, pages);
            }
            break;
        }
        case RecordModule:
            onModule(cursor);
            break;
        case RecordModuleGone:
            onModuleGone(cursor->varint());
            break;
        case RecordThreadEnd:
            m_threads.erase(cursor->varint());
            break;
        case RecordSuppressions:
            cursor->bytes(&m_scratch);
            if (!cursor->corrupt) {
                onSuppressions(m_scratch);
            }
            break;
        case RecordStopped: {
            const uint64_t reason = cursor->varint();
            cursor->bytes(&m_scratch);
            if (!cursor->corrupt) {
                m_stopped = true;
                if (reason == StopError) {
                    m_stopError = m_scratch.empty() ? std::string("unknown error") : m_scratch;
                }
            }
            break;
        }
        default:
            cursor->corrupt = true;
            break;
        }
        if (cursor->corrupt) {
            m_corrupt = true;
        }
    }
    return !m_stopped && !m_corrupt;
}

void StreamConverter::onModule(RingCursor *cursor)
{
    const uint64_t id = cursor->varint();
    const uint64_t bias = cursor->varint();
    const uint64_t segmentCount = cursor->varint();
    if (cursor->corrupt || segmentCount > MaxSegments) {
        cursor->corrupt = true;
        return;
    }
    const auto module = uint32_t(m_modules.size());
    const size_t firstNew = m_segments.size();
    for (uint64_t i = 0; i < segmentCount; ++i) {
        const uint64_t start = cursor->varint();
        const uint64_t size = cursor->varint();
        if (size) {
            m_segments.push_back({start, start + size, module});
        }
    }
    cursor->bytes(&m_scratch);
    std::string path = m_scratch;
    cursor->bytes(&m_scratch); // the build id: libdwfl reads it from the file itself
    if (cursor->corrupt) {
        m_segments.resize(firstNew);
        return;
    }
    // a range still held by a module whose removal was missed now belongs to this one
    for (size_t i = firstNew; i < m_segments.size(); ++i) {
        const auto &added = m_segments[i];
        auto overlaps = [&](const Segment &old) {
            return old.module != module && old.start < added.end && added.start < old.end;
        };
        m_segments.erase(std::remove_if(m_segments.begin(), m_segments.end(), overlaps), m_segments.end());
    }
    std::sort(m_segments.begin(), m_segments.end(), [](const Segment &a, const Segment &b) {
        return a.start < b.start;
    });
    m_modules.push_back({id, std::make_unique<ModuleSymbols>(std::move(path), bias), 0, false});
    m_moduleById[id] = module;
    if (m_unmappedCached) {
        // addresses seen outside every module may lie in this one
        m_ipByAddress.clear();
        m_unmappedCached = false;
    }
}

void StreamConverter::onModuleGone(uint64_t id)
{
    auto it = m_moduleById.find(id);
    if (it == m_moduleById.end()) {
        return;
    }
    const uint32_t module = it->second;
    m_moduleById.erase(it);
    m_modules[module].gone = true;
    m_segments.erase(std::remove_if(m_segments.begin(),
                                    m_segments.end(),
                                    [module](const Segment &segment) {
                                        return segment.module == module;
                                    }),
                     m_segments.end());
    // its addresses may come back as those of another module
    m_ipByAddress.clear();
    m_unmappedCached = false;
}

int32_t StreamConverter::moduleAt(uint64_t address) const
{
    auto it = std::upper_bound(m_segments.begin(), m_segments.end(), address, [](uint64_t value, const Segment &segment) {
        return value < segment.start;
    });
    if (it == m_segments.begin()) {
        return -1;
    }
    --it;
    return address < it->end ? int32_t(it->module) : -1;
}

uint32_t StreamConverter::ipIndex(uint64_t address)
{
    auto cached = m_ipByAddress.find(address);
    if (cached != m_ipByAddress.end()) {
        return cached->second;
    }
    const int32_t module = moduleAt(address);
    uint32_t ip;
    if (module < 0) {
        m_unmappedCached = true;
        ip = resolve(UINT32_MAX, address);
    } else {
        ip = resolve(uint32_t(module), address);
    }
    m_ipByAddress.emplace(address, ip);
    return ip;
}

uint32_t StreamConverter::resolve(uint32_t module, uint64_t address)
{
    const ResolvedKey key{module, address};
    auto known = m_ipByModuleAddress.find(key);
    if (known != m_ipByModuleAddress.end()) {
        return known->second;
    }
    uint32_t moduleString;
    m_frames.clear();
    if (module == UINT32_MAX) {
        if (!m_unknownModuleString) {
            m_unknownModuleString = string("<unknown module>");
        }
        moduleString = m_unknownModuleString;
    } else {
        auto &entry = m_modules[module];
        if (!entry.pathString) {
            entry.pathString = string(entry.symbols->path());
        }
        moduleString = entry.pathString;
        entry.symbols->resolve(address, &m_frames);
    }
    // strings first: each is written once, before the first record using it
    struct Indices {
        uint32_t function;
        uint32_t file;
        int line;
    };
    Indices indices[64];
    const size_t frameCount = std::min<size_t>(m_frames.size(), 64);
    for (size_t i = 0; i < frameCount; ++i) {
        const auto &frame = m_frames[i];
        indices[i].function = string(frame.function.empty() ? std::string("??") : frame.function);
        indices[i].file = string(frame.file.empty() ? std::string("??") : frame.file);
        indices[i].line = frame.line;
    }
    m_out->put(TraceFormat::Record::InstructionPointer);
    m_out->putHexField(address);
    m_out->putHexField(moduleString);
    for (size_t i = 0; i < frameCount; ++i) {
        m_out->putHexField(indices[i].function);
        m_out->putHexField(indices[i].file);
        m_out->putHexField(uint64_t(std::max(indices[i].line, 0)));
    }
    m_out->put('\n');
    const uint32_t ip = ++m_ipCount;
    m_ipByModuleAddress.emplace(key, ip);
    return ip;
}

void StreamConverter::onAllocation(RingCursor *cursor)
{
    const uint64_t thread = cursor->varint();
    const uint64_t size = cursor->varint();
    const uint64_t address = cursor->varint();
    const uint64_t keep = cursor->varint();
    const uint64_t count = cursor->varint();
    if (cursor->corrupt || count > MaxStackDepth || keep > MaxStackDepth) {
        cursor->corrupt = true;
        return;
    }
    m_addresses.resize(count);
    for (uint64_t i = 0; i < count; ++i) {
        m_addresses[i] = cursor->varint();
    }
    if (cursor->corrupt) {
        return;
    }

    uint32_t trace = 0;
    if (count || keep) {
        auto &stack = m_threads[thread];
        // more kept frames than the thread ever had would be a writer fault;
        // the frames it does have still place the event
        stack.resize(std::min<uint64_t>(keep, stack.size()));
        trace = stack.empty() ? 0 : stack.back();
        // the new frames come innermost first; the trie grows from the outside
        for (uint64_t i = count; i-- > 0;) {
            const uint32_t ip = ipIndex(m_addresses[i]);
            const uint64_t key = (uint64_t(trace) << 32) | ip;
            auto node = m_trie.find(key);
            if (node != m_trie.end()) {
                trace = node->second;
            } else {
                const uint32_t parent = trace;
                trace = ++m_traceCount;
                m_trie.emplace(key, trace);
                m_out->record(TraceFormat::Record::Trace, ip, parent);
            }
            stack.push_back(trace);
        }
    }

    const InfoKey infoKey{size, trace};
    uint32_t info;
    auto known = m_infos.find(infoKey);
    if (known != m_infos.end()) {
        info = known->second;
    } else {
        info = m_infoCount++;
        m_infos.emplace(infoKey, info);
        m_out->record(TraceFormat::Record::AllocationInfo, size, trace);
    }

    auto live = m_liveBlocks.find(address);
    if (live != m_liveBlocks.end()) {
        // the free of the old block was never seen: end it before the new one
        m_out->record(TraceFormat::Record::Deallocation, live->second);
        live.value() = info;
    } else {
        m_liveBlocks.emplace(address, info);
    }
    m_out->record(TraceFormat::Record::Allocation, info);
    ++m_allocations;
}

void StreamConverter::onDeallocation(uint64_t address)
{
    auto live = m_liveBlocks.find(address);
    if (live == m_liveBlocks.end()) {
        // allocated before recording started, or by a thread we never saw
        return;
    }
    m_out->record(TraceFormat::Record::Deallocation, live->second);
    m_liveBlocks.erase(live);
}

void StreamConverter::onTime(uint64_t milliseconds)
{
    if (m_hasTime && milliseconds <= m_lastTime) {
        return;
    }
    m_hasTime = true;
    m_lastTime = milliseconds;
    m_out->record(TraceFormat::Record::TimeStamp, milliseconds);
}

void StreamConverter::onSuppressions(const std::string &text)
{
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            end = text.size();
        }
        size_t first = begin;
        size_t last = end;
        while (first < last && (text[first] == ' ' || text[first] == '\t')) {
            ++first;
        }
        while (last > first && (text[last - 1] == ' ' || text[last - 1] == '\t' || text[last - 1] == '\r')) {
            --last;
        }
        if (text.compare(first, 5, "leak:") == 0 && last - first > 5) {
            m_out->put(TraceFormat::Record::Suppression);
            m_out->put(' ');
            m_out->put(text.data() + first, last - first);
            m_out->put('\n');
        }
        begin = end + 1;
    }
}
