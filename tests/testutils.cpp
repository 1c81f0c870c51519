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

std::string suffixFor(Compression compression)
{
    switch (compression) {
    case Compression::Gzip:
        return ".gz";
    case Compression::Zstd:
        return ".zst";
    case Compression::None:
        break;
    }
    return {};
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
