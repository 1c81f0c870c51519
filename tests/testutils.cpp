/*
    SPDX-FileCopyrightText: 2026 memloupe developers
    SPDX-License-Identifier: GPL-2.0-or-later
*/

#include "testutils.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include <boost/iostreams/filter/gzip.hpp>
#include <boost/iostreams/filter/zstd.hpp>
#include <boost/iostreams/filtering_stream.hpp>

#include <QTest>

std::string hex(uint64_t value)
{
    char buffer[32];
    snprintf(buffer, sizeof(buffer), "%llx", static_cast<unsigned long long>(value));
    return buffer;
}

std::string s(const std::string &text)
{
    return "s " + hex(text.size()) + " " + text + "\n";
}

std::string stringRecord(int format, const std::string &text)
{
    return format >= 3 ? s(text) : "s " + text + "\n";
}

QString costsText(const AllocationData &data)
{
    return QStringLiteral("allocations=%1 temporary=%2 leaked=%3 peak=%4").arg(data.allocations).arg(data.temporary).arg(data.leaked).arg(data.peak);
}

AllocationData cost(int64_t allocations, int64_t temporary, int64_t leaked, int64_t peak)
{
    AllocationData data;
    data.allocations = allocations;
    data.temporary = temporary;
    data.leaked = leaked;
    data.peak = peak;
    return data;
}

char *toString(const AllocationData &cost)
{
    return QTest::toString(
        QStringLiteral("{allocations %1, temporary %2, leaked %3, peak %4}").arg(cost.allocations).arg(cost.temporary).arg(cost.leaked).arg(cost.peak));
}

QString costsText(int64_t allocations, int64_t temporary, int64_t leaked, int64_t peak)
{
    return costsText(cost(allocations, temporary, leaked, peak));
}

bool writeTraceFile(const std::string &path, const std::string &contents, Compression compression)
{
    std::ofstream file(path, std::ios_base::out | std::ios_base::binary | std::ios_base::trunc);
    if (!file) {
        return false;
    }
    {
        boost::iostreams::filtering_ostream out;
        if (compression == Compression::Gzip) {
            out.push(boost::iostreams::gzip_compressor());
        } else if (compression == Compression::Zstd) {
            out.push(boost::iostreams::zstd_compressor());
        }
        out.push(file);
        out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        out.flush();
        // the compressor writes its trailer when the chain is destroyed
    }
    file.close();
    return static_cast<bool>(file);
}

StderrCapture::StderrCapture()
{
    char name[] = "/tmp/memloupe-stderr-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) {
        return;
    }
    m_path = name;
    fflush(stderr);
    m_savedFd = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
    m_active = true;
}

StderrCapture::~StderrCapture()
{
    finish();
    if (!m_path.empty()) {
        unlink(m_path.c_str());
    }
}

std::string StderrCapture::finish()
{
    if (!m_active) {
        return m_output;
    }
    m_active = false;
    fflush(stderr);
    dup2(m_savedFd, STDERR_FILENO);
    close(m_savedFd);
    std::ifstream in(m_path, std::ios_base::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    m_output = buffer.str();
    return m_output;
}
