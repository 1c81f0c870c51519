/* SPDX-FileCopyrightText: 2026 memloupe developers
 SPDX-License-Identifier: GPL-2.0-or-later */

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <tsl/robin_map.h>

#include "launcher/symbolizer.h"
#include "launcher/tracewriter.h"

// Reads the records of a ring between two logical positions. The writer
// publishes only whole records, so running past `end` means corrupt data.
struct RingCursor {
    const uint8_t *data = nullptr;
    uint64_t mask = 0;
    uint64_t position = 0;
    uint64_t end = 0;
    bool corrupt = false;

    uint8_t byte()
    {
        if (position >= end) {
            corrupt = true;
            return 0;
        }
        return data[position++ & mask];
    }
    uint64_t varint()
    {
        uint64_t value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const uint8_t next = byte();
            value |= uint64_t(next & 0x7f) << shift;
            if (!(next & 0x80)) {
                return value;
            }
        }
        corrupt = true;
        return value;
    }
    void bytes(std::string *out)
    {
        const uint64_t length = varint();
        out->clear();
        if (corrupt || length > end - position) {
            corrupt = true;
            return;
        }
        out->reserve(length);
        for (uint64_t i = 0; i < length; ++i) {
            out->push_back(char(data[position++ & mask]));
        }
    }
};

// std::hash of an integer is the integer itself; with power-of-two tables
// keys that differ only in high bits (trie keys, aligned addresses) would all
// land in one bucket.
struct MixHash {
    size_t operator()(uint64_t key) const
    {
        key ^= key >> 33;
        key *= 0xff51afd7ed558ccdull;
        key ^= key >> 33;
        key *= 0xc4ceb9fe1a85ec53ull;
        key ^= key >> 33;
        return size_t(key);
    }
};

// Turns the raw events of one process image into a trace: call stacks are
// rebuilt from their deltas and interned into a trie of `t` nodes, each
// distinct return address of a module is symbolised once into an `i` record,
// blocks are tracked from `+` to `-`. Work per event is bounded by its new
// frames; the tables grow, nothing is allocated per event.
class StreamConverter
{
public:
    explicit StreamConverter(TraceWriter *out);
    ~StreamConverter();

    // `attached`: recording started in a running process (an `A` record)
    void writeHeader(const std::string &commandLine, int64_t pageSize, int64_t physicalPages, bool attached = false);

    // Converts the records that start before `limit` (at most cursor->end).
    // Returns false once the stream said it stopped or turned out corrupt.
    bool consume(RingCursor *cursor, uint64_t limit);

    uint64_t allocations() const
    {
        return m_allocations;
    }
    bool stopped() const
    {
        return m_stopped;
    }
    bool corrupt() const
    {
        return m_corrupt;
    }
    // The message of a recorder that stopped with an error, else empty.
    const std::string &stopError() const
    {
        return m_stopError;
    }

private:
    struct Segment {
        uint64_t start;
        uint64_t end;
        uint32_t module; // index into m_modules
    };
    struct Module {
        uint64_t id;
        std::unique_ptr<ModuleSymbols> symbols;
        uint32_t pathString = 0; // 0: not yet written
        bool gone = false;
    };
    struct InfoKey {
        uint64_t size;
        uint32_t trace;
        bool operator==(const InfoKey &other) const
        {
            return size == other.size && trace == other.trace;
        }
    };
    struct InfoKeyHash {
        size_t operator()(const InfoKey &key) const
        {
            return MixHash()(key.size * 0x9e3779b97f4a7c15ull ^ key.trace);
        }
    };
    struct ResolvedKey {
        uint32_t module;
        uint64_t address;
        bool operator==(const ResolvedKey &other) const
        {
            return module == other.module && address == other.address;
        }
    };
    struct ResolvedKeyHash {
        size_t operator()(const ResolvedKey &key) const
        {
            return MixHash()(key.address ^ (uint64_t(key.module) << 48));
        }
    };

    void onModule(RingCursor *cursor);
    void onModuleGone(uint64_t id);
    void onAllocation(RingCursor *cursor);
    void onDeallocation(uint64_t address);
    void onTime(uint64_t milliseconds);
    void onSuppressions(const std::string &text);

    uint32_t ipIndex(uint64_t address);
    uint32_t resolve(uint32_t module, uint64_t address);
    int32_t moduleAt(uint64_t address) const;
    uint32_t string(const std::string &text);

    TraceWriter *m_out;
    std::vector<Module> m_modules;
    tsl::robin_map<uint64_t, uint32_t, MixHash> m_moduleById;
    std::vector<Segment> m_segments; // sorted by start, live modules only

    // return address -> `i` index while the module map stays as it is
    tsl::robin_map<uint64_t, uint32_t, MixHash> m_ipByAddress;
    bool m_unmappedCached = false;
    tsl::robin_map<ResolvedKey, uint32_t, ResolvedKeyHash> m_ipByModuleAddress;
    uint32_t m_ipCount = 0;
    uint32_t m_unknownModuleString = 0;

    tsl::robin_map<std::string, uint32_t> m_strings;
    uint32_t m_stringCount = 0;

    // (parent trace << 32 | ip) -> trace index
    tsl::robin_map<uint64_t, uint32_t, MixHash> m_trie;
    uint32_t m_traceCount = 0;

    // the trace of each depth of a thread's last stack, outermost first
    tsl::robin_map<uint64_t, std::vector<uint32_t>, MixHash> m_threads;

    tsl::robin_map<InfoKey, uint32_t, InfoKeyHash> m_infos;
    uint32_t m_infoCount = 0;
    tsl::robin_map<uint64_t, uint32_t, MixHash> m_liveBlocks;

    uint64_t m_lastTime = 0;
    bool m_hasTime = false;
    uint64_t m_allocations = 0;
    bool m_stopped = false;
    bool m_corrupt = false;
    std::string m_stopError;

    std::vector<uint64_t> m_addresses;
    std::vector<SymbolFrame> m_frames;
    std::string m_scratch;
};
