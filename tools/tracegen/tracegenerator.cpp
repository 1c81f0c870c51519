/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "tracegenerator.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

#include "traceoutput.h"

namespace
{
constexpr uint32_t NONE = std::numeric_limits<uint32_t>::max();
constexpr uint64_t NS_PER_MS = 1000000;

uint64_t splitMix64(uint64_t &state)
{
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// xoshiro256**: fast, and its output is fixed by its definition, unlike the
// distributions of the standard library, which differ between implementations.
// Only integer arithmetic and exactly rounded double multiplication are used on
// its output, never libm, so traces are identical everywhere.
class Random
{
public:
    explicit Random(uint64_t seed)
    {
        for (auto &word : m_state) {
            word = splitMix64(seed);
        }
    }

    uint64_t next()
    {
        const uint64_t result = rotateLeft(m_state[1] * 5, 7) * 9;
        const uint64_t t = m_state[1] << 17;
        m_state[2] ^= m_state[0];
        m_state[3] ^= m_state[1];
        m_state[1] ^= m_state[2];
        m_state[0] ^= m_state[3];
        m_state[2] ^= t;
        m_state[3] = rotateLeft(m_state[3], 45);
        return result;
    }

    // uniform in [0, bound)
    uint32_t below(uint32_t bound)
    {
        return static_cast<uint32_t>(((next() >> 32) * bound) >> 32);
    }

    // uniform in [low, high]
    uint64_t between(uint64_t low, uint64_t high)
    {
        return low + next() % (high - low + 1);
    }

    bool percent(uint32_t chance)
    {
        return below(100) < chance;
    }

    bool oneIn(uint32_t n)
    {
        return below(n) == 0;
    }

    // in [0, bound), heavily skewed towards 0: a few hot entries take most picks
    uint32_t skewedBelow(uint32_t bound)
    {
        const double u = static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
        const auto result = static_cast<uint32_t>(u * u * u * bound);
        return std::min(result, bound - 1);
    }

    template<typename T, std::size_t N>
    const T &pick(const T (&items)[N])
    {
        return items[below(N)];
    }

private:
    static uint64_t rotateLeft(uint64_t x, int k)
    {
        return (x << k) | (x >> (64 - k));
    }

    uint64_t m_state[4];
};

// Vocabulary of the synthetic program. Enough variety that a tree of a few
// hundred thousand nodes does not look like one name repeated.
constexpr const char *SYLLABLES[] = {"zen", "tor", "qua", "vex", "lum", "cor", "dri", "fal", "mer", "nov", "pix", "rho", "syl", "tam", "ulk", "wix"};
constexpr const char *COMPONENTS[] = {"core",  "io",    "net",   "gfx",  "db",    "ui",     "util",  "text",   "json",   "xml",
                                      "audio", "sched", "cache", "geom", "parse", "render", "store", "plugin", "script", "search"};
constexpr const char *NOUNS[] = {"Buffer", "Node",   "Document", "Layout", "Widget",  "Parser", "Token",  "Stream",  "Request", "Session", "Model",  "Index",
                                 "Cache",  "Image",  "Path",     "Shape",  "Texture", "Record", "Query",  "Packet",  "Channel", "Scene",   "Glyph",  "Font",
                                 "Row",    "Column", "Tree",     "Graph",  "Task",    "Worker", "Pool",   "Context", "Event",   "Timer",   "Socket", "Table",
                                 "Block",  "Frame",  "Chunk",    "Entry",  "Style",   "Rule",   "Matrix", "Mesh",    "Volume",  "Filter",  "Codec",  "Archive"};
constexpr const char *VERBS[] = {"create", "update",  "parse",    "load",     "insert",  "resize",  "append", "build",  "render",  "compute",
                                 "flush",  "read",    "write",    "visit",    "apply",   "merge",   "split",  "clone",  "reserve", "emplace",
                                 "find",   "resolve", "dispatch", "process",  "handle",  "layout",  "paint",  "encode", "decode",  "compress",
                                 "expand", "collect", "schedule", "run",      "init",    "reset",   "attach", "fetch",  "commit",  "scan",
                                 "sort",   "group",   "tokenize", "evaluate", "prepare", "finalize"};
constexpr const char *QUALIFIERS[] = {"", "", "", "", "Impl", "Private", "Helper", "Manager", "Factory", "Builder", "Registry", "Loader"};
constexpr const char *PARAMETERS[] = {"()",
                                      "()",
                                      "()",
                                      "(int)",
                                      "(unsigned long)",
                                      "(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&)",
                                      "(QString const&)",
                                      "(void*)",
                                      "(char const*, unsigned long)",
                                      "(double, double)",
                                      "(int, int)",
                                      "(bool)",
                                      "(QByteArray const&, int)",
                                      "(std::vector<int, std::allocator<int> > const&)",
                                      "(unsigned int, void const*)"};

// Header templates whose code gets inlined into callers; '@' is replaced by a class.
struct InlineHelper {
    const char *name;
    const char *file;
};
constexpr InlineHelper INLINE_HELPERS[] = {
    {"std::vector<@*, std::allocator<@*> >::push_back(@* const&)", "/usr/include/c++/12/bits/stl_vector.h"},
    {"void std::vector<@, std::allocator<@> >::_M_realloc_insert<@ const&>(__gnu_cxx::__normal_iterator<@*, std::vector<@, std::allocator<@> > >, @ const&)",
     "/usr/include/c++/12/bits/vector.tcc"},
    {"std::__new_allocator<@>::allocate(unsigned long, void const*)", "/usr/include/c++/12/bits/new_allocator.h"},
    {"std::_Hashtable<unsigned long, std::pair<unsigned long const, @*>, std::allocator<std::pair<unsigned long const, @*> >, std::__detail::_Select1st, "
     "std::equal_to<unsigned long>, std::hash<unsigned long>, std::__detail::_Mod_range_hashing, std::__detail::_Default_ranged_hash, "
     "std::__detail::_Prime_rehash_policy, std::__detail::_Hashtable_traits<false, false, true> >::_M_insert_unique_node(unsigned long, unsigned long, "
     "std::__detail::_Hash_node<std::pair<unsigned long const, @*>, false>*, unsigned long)",
     "/usr/include/c++/12/bits/hashtable.h"},
    {"std::_MakeUniq<@>::__single_object std::make_unique<@>()", "/usr/include/c++/12/bits/unique_ptr.h"},
    {"void std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >::_M_construct<char const*>(char const*, char const*, "
     "std::forward_iterator_tag)",
     "/usr/include/c++/12/bits/basic_string.tcc"},
    {"QList<@*>::append(@* const&)", "/usr/include/x86_64-linux-gnu/qt5/QtCore/qlist.h"},
    {"QVector<@>::reallocData(int, int, QFlags<QArrayData::AllocationOption>)", "/usr/include/x86_64-linux-gnu/qt5/QtCore/qvector.h"},
    {"QString::QString(char const*)", "/usr/include/x86_64-linux-gnu/qt5/QtCore/qstring.h"},
    {"QSharedPointer<@>::create<>()", "/usr/include/x86_64-linux-gnu/qt5/QtCore/qsharedpointer_impl.h"},
};

enum class NameStyle {
    Cxx, // app::component::Class::method(args)
    Qt, // QClassPrivate::method(args)
    CSnake, // prefix_noun_verb
    CCamel, // prefixVerbNoun
    Fixed, // names given in the module description
    Stripped, // no symbols at all
};

struct SystemModule {
    const char *path;
    NameStyle style;
    const char *prefix;
    uint32_t functions;
    std::vector<const char *> names;
};

const std::vector<SystemModule> &systemModules()
{
    static const std::vector<SystemModule> modules = {
        {"/usr/lib/x86_64-linux-gnu/libc.so.6",
         NameStyle::Fixed,
         "",
         0,
         {"__strdup",
          "getdelim",
          "_IO_file_doallocate",
          "__fopen_internal",
          "opendir",
          "regcomp",
          "__vasprintf_internal",
          "getaddrinfo",
          "setlocale",
          "__tzfile_read",
          "qsort_r",
          "scandir",
          "iconv_open",
          "__gconv_open",
          "strndup",
          "realpath",
          "tsearch",
          "newlocale",
          "fdopen"}},
        {"/usr/lib/x86_64-linux-gnu/libstdc++.so.6",
         NameStyle::Fixed,
         "",
         0,
         {"std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >::_M_mutate(unsigned long, unsigned long, char const*, unsigned "
          "long)",
          "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >::reserve(unsigned long)",
          "std::locale::_Impl::_Impl(unsigned long)",
          "std::basic_filebuf<char, std::char_traits<char> >::_M_allocate_internal_buffer()",
          "std::__detail::_Prime_rehash_policy::_M_need_rehash(unsigned long, "
          "unsigned long, unsigned long) const"}},
        {"/lib64/ld-linux-x86-64.so.2",
         NameStyle::Fixed,
         "",
         0,
         {"_dl_new_object", "_dl_map_object", "dl_open_worker", "_dl_allocate_tls", "_dl_catch_exception", "_dl_init"}},
        {"/usr/lib/x86_64-linux-gnu/libz.so.1", NameStyle::Fixed, "", 0, {"deflateInit2_", "inflateInit2_", "gzdopen", "deflateSetDictionary"}},
        {"/usr/lib/x86_64-linux-gnu/libQt5Core.so.5.15.8", NameStyle::Qt, "Q", 120, {}},
        {"/usr/lib/x86_64-linux-gnu/libQt5Gui.so.5.15.8", NameStyle::Qt, "Q", 80, {}},
        {"/usr/lib/x86_64-linux-gnu/libglib-2.0.so.0.7400.6", NameStyle::CSnake, "g_", 60, {}},
        {"/usr/lib/x86_64-linux-gnu/libpng16.so.16.39.0", NameStyle::CSnake, "png_", 25, {}},
        {"/usr/lib/x86_64-linux-gnu/libxml2.so.2.9.14", NameStyle::CCamel, "xml", 40, {}},
        {"/usr/lib/x86_64-linux-gnu/libfontconfig.so.1.12.0", NameStyle::CCamel, "Fc", 30, {}},
        {"/usr/lib/x86_64-linux-gnu/libssl.so.3", NameStyle::CSnake, "ssl3_", 20, {}},
        {"/opt/vendor/lib/libvendorcodec.so.3", NameStyle::Stripped, "", 12, {}},
    };
    return modules;
}

std::string lowerCase(std::string text)
{
    for (auto &c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string replaceAll(std::string text, char placeholder, const std::string &replacement)
{
    for (auto pos = text.find(placeholder); pos != std::string::npos; pos = text.find(placeholder, pos + replacement.size())) {
        text.replace(pos, 1, replacement);
    }
    return text;
}

struct Module {
    uint32_t path; // string
    uint64_t base;
    NameStyle style;
    std::string prefix; // namespace or symbol prefix
    std::string sourceDir; // empty: no debug information
    std::vector<uint32_t> callable; // functions with code that tree nodes may use
    uint64_t nextOffset = 0x1000;
};

struct Function {
    uint32_t name; // string, NONE when stripped
    uint32_t file; // string, NONE without debug information
    uint32_t module;
    int line;
    uint32_t firstIp = 0;
    uint32_t ipCount = 0;
};

struct InlineFrame {
    uint32_t function;
    int line;
};

struct Ip {
    uint64_t address;
    uint32_t function;
    int line;
    uint32_t firstInline;
    uint32_t inlineCount;
};

struct Node {
    uint32_t ip;
    uint32_t parent; // NONE for an outermost frame
    uint32_t depth;
};

enum class Lifetime : uint8_t {
    Temporary, // freed right after its allocation
    Short, // freed soon, mostly in reverse order
    Long, // freed much later, in random order
    Leaky, // some blocks are never freed, the rest live long
};

struct Site {
    uint32_t node;
    uint32_t firstInfo;
    uint32_t infoCount;
    Lifetime lifetime;
};

// One (size, call stack) pair: an allocation info of the file formats that have them.
struct Info {
    uint64_t size;
    uint32_t node;
    // 0 until first used; then the 1-based position among the written infos, or
    // for the oldest format, which has none, the trace index
    uint32_t reference;
};

// A live block carries everything its free needs, so freeing a random old
// block costs one cache miss, not three. Sizes stay far below 4 GiB.
struct Block {
    uint64_t address;
    uint32_t info;
    uint32_t infoRecord; // 0-based index of its info in the file (formats 1 to 3)
    uint32_t size;
    uint32_t sizeClass;
};

// Size classes for handing out block addresses: 16-byte steps up to 1 KiB, then
// four classes per power of two. Freed addresses are reused last in, first out,
// as a real allocator does, which also keeps the address map of the oldest
// format compact and the generator's own memory bounded.
constexpr uint32_t SMALL_LIMIT = 1024;
constexpr uint64_t MMAP_THRESHOLD = 128 * 1024;
constexpr uint32_t SIZE_CLASSES = 65 + 4 * 54;

uint32_t sizeClass(uint64_t size, uint64_t *rounded)
{
    if (size <= SMALL_LIMIT) {
        const auto steps = static_cast<uint32_t>((size + 15) / 16);
        *rounded = uint64_t(steps) * 16;
        return steps;
    }
    const uint64_t n = size - 1;
    const int exponent = 63 - __builtin_clzll(n);
    const uint64_t sub = (n >> (exponent - 2)) & 3;
    *rounded = (5 + sub) << (exponent - 2);
    return static_cast<uint32_t>(65 + (exponent - 10) * 4 + static_cast<int>(sub));
}

class Generator
{
public:
    Generator(const GeneratorOptions &options, TraceOutput &out)
        : m_options(options)
        , m_out(out)
        , m_modelRandom(options.seed ^ 0x6d656d6c6f757065ULL)
        , m_random(options.seed ^ 0x7472616365676e21ULL)
        , m_freeAddresses(SIZE_CLASSES)
    {
    }

    GeneratorStats run();

private:
    // program model
    uint32_t addString(std::string text);
    std::string uniqueName(const std::string &candidate);
    uint32_t addModule(const std::string &path, NameStyle style, const std::string &prefix, const std::string &sourceDir, uint64_t base);
    uint32_t addFunction(uint32_t module, uint32_t name, uint32_t file, uint32_t ipCount);
    std::string makeName(const Module &module);
    void fillModule(uint32_t module, uint32_t count, const std::vector<const char *> &names);
    uint32_t addNode(uint32_t ip, uint32_t parent);
    uint32_t randomIpOf(uint32_t function);
    uint32_t pickFunctionNear(uint32_t parentNode);
    void buildModel();
    void buildTree();
    void buildSites();
    void addSite(uint32_t node, Lifetime lifetime, bool isStatic);

    // lazily written tables
    uint32_t ensureString(uint32_t string);
    uint32_t ensureIp(uint32_t ip);
    uint32_t ensureNode(uint32_t node);
    uint32_t ensureInfo(uint32_t info);

    // heap events
    void writeHeader();
    void advanceClock(uint64_t ns);
    void writeTimeStamp();
    // inlined: returning a block through memory from a call stalls the caller
    __attribute__((always_inline)) inline Block allocate(uint32_t info);
    __attribute__((always_inline)) inline void release(const Block &block);
    uint32_t pickInfo(const Site &site);
    bool conflictsWithPending(const Block &block) const;
    uint32_t freeRun(std::vector<Block> &pool, std::size_t start, uint32_t count);
    void freeRecent();
    void tick();
    void step();
    void prepareNextStep();
    void startPhase();
    bool done() const;

    const GeneratorOptions &m_options;
    TraceOutput &m_out;
    Random m_modelRandom;
    Random m_random;

    std::vector<std::string> m_strings;
    std::vector<uint32_t> m_stringFile;
    std::unordered_set<std::string> m_usedNames;
    std::vector<Module> m_modules;
    std::vector<Function> m_functions;
    std::vector<uint32_t> m_callable; // functions a generic tree node may use
    std::vector<InlineFrame> m_inlineFrames;
    std::vector<uint32_t> m_inlineFunctions;
    std::vector<Ip> m_ips;
    std::vector<uint32_t> m_ipFile;
    std::vector<Node> m_nodes;
    std::vector<uint32_t> m_nodeFile;
    std::vector<Site> m_sites;
    std::vector<Site> m_staticSites;
    std::vector<Info> m_infos;
    std::vector<uint32_t> m_chain;
    std::string m_appName;
    std::string m_suppression;

    uint32_t m_fileStrings = 0;
    uint32_t m_fileIps = 0;
    uint32_t m_fileNodes = 0;
    uint32_t m_fileInfos = 0;

    uint32_t m_mainNode = 0;
    uint32_t m_threadNode = 0;
    uint32_t m_staticInitNode = 0;
    uint32_t m_opNewIp = 0;
    uint32_t m_opNewArrayIp = 0;
    uint32_t m_firstGenericNode = 0;

    // heap state
    std::vector<Block> m_short;
    std::vector<Block> m_long;
    std::vector<std::vector<uint64_t>> m_freeAddresses;
    uint64_t m_heapTop = 0x55555556b010ULL;
    uint64_t m_mmapTop = 0x7f2a00000000ULL;
    uint64_t m_liveBytes = 0;
    bool m_hasPending = false;
    uint64_t m_pendingAddress = 0;
    uint32_t m_pendingInfo = 0;

    uint64_t m_clockNs = 0;
    uint64_t m_nextStampNs = 0;
    uint64_t m_lastStamp = 0;
    uint64_t m_baseRssPages = 0;

    uint64_t m_mainAllocations = 0;
    uint64_t m_phaseEnd = 0;
    uint64_t m_phaseLength = 1500;
    std::size_t m_longTarget = 0;
    std::size_t m_shortLimit = 16;
    std::size_t m_maxLive = 0;
    std::size_t m_freeStart = 0;
    uint32_t m_upcomingSites[2] = {0, 0};

    GeneratorStats m_stats;
};

uint32_t Generator::addString(std::string text)
{
    m_strings.push_back(std::move(text));
    return static_cast<uint32_t>(m_strings.size() - 1);
}

std::string Generator::uniqueName(const std::string &candidate)
{
    if (m_usedNames.insert(candidate).second) {
        return candidate;
    }
    // keep the signature readable: number the identifier, not the argument list
    const auto paren = candidate.find('(');
    for (uint32_t n = 2;; ++n) {
        std::string numbered = candidate;
        numbered.insert(paren == std::string::npos ? numbered.size() : paren, std::to_string(n));
        if (m_usedNames.insert(numbered).second) {
            return numbered;
        }
    }
}

uint32_t Generator::addModule(const std::string &path, NameStyle style, const std::string &prefix, const std::string &sourceDir, uint64_t base)
{
    Module module;
    module.path = addString(path);
    module.base = base;
    module.style = style;
    module.prefix = prefix;
    module.sourceDir = sourceDir;
    m_modules.push_back(module);
    return static_cast<uint32_t>(m_modules.size() - 1);
}

uint32_t Generator::addFunction(uint32_t moduleIndex, uint32_t name, uint32_t file, uint32_t ipCount)
{
    Module &module = m_modules[moduleIndex];
    Random &random = m_modelRandom;
    Function function;
    function.name = name;
    function.file = file;
    function.module = moduleIndex;
    function.line = file == NONE ? 0 : static_cast<int>(random.between(12, 2400));
    function.firstIp = static_cast<uint32_t>(m_ips.size());
    function.ipCount = ipCount;

    const uint64_t address = module.base + module.nextOffset;
    const uint64_t length = random.between(4, 160) * 16;
    module.nextOffset += length;
    for (uint32_t i = 0; i < ipCount; ++i) {
        Ip ip;
        ip.address = address + (i + 1) * (length / (ipCount + 1)) + random.below(4);
        ip.function = static_cast<uint32_t>(m_functions.size());
        ip.line = file == NONE ? 0 : function.line + 1 + static_cast<int>(random.below(90));
        ip.firstInline = static_cast<uint32_t>(m_inlineFrames.size());
        ip.inlineCount = 0;
        // inlined frames only where debug information could describe them
        if (file != NONE && !m_inlineFunctions.empty() && random.percent(12)) {
            ip.inlineCount = random.percent(70) ? 1 : 2;
            for (uint32_t k = 0; k < ip.inlineCount; ++k) {
                m_inlineFrames.push_back(
                    {m_inlineFunctions[random.below(static_cast<uint32_t>(m_inlineFunctions.size()))], static_cast<int>(random.between(30, 1800))});
            }
        }
        m_ips.push_back(ip);
    }
    m_functions.push_back(function);
    return static_cast<uint32_t>(m_functions.size() - 1);
}

std::string Generator::makeName(const Module &module)
{
    Random &random = m_modelRandom;
    const std::string noun = random.pick(NOUNS);
    const std::string other = random.pick(NOUNS);
    std::string verb = random.pick(VERBS);
    switch (module.style) {
    case NameStyle::Cxx: {
        const std::string cls = module.prefix + "::" + noun + random.pick(QUALIFIERS);
        const uint32_t kind = random.below(100);
        if (kind < 6) {
            return cls + "::" + noun + random.pick(PARAMETERS);
        }
        if (kind < 12) {
            return module.prefix + "::(anonymous namespace)::" + verb + other + random.pick(PARAMETERS);
        }
        if (kind < 18) {
            return cls + "::" + verb + other + "()::{lambda(int)#1}::operator()(int) const";
        }
        return cls + "::" + verb + other + random.pick(PARAMETERS) + (random.percent(20) ? " const" : "");
    }
    case NameStyle::Qt:
        verb += other;
        return module.prefix + noun + (random.percent(40) ? "Private" : "") + "::" + verb + random.pick(PARAMETERS);
    case NameStyle::CSnake:
        return module.prefix + lowerCase(noun) + "_" + verb;
    case NameStyle::CCamel:
        verb[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(verb[0])));
        return module.prefix + verb + noun;
    case NameStyle::Fixed:
    case NameStyle::Stripped:
        break;
    }
    return verb + noun;
}

void Generator::fillModule(uint32_t moduleIndex, uint32_t count, const std::vector<const char *> &names)
{
    Random &random = m_modelRandom;
    std::vector<uint32_t> files;
    const std::string sourceDir = m_modules[moduleIndex].sourceDir;
    if (!sourceDir.empty()) {
        const uint32_t fileCount = std::max<uint32_t>(1, count / 8);
        std::unordered_set<std::string> paths;
        for (uint32_t i = 0; i < fileCount; ++i) {
            std::string path = sourceDir + lowerCase(random.pick(NOUNS)) + lowerCase(random.pick(VERBS)) + ".cpp";
            if (!paths.insert(path).second) {
                path.insert(path.size() - 4, std::to_string(i));
                paths.insert(path);
            }
            files.push_back(addString(path));
        }
    }
    const NameStyle style = m_modules[moduleIndex].style;
    const uint32_t total = names.empty() ? count : static_cast<uint32_t>(names.size());
    for (uint32_t i = 0; i < total; ++i) {
        uint32_t name = NONE;
        if (!names.empty()) {
            name = addString(uniqueName(names[i]));
        } else if (style != NameStyle::Stripped) {
            name = addString(uniqueName(makeName(m_modules[moduleIndex])));
        }
        const uint32_t file = files.empty() ? NONE : files[random.below(static_cast<uint32_t>(files.size()))];
        const auto function = addFunction(moduleIndex, name, file, 1 + random.below(6));
        m_callable.push_back(function);
        m_modules[moduleIndex].callable.push_back(function);
    }
}

uint32_t Generator::addNode(uint32_t ip, uint32_t parent)
{
    const uint32_t depth = parent == NONE ? 0 : m_nodes[parent].depth + 1;
    m_nodes.push_back({ip, parent, depth});
    return static_cast<uint32_t>(m_nodes.size() - 1);
}

uint32_t Generator::randomIpOf(uint32_t function)
{
    const Function &f = m_functions[function];
    return f.firstIp + m_modelRandom.below(f.ipCount);
}

uint32_t Generator::pickFunctionNear(uint32_t parentNode)
{
    Random &random = m_modelRandom;
    const uint32_t parentFunction = m_ips[m_nodes[parentNode].ip].function;
    const uint32_t roll = random.below(100);
    if (roll < 6) {
        return parentFunction; // recursion
    }
    const Module &module = m_modules[m_functions[parentFunction].module];
    if (roll < 60 && module.callable.size() > 8) {
        // most calls stay within one library
        return module.callable[random.below(static_cast<uint32_t>(module.callable.size()))];
    }
    return m_callable[random.below(static_cast<uint32_t>(m_callable.size()))];
}

void Generator::buildModel()
{
    Random &random = m_modelRandom;
    const uint32_t syllables = 2 + random.below(2);
    for (uint32_t i = 0; i < syllables; ++i) {
        m_appName += random.pick(SYLLABLES);
    }
    const std::string sourceRoot = "/home/builder/src/" + m_appName + "/src/";

    const uint32_t targetFunctions = std::clamp<uint32_t>(m_options.stacks / 5, 300, 200000);
    const std::string exePath = "/usr/bin/" + m_appName;
    const uint32_t exe =
        addModule(exePath, NameStyle::Cxx, m_appName + "::app", sourceRoot + "app/", 0x555555554000ULL + uint64_t(random.below(0x4000)) * 0x1000);
    // project libraries carry most of the code
    const uint32_t projectLibraries = std::min<uint32_t>(2 + targetFunctions / 1500, 60);
    std::vector<uint32_t> projectModules;
    for (uint32_t i = 0; i < projectLibraries; ++i) {
        const std::string component = COMPONENTS[i % std::size(COMPONENTS)] + (i >= std::size(COMPONENTS) ? std::to_string(i / std::size(COMPONENTS)) : "");
        std::string capitalised = component;
        capitalised[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(capitalised[0])));
        const std::string path = "/usr/lib/x86_64-linux-gnu/lib" + m_appName + capitalised + ".so.1";
        const uint64_t base = 0x7f2d00000000ULL + uint64_t(i) * 0x4000000 + uint64_t(random.below(0x400)) * 0x1000;
        projectModules.push_back(addModule(path, NameStyle::Cxx, m_appName + "::" + component, sourceRoot + component + "/", base));
    }
    std::vector<uint32_t> systemModuleIndices;
    for (const auto &system : systemModules()) {
        const uint64_t base = 0x7f3000000000ULL + uint64_t(systemModuleIndices.size()) * 0x8000000 + uint64_t(random.below(0x400)) * 0x1000;
        systemModuleIndices.push_back(addModule(system.path, system.style, system.prefix, "", base));
    }
    const uint32_t libc = systemModuleIndices[0];
    const uint32_t libstdcxx = systemModuleIndices[1];

    // header templates that get inlined into other code; no code of their own
    for (const auto &helper : INLINE_HELPERS) {
        const uint32_t file = addString(helper.file);
        for (int variant = 0; variant < 4; ++variant) {
            const std::string cls = m_appName + "::" + random.pick(COMPONENTS) + "::" + random.pick(NOUNS);
            const std::string name = uniqueName(replaceAll(helper.name, '@', cls));
            m_inlineFunctions.push_back(addFunction(libstdcxx, addString(name), file, 0));
        }
    }
    const uint32_t opNew = addFunction(libstdcxx, addString("operator new(unsigned long)"), NONE, 1);
    const uint32_t opNewArray = addFunction(libstdcxx, addString("operator new[](unsigned long)"), NONE, 1);
    m_opNewIp = m_functions[opNew].firstIp;
    m_opNewArrayIp = m_functions[opNewArray].firstIp;

    // start-up and thread entry frames; the reader knows some of these names
    const uint32_t exeFile = addString(sourceRoot + "app/main.cpp");
    const uint32_t registryFile = addString(sourceRoot + "app/registry.cpp");
    const uint32_t start = addFunction(exe, addString("_start"), NONE, 1);
    const uint32_t mainFunction = addFunction(exe, addString("main"), exeFile, 3);
    const uint32_t globalInit = addFunction(exe, addString("_GLOBAL__sub_I_registry.cpp"), registryFile, 1);
    const uint32_t staticInit = addFunction(exe, addString("__static_initialization_and_destruction_0"), registryFile, 1);
    const uint32_t threadEntry = addFunction(exe, addString(m_appName + "::app::WorkerPool::threadMain(void*)"), exeFile, 1);

    for (std::size_t i = 0; i < systemModuleIndices.size(); ++i) {
        fillModule(systemModuleIndices[i], systemModules()[i].functions, systemModules()[i].names);
    }
    const uint32_t libcStartMain = addFunction(libc, addString("__libc_start_main"), NONE, 1);
    const uint32_t libcCallMain = addFunction(libc, addString("__libc_start_call_main"), NONE, 1);
    const uint32_t callInit = addFunction(libc, addString("call_init"), NONE, 1);
    const uint32_t clone = addFunction(libc, addString("clone3"), NONE, 1);
    const uint32_t startThread = addFunction(libc, addString("start_thread"), NONE, 1);

    const uint32_t exeFunctions = targetFunctions / 4;
    fillModule(exe, exeFunctions, {});
    const uint32_t perLibrary = std::max<uint32_t>(20, (targetFunctions - exeFunctions) / projectLibraries);
    for (const auto module : projectModules) {
        fillModule(module, perLibrary, {});
    }

    // the roots of every call stack
    const uint32_t startNode = addNode(randomIpOf(start), NONE);
    const uint32_t libcNode = addNode(randomIpOf(libcStartMain), startNode);
    const uint32_t callMainNode = addNode(randomIpOf(libcCallMain), libcNode);
    m_mainNode = addNode(randomIpOf(mainFunction), callMainNode);
    const uint32_t callInitNode = addNode(randomIpOf(callInit), libcNode);
    const uint32_t globalInitNode = addNode(randomIpOf(globalInit), callInitNode);
    m_staticInitNode = addNode(randomIpOf(staticInit), globalInitNode);
    const uint32_t cloneNode = addNode(randomIpOf(clone), NONE);
    const uint32_t startThreadNode = addNode(randomIpOf(startThread), cloneNode);
    m_threadNode = addNode(randomIpOf(threadEntry), startThreadNode);
    m_firstGenericNode = static_cast<uint32_t>(m_nodes.size());
}

void Generator::buildTree()
{
    Random &random = m_modelRandom;
    constexpr uint32_t MAX_DEPTH = 56;
    const uint32_t total = std::max(m_options.stacks, m_firstGenericNode + 16);
    m_nodes.reserve(total + total / 2);
    uint32_t previous = m_mainNode;
    while (m_nodes.size() < total) {
        const auto count = static_cast<uint32_t>(m_nodes.size());
        uint32_t parent;
        const uint32_t roll = random.below(100);
        if (roll < 55) {
            parent = previous; // deepen the current call chain
        } else if (roll < 88 && count > m_firstGenericNode) {
            parent = m_firstGenericNode + random.below(count - m_firstGenericNode);
        } else if (roll < 96) {
            parent = m_mainNode;
        } else {
            parent = m_threadNode;
        }
        if (m_nodes[parent].depth >= MAX_DEPTH) {
            parent = m_mainNode;
        }
        const uint32_t function = pickFunctionNear(parent);
        previous = addNode(randomIpOf(function), parent);
    }
}

void Generator::addSite(uint32_t node, Lifetime lifetime, bool isStatic)
{
    Random &random = m_modelRandom;
    Site site;
    // many C++ allocations go through operator new, whose frame the reader
    // charges to the caller
    if (random.percent(35)) {
        node = addNode(random.percent(80) ? m_opNewIp : m_opNewArrayIp, node);
    }
    site.node = node;
    site.lifetime = lifetime;
    site.firstInfo = static_cast<uint32_t>(m_infos.size());
    const uint32_t countRoll = random.below(100);
    site.infoCount = countRoll < 45 ? 1 : countRoll < 85 ? 2 + random.below(3) : 5 + random.below(4);

    // Size ranges in per mille by lifetime: big buffers are mostly short-lived,
    // long-lived data is mostly small objects, leaks are small.
    struct Range {
        uint64_t low;
        uint64_t high;
    };
    static constexpr Range ranges[] = {{8, 64}, {64, 512}, {512, 8192}, {8192, 256 * 1024}, {256 * 1024, 16 * 1024 * 1024}};
    static constexpr uint32_t perMille[][5] = {
        {350, 300, 250, 90, 10}, // temporary
        {420, 300, 230, 50, 0}, // short
        {520, 330, 145, 5, 0}, // long
        {600, 350, 50, 0, 0}, // leaky
    };
    const auto &weights = perMille[static_cast<int>(lifetime)];
    uint32_t roll = random.below(1000);
    std::size_t range = 0;
    while (range + 1 < std::size(ranges) && roll >= weights[range]) {
        roll -= weights[range];
        ++range;
    }
    const uint64_t low = ranges[range].low;
    const uint64_t high = ranges[range].high;
    // sizes of one site are distinct, so a site's (size, stack) pairs are too
    const bool aligned = random.percent(50);
    uint64_t size = random.between(low, high);
    if (aligned) {
        size = (size + 7) & ~uint64_t(7);
    }
    for (uint32_t i = 0; i < site.infoCount; ++i) {
        m_infos.push_back({size, node, 0});
        // the sizes of one site stay within about twice their range
        const uint64_t step = 1 + random.below(static_cast<uint32_t>(std::max<uint64_t>(1, (high - low) / (aligned ? 64 : 8))));
        size += aligned ? 8 * step : step;
    }
    if (isStatic) {
        m_staticSites.push_back(site);
    } else {
        m_sites.push_back(site);
    }
}

void Generator::buildSites()
{
    Random &random = m_modelRandom;
    const auto treeNodes = static_cast<uint32_t>(m_nodes.size());
    std::vector<uint8_t> hasChildren(treeNodes, 0);
    for (uint32_t i = 0; i < treeNodes; ++i) {
        if (m_nodes[i].parent != NONE) {
            hasChildren[m_nodes[i].parent] = 1;
        }
    }

    // globals set up before main and never freed
    const uint32_t staticSites = 3 + random.below(6);
    for (uint32_t i = 0; i < staticSites; ++i) {
        const uint32_t function = m_callable[random.below(static_cast<uint32_t>(m_callable.size()))];
        const uint32_t node = addNode(randomIpOf(function), m_staticInitNode);
        addSite(node, Lifetime::Leaky, true);
        if (i == 0 && m_functions[function].name != NONE) {
            m_suppression = "leak:" + m_strings[m_functions[function].name];
        }
    }

    for (uint32_t node = m_firstGenericNode; node < treeNodes; ++node) {
        if (hasChildren[node] && !random.percent(12)) {
            continue;
        }
        const uint32_t roll = random.below(100);
        const Lifetime lifetime = roll < 25 ? Lifetime::Temporary : roll < 60 ? Lifetime::Short : roll < 97 ? Lifetime::Long : Lifetime::Leaky;
        addSite(node, lifetime, false);
    }
    // hot sites should be spread over the tree, not clustered where it started
    for (auto i = static_cast<uint32_t>(m_sites.size()); i > 1; --i) {
        std::swap(m_sites[i - 1], m_sites[random.below(i)]);
    }
}

uint32_t Generator::ensureString(uint32_t string)
{
    if (string == NONE) {
        return 0;
    }
    if (!m_stringFile[string]) {
        const std::string &text = m_strings[string];
        m_out.startRecord(TraceFormat::Record::String);
        if (m_options.format >= 3) {
            m_out.putHex(text.size());
            m_out.put(' ');
        }
        m_out.putText(text.data(), text.size());
        m_out.endRecord();
        m_stringFile[string] = ++m_fileStrings;
    }
    return m_stringFile[string];
}

uint32_t Generator::ensureIp(uint32_t ipIndex)
{
    if (m_ipFile[ipIndex]) {
        return m_ipFile[ipIndex];
    }
    const Ip &ip = m_ips[ipIndex];
    const Function &function = m_functions[ip.function];
    // strings first: the reader recognises operator new only by an earlier string
    const uint32_t module = ensureString(m_modules[function.module].path);
    const uint32_t name = ensureString(function.name);
    const uint32_t file = ensureString(function.file);
    for (uint32_t i = 0; i < ip.inlineCount; ++i) {
        const Function &inlined = m_functions[m_inlineFrames[ip.firstInline + i].function];
        ensureString(inlined.name);
        ensureString(inlined.file);
    }
    m_out.startRecord(TraceFormat::Record::InstructionPointer);
    m_out.putHex(ip.address);
    m_out.put(' ');
    m_out.putHex(module);
    if (name) {
        m_out.put(' ');
        m_out.putHex(name);
        m_out.put(' ');
        m_out.putHex(file);
        m_out.put(' ');
        m_out.putHex(static_cast<uint64_t>(ip.line));
        for (uint32_t i = 0; i < ip.inlineCount; ++i) {
            const InlineFrame &frame = m_inlineFrames[ip.firstInline + i];
            const Function &inlined = m_functions[frame.function];
            m_out.put(' ');
            m_out.putHex(m_stringFile[inlined.name]);
            m_out.put(' ');
            m_out.putHex(m_stringFile[inlined.file]);
            m_out.put(' ');
            m_out.putHex(static_cast<uint64_t>(frame.line));
        }
    }
    m_out.endRecord();
    m_ipFile[ipIndex] = ++m_fileIps;
    return m_fileIps;
}

uint32_t Generator::ensureNode(uint32_t node)
{
    if (m_nodeFile[node]) {
        return m_nodeFile[node];
    }
    // a node must follow its parent: write the missing ancestors outermost first
    m_chain.clear();
    for (uint32_t n = node; n != NONE && !m_nodeFile[n]; n = m_nodes[n].parent) {
        m_chain.push_back(n);
    }
    for (auto it = m_chain.rbegin(); it != m_chain.rend(); ++it) {
        const Node &current = m_nodes[*it];
        const uint32_t ip = ensureIp(current.ip);
        m_out.startRecord(TraceFormat::Record::Trace);
        m_out.putHex(ip);
        m_out.put(' ');
        m_out.putHex(current.parent == NONE ? 0 : m_nodeFile[current.parent]);
        m_out.endRecord();
        m_nodeFile[*it] = ++m_fileNodes;
    }
    return m_nodeFile[node];
}

uint32_t Generator::ensureInfo(uint32_t infoIndex)
{
    Info &info = m_infos[infoIndex];
    if (!info.reference) {
        const uint32_t trace = ensureNode(info.node);
        if (m_options.format >= 1) {
            m_out.startRecord(TraceFormat::Record::AllocationInfo);
            m_out.putHex(info.size);
            m_out.put(' ');
            m_out.putHex(trace);
            m_out.endRecord();
            info.reference = ++m_fileInfos;
        } else {
            info.reference = trace;
        }
    }
    return info.reference;
}

void Generator::writeHeader()
{
    switch (m_options.format) {
    case 0:
        // the oldest format has no version record at all
        break;
    case 1:
        // the one program version that wrote format 1 without saying so
        m_out.putText("v 10200\n", 8);
        break;
    default:
        m_out.startRecord(TraceFormat::Record::Version);
        m_out.putHex(TraceFormat::ProgramVersion);
        m_out.put(' ');
        m_out.putHex(static_cast<uint64_t>(m_options.format));
        m_out.endRecord();
        break;
    }
    const std::string comment = "# memloupe-tracegen seed " + std::to_string(m_options.seed) + ", " + std::to_string(m_options.stacks) + " stacks\n";
    m_out.putText(comment.data(), comment.size());

    Random &random = m_modelRandom;
    const std::string command = "X /usr/bin/" + m_appName + " --threads " + std::to_string(2 + random.below(15)) + " --input /srv/data/" + m_appName + "-"
        + std::to_string(random.below(100000)) + ".db\n";
    m_out.putText(command.data(), command.size());

    static constexpr uint64_t memoryPages[] = {0x200000, 0x400000, 0x800000, 0x1000000};
    m_out.startRecord(TraceFormat::Record::SystemInfo);
    m_out.putHex(0x1000);
    m_out.put(' ');
    m_out.putHex(random.pick(memoryPages));
    m_out.endRecord();
    m_baseRssPages = 0x1800 + random.below(0x2000);

    if (!m_suppression.empty()) {
        m_out.startRecord(TraceFormat::Record::Suppression);
        m_out.putText(m_suppression.data(), m_suppression.size());
        m_out.endRecord();
    }
}

void Generator::writeTimeStamp()
{
    const uint64_t stamp = std::max(m_clockNs / NS_PER_MS, m_lastStamp + 1);
    m_lastStamp = stamp;
    m_out.startRecord(TraceFormat::Record::TimeStamp);
    m_out.putHex(stamp);
    m_out.endRecord();

    // resident size follows the heap with allocator overhead and some noise
    const uint64_t heapExtent = m_heapTop - 0x55555556b010ULL;
    m_out.startRecord(TraceFormat::Record::ResidentSetSize);
    m_out.putHex(m_baseRssPages + (m_liveBytes + m_liveBytes / 8 + heapExtent / 4) / 4096 + m_random.below(64));
    m_out.endRecord();

    m_nextStampNs = (stamp + 2 + m_random.below(8)) * NS_PER_MS;
}

void Generator::advanceClock(uint64_t ns)
{
    m_clockNs += ns;
    if (m_clockNs >= m_nextStampNs) {
        writeTimeStamp();
    }
}

inline Block Generator::allocate(uint32_t infoIndex)
{
    const uint32_t reference = ensureInfo(infoIndex);
    const uint64_t size = m_infos[infoIndex].size;
    uint64_t rounded = 0;
    const uint32_t cls = sizeClass(size, &rounded);
    auto &freeList = m_freeAddresses[cls];
    uint64_t address;
    if (!freeList.empty()) {
        address = freeList.back();
        freeList.pop_back();
    } else if (rounded < MMAP_THRESHOLD) {
        // a 16-byte chunk header in front of every block
        address = m_heapTop + 16;
        m_heapTop += rounded + 16;
    } else {
        address = m_mmapTop + 16;
        m_mmapTop += (rounded + 16 + 4095) & ~uint64_t(4095);
    }

    m_out.startRecord(TraceFormat::Record::Allocation);
    if (m_options.format >= 1) {
        m_out.putHex(reference - 1);
    } else {
        m_out.putHex(size);
        m_out.put(' ');
        m_out.putHex(reference);
        m_out.put(' ');
        m_out.putHex(address);
    }
    m_out.endRecord();

    m_liveBytes += size;
    m_stats.peak = std::max(m_stats.peak, m_liveBytes);
    ++m_stats.allocations;
    m_hasPending = true;
    m_pendingAddress = address;
    m_pendingInfo = infoIndex;
    return {address, infoIndex, reference - 1, static_cast<uint32_t>(size), cls};
}

inline void Generator::release(const Block &block)
{
    m_out.startRecord(TraceFormat::Record::Deallocation);
    m_out.putHex(m_options.format >= 1 ? block.infoRecord : block.address);
    m_out.endRecord();

    if (m_hasPending && m_pendingAddress == block.address) {
        ++m_stats.temporary;
    }
    m_hasPending = false;
    m_liveBytes -= block.size;
    m_freeAddresses[block.sizeClass].push_back(block.address);
}

bool Generator::conflictsWithPending(const Block &block) const
{
    // Formats with allocation infos call a free temporary when it has the info
    // of the allocation just before it, the oldest format when it has its
    // address. Never free a different block of the same info right after an
    // allocation, so that both agree and the events stay format-neutral.
    return m_hasPending && block.info == m_pendingInfo && block.address != m_pendingAddress;
}

uint32_t Generator::freeRun(std::vector<Block> &pool, std::size_t start, uint32_t count)
{
    // blocks allocated together tend to die together, as a container's nodes do
    uint32_t freed = 0;
    for (std::size_t index = start; freed < count && index < pool.size(); ++index) {
        const Block block = pool[index];
        if (conflictsWithPending(block)) {
            continue;
        }
        pool[index] = pool.back();
        pool.pop_back();
        tick();
        release(block);
        ++freed;
    }
    return freed;
}

void Generator::freeRecent()
{
    const std::size_t size = m_short.size();
    std::size_t index = size - 1 - m_random.below(static_cast<uint32_t>(std::min<std::size_t>(size, 8)));
    // Within a burst the newest blocks share the info of the allocation just
    // made; look further back for one of an earlier burst. The block just
    // allocated never conflicts, so the search ends at the latest there.
    while (conflictsWithPending(m_short[index])) {
        index = index ? index - 1 : size - 1;
    }
    const Block block = m_short[index];
    m_short[index] = m_short.back();
    m_short.pop_back();
    release(block);
}

uint32_t Generator::pickInfo(const Site &site)
{
    if (site.infoCount == 1 || m_random.percent(60)) {
        return site.firstInfo;
    }
    return site.firstInfo + m_random.below(site.infoCount);
}

void Generator::startPhase()
{
    // the live set swings between phases: loading, steady work, clean-up
    const std::size_t reachable = std::min<std::size_t>(m_maxLive, 256 + m_mainAllocations / 3);
    m_longTarget = reachable * (5 + m_random.below(96)) / 100;
    m_shortLimit = 4 + m_random.below(252);
    m_phaseEnd = m_mainAllocations + m_phaseLength + m_random.below(static_cast<uint32_t>(m_phaseLength));
    m_phaseLength = std::min<uint64_t>(m_phaseLength * 3 / 2, 3000000);
}

void Generator::tick()
{
    // a few hundred nanoseconds per heap operation
    m_clockNs += 120 + (m_random.next() >> 54);
    if (m_clockNs >= m_nextStampNs) {
        writeTimeStamp();
    }
}

void Generator::step()
{
    if (m_mainAllocations >= m_phaseEnd) {
        startPhase();
    }
    const uint64_t bits = m_random.next();
    // Heap operations come in bursts, a loop filling or clearing a container:
    // half alone, the rest in runs of up to 85.
    const uint32_t kind = bits & 0xff;
    const auto spread = static_cast<uint32_t>(bits >> 8);
    uint32_t burst = kind < 128 ? 1 : kind < 192 ? 2 + (spread & 3) : kind < 236 ? 6 + (spread & 15) : 22 + (spread & 63);
    if (((bits >> 16) & 0xffff) < 3) {
        // the odd pause for I/O
        m_clockNs += (1 + ((bits >> 32) & 31)) * NS_PER_MS;
    }

    if (!m_long.empty()) {
        const bool over = m_long.size() > m_longTarget;
        if (m_long.size() >= m_maxLive || m_random.percent(over ? 45 : 8)) {
            const std::size_t start = m_freeStart < m_long.size() ? m_freeStart : m_long.size() - 1;
            if (freeRun(m_long, start, burst) > 0) {
                prepareNextStep();
                return;
            }
        }
    }

    if (m_options.allocationLimit) {
        burst = static_cast<uint32_t>(std::min<uint64_t>(burst, m_options.allocationLimit - m_mainAllocations));
    }
    m_mainAllocations += burst;
    const Site &site = m_sites[m_upcomingSites[0]];
    m_upcomingSites[0] = m_upcomingSites[1];
    m_upcomingSites[1] = m_random.skewedBelow(static_cast<uint32_t>(m_sites.size()));
    __builtin_prefetch(&m_sites[m_upcomingSites[1]]);
    const uint32_t info = pickInfo(site);
    switch (site.lifetime) {
    case Lifetime::Temporary:
        for (uint32_t i = 0; i < burst; ++i) {
            tick();
            release(allocate(info));
        }
        break;
    case Lifetime::Short:
        for (uint32_t i = 0; i < burst; ++i) {
            tick();
            m_short.push_back(allocate(info));
            if (m_short.size() > m_shortLimit) {
                freeRecent();
            }
        }
        break;
    case Lifetime::Long:
        for (uint32_t i = 0; i < burst; ++i) {
            tick();
            m_long.push_back(allocate(info));
        }
        break;
    case Lifetime::Leaky:
        for (uint32_t i = 0; i < burst; ++i) {
            tick();
            const Block block = allocate(info);
            if (!m_random.oneIn(50)) {
                m_long.push_back(block);
            }
        }
        break;
    }
    // fetched during the last step, so this load should not stall
    __builtin_prefetch(&m_infos[m_sites[m_upcomingSites[0]].firstInfo]);
    prepareNextStep();
}

void Generator::prepareNextStep()
{
    // Draw where the next run of frees starts now and fetch it in the
    // background: random blocks of the long-lived set are rarely in cache.
    if (!m_long.empty()) {
        m_freeStart = m_random.below(static_cast<uint32_t>(m_long.size()));
        __builtin_prefetch(&m_long[m_freeStart]);
    }
}

bool Generator::done() const
{
    if (m_out.failed()) {
        return true;
    }
    if (m_options.allocationLimit) {
        return m_mainAllocations >= m_options.allocationLimit;
    }
    // leave room for freeing what is still live at exit
    const uint64_t freeRecord = m_options.format >= 1 ? 8 : 16;
    return m_out.written() + (m_short.size() + m_long.size() + 4) * freeRecord >= m_options.sizeLimit;
}

GeneratorStats Generator::run()
{
    buildModel();
    buildTree();
    buildSites();
    m_stringFile.assign(m_strings.size(), 0);
    m_ipFile.assign(m_ips.size(), 0);
    m_nodeFile.assign(m_nodes.size(), 0);
    m_maxLive = std::clamp<std::size_t>(m_options.stacks * 2, 4096, 512 * 1024);

    writeHeader();

    // static initialisers run before main and keep their blocks forever
    m_clockNs = NS_PER_MS / 2;
    m_nextStampNs = NS_PER_MS;
    for (const Site &site : m_staticSites) {
        const uint32_t count = 1 + m_random.below(3);
        for (uint32_t i = 0; i < count; ++i) {
            allocate(pickInfo(site));
            advanceClock(2000 + m_random.below(20000));
        }
    }

    m_upcomingSites[0] = m_random.skewedBelow(static_cast<uint32_t>(m_sites.size()));
    m_upcomingSites[1] = m_random.skewedBelow(static_cast<uint32_t>(m_sites.size()));
    while (!done()) {
        step();
    }

    // a last scratch buffer, then everything but the leaks is freed at exit
    release(allocate(m_sites.front().firstInfo));
    for (auto *pool : {&m_short, &m_long}) {
        while (!pool->empty()) {
            const Block block = pool->back();
            pool->pop_back();
            release(block);
            advanceClock(40 + m_random.below(64));
        }
    }
    m_clockNs += NS_PER_MS;
    writeTimeStamp();

    m_stats.leaked = m_liveBytes;
    m_stats.traceNodes = m_fileNodes;
    m_stats.instructionPointers = m_fileIps;
    m_stats.strings = m_fileStrings;
    m_stats.lastTimeStamp = m_lastStamp;
    return m_stats;
}
}

uint32_t defaultStacks(uint64_t sizeLimit)
{
    return static_cast<uint32_t>(std::clamp<uint64_t>(sizeLimit / 4096, 4096, 262144));
}

GeneratorStats generateTrace(const GeneratorOptions &options, TraceOutput &output)
{
    Generator generator(options, output);
    return generator.run();
}
