/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Fuzz target for the line tokenizer: splits the input into lines the way the
    reader's stream source does and reads every line field by field, in an order
    and string form chosen by the first byte.
*/

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "util/linereader.h"

namespace
{
void check(bool condition)
{
    // a broken invariant is a finding like any memory error
    if (!condition) {
        abort();
    }
}

template<typename T>
bool readAndCheck(LineReader &reader)
{
    const auto before = reader.position();
    T value{};
    const bool ok = reader >> value;
    // a failed read leaves the position alone, a successful one moves forward
    check(ok ? reader.position() > before : reader.position() == before);
    check(reader.position() <= reader.line().size());
    return ok;
}

bool readString(LineReader &reader)
{
    const auto before = reader.position();
    std::string value;
    const bool ok = reader >> value;
    check(reader.position() <= reader.line().size());
    if (!ok) {
        check(value.empty());
        return false;
    }
    check(reader.position() > before);
    if (!reader.expectsSizedStrings()) {
        check(!value.empty() && value.find(' ') == std::string::npos);
    }
    return true;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    const uint8_t order = data[0];
    std::istringstream in(std::string(reinterpret_cast<const char *>(data) + 1, size - 1));

    LineReader reader;
    reader.setExpectedSizedStrings(order & 1);
    while (reader.getLine(in)) {
        const auto line = reader.line();
        check(line.find('\n') == std::string_view::npos);
        check(reader.restOfLine().size() == (line.size() > 2 ? line.size() - 2 : 0));
        check(line.empty() ? reader.mode() == '#' : reader.mode() == line.front());

        // cycle through the field kinds, starting where the first byte says; a
        // failed read consumes nothing, so give up once every kind has failed
        unsigned kind = order >> 1;
        int failures = 0;
        for (int fields = 0; fields < 256 && failures < 5; ++fields, ++kind) {
            bool ok = false;
            switch (kind % 5) {
            case 0:
                ok = readAndCheck<int64_t>(reader);
                break;
            case 1:
                ok = readAndCheck<uint64_t>(reader);
                break;
            case 2:
                ok = readAndCheck<uint32_t>(reader);
                break;
            case 3:
                ok = readAndCheck<int>(reader);
                break;
            default:
                ok = readString(reader);
                break;
            }
            failures = ok ? 0 : failures + 1;
        }
    }
    return 0;
}
