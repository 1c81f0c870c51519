/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

/*
    Pass-through input filter that counts the bytes it forwards, so the reader
    can report progress without asking the file system on every line.
*/

#pragma once

#include <cstdint>

#include <boost/iostreams/concepts.hpp>
#include <boost/iostreams/operations.hpp>

class ByteCounter : public boost::iostreams::multichar_input_filter
{
public:
    template<typename Source>
    std::streamsize read(Source &src, char *s, std::streamsize n)
    {
        const auto result = boost::iostreams::read(src, s, n);
        if (result > 0) {
            m_count += result;
        }
        return result;
    }

    int64_t count() const
    {
        return m_count;
    }

private:
    int64_t m_count = 0;
};
