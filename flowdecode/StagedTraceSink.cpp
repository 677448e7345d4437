#include "StagedTraceSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace netflowlib {

bool ReplaceFileAtomically(const std::string& sFileName, const std::string& sText) {
    const std::string temporary = sFileName + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const char* p = sText.data();
    std::size_t left = sText.size();
    bool ok = true;
    while (ok && left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) {
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    ok = (::close(fd) == 0) && ok;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // Swapping the two names is as atomic for a reader as renaming over the old file, but ext4
    // flushes the new file's data on a rename that replaces a file, which costs a trace-sized write
    // to disk per datagram; after the swap the old content is simply unlinked. Where the old file is
    // missing or the swap is not supported, a plain rename does.
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, sFileName.c_str(), RENAME_EXCHANGE) == 0) {
        ::unlink(temporary.c_str());
        return true;
    }
    if (std::rename(temporary.c_str(), sFileName.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

StagedTraceSink::StagedTraceSink(std::string sTraceFileName, std::string sMarkerFileName)
    : sTraceFileName_(std::move(sTraceFileName)), sMarkerFileName_(std::move(sMarkerFileName)) {
    sTrace_.reserve(64 * 1024);
}

void StagedTraceSink::BeginTrace(const std::string& sHeaderText) {
    sTrace_.assign(sHeaderText);
    bTraceStarted_ = true;
}

void StagedTraceSink::Line(const std::string& sLine) {
    // A line without a header would have been appended to the previous datagram's file; keeping
    // it with the current trace is the only sensible reading, and the decoder never does that.
    sTrace_.append(sLine);
}

void StagedTraceSink::Marker(const std::string& sText) {
    sMarker_.assign(sText);
    bMarkerSet_ = true;
}

void StagedTraceSink::Finish() {
    // Losing a trace is not worth stopping the collector for: as with the line-by-line writer, a
    // failed write is simply not there.
    if (bTraceStarted_) ReplaceFileAtomically(sTraceFileName_, sTrace_);
    if (bMarkerSet_) ReplaceFileAtomically(sMarkerFileName_, sMarker_);
    sTrace_.clear();
    bTraceStarted_ = false;
    bMarkerSet_ = false;
}

}  // namespace netflowlib
