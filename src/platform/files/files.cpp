#include "platform/files/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/codepage/codepage.h"

namespace files {

namespace {

bool startsWithDrive(std::string_view path) {
    if (path.size() < 2 || path[1] != ':') return false;
    const char c = path[0];
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Turns the ANSI path into UTF-8 with '/' separators.
std::string unixText(std::string_view ansi) {
    std::string text = codepage::utf8FromAnsi(ansi);
    for (char& c : text) {
        if (c == '\\') c = '/';
    }
    return text;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports whether the close went well (buffered writes).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

}  // namespace

std::filesystem::path FileSystem::map(std::string_view ansiPath) const {
    if (startsWithDrive(ansiPath)) {
        const char letter = static_cast<char>(ansiPath[0] | 0x20);
        std::string rest = unixText(ansiPath.substr(2));
        // "c:\x" and "c:x" both mean the folder of drive c; there is no
        // current directory per drive here.
        while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
        return drivesRoot() / std::string(1, letter) / rest;
    }
    return std::filesystem::path(unixText(ansiPath));
}

std::optional<std::string_view> nameAfterLastSeparator(std::string_view path) {
    const size_t pos = path.find_last_of("\\/");
    if (pos == std::string_view::npos) return std::nullopt;
    return path.substr(pos + 1);
}

bool isPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (char c : name) {
        if (isSeparator(c) || c == '\0') return false;
    }
    return true;
}

ReadResult readWholeFile(const std::filesystem::path& path, std::string& contents) {
    contents.clear();
    // Opened without blocking, so that a FIFO or a device named by a page
    // cannot stall the call; only regular files are read.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT ? ReadResult::NotFound : ReadResult::Failed;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return ReadResult::Failed;
    std::string data;
    data.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(fd.get(), data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return ReadResult::Failed;
        }
        if (n == 0) break;  // the file shrank while we read it
        done += static_cast<size_t>(n);
    }
    data.resize(done);
    contents = std::move(data);
    return ReadResult::Ok;
}

bool writeWholeFile(const std::filesystem::path& path, std::string_view contents) {
    // Only a regular file is replaced: the type is checked before anything is
    // truncated, and the open does not block on a FIFO.
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666));
    if (fd.get() < 0) return false;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (::ftruncate(fd.get(), 0) != 0) return false;
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
    size_t done = 0;
    while (done < contents.size()) {
        const ssize_t n = ::write(fd.get(), contents.data() + done, contents.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return fd.close();
}

}  // namespace files
