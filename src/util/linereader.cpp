/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "linereader.h"

#include <cstdio>

LineReader::LineReader()
{
    m_buffer.reserve(1024);
}

void LineReader::reportNonHex(char c, std::size_t offset)
{
    fprintf(stderr, "unexpected non-hex char: %d %zx\n", static_cast<int>(c), offset);
    fflush(stderr);
}

bool LineReader::operator>>(std::string &str)
{
    const std::size_t size = m_line.size();
    if (m_expectSizedStrings) {
        uint64_t length = 0;
        if (!readHex(length)) {
            return false;
        }
        if (length > size - m_it) {
            return false;
        }
        str.assign(m_line.data() + m_it, length);
        m_it += length;
        if (m_it < size) {
            ++m_it; // the separating blank
        }
        return true;
    }

    const std::size_t start = m_it;
    std::size_t stop = start;
    while (stop < size && m_line[stop] != ' ') {
        ++stop;
    }
    if (stop == start) {
        return false;
    }
    str.assign(m_line.data() + start, stop - start);
    m_it = stop < size ? stop + 1 : stop;
    return true;
}
