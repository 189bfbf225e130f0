#include "python/index/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#ifdef MAP_POPULATE
#define MAP_POPULATE_IF_ANY MAP_POPULATE  // one call maps every page rather than a fault per few
#else
#define MAP_POPULATE_IF_ANY 0
#endif
#endif

#include "text/keyed_hash.h"

namespace orvel::python {

namespace {

#ifdef _WIN32
int open_file(const std::filesystem::path& path, int flags) { return _wopen(path.c_str(), flags | _O_BINARY, _S_IREAD | _S_IWRITE); }
long long write_some(int fd, const char* data, std::size_t n) { return _write(fd, data, static_cast<unsigned>(std::min<std::size_t>(n, 1u << 30))); }
long long read_some(int fd, char* data, std::size_t n) { return _read(fd, data, static_cast<unsigned>(std::min<std::size_t>(n, 1u << 30))); }
int sync_file(int fd) { return _commit(fd); }
int close_file(int fd) { return _close(fd); }
constexpr int kCreateNew = _O_WRONLY | _O_CREAT | _O_EXCL;
constexpr int kReadOnly = _O_RDONLY;
#else
int open_file(const std::filesystem::path& path, int flags) {
    int fd;
    do fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}
long long write_some(int fd, const char* data, std::size_t n) { return ::write(fd, data, std::min<std::size_t>(n, 1u << 30)); }
long long read_some(int fd, char* data, std::size_t n) { return ::read(fd, data, std::min<std::size_t>(n, 1u << 30)); }
int sync_file(int fd) { return ::fsync(fd); }
int close_file(int fd) { return ::close(fd); }
constexpr int kCreateNew = O_WRONLY | O_CREAT | O_EXCL;
constexpr int kReadOnly = O_RDONLY;
#endif

IoFailure from_errno() { return {errno == 0 ? EIO : errno, false}; }

}  // namespace

bool path_argument(PyObject* object, std::filesystem::path& path, PyObject** fspath) {
    PyObject* named = PyOS_FSPath(object);
    if (named == nullptr) return false;
#ifdef _WIN32
    PyObject* decoded = nullptr;
    if (!PyUnicode_FSDecoder(named, &decoded)) {
        Py_DECREF(named);
        return false;
    }
    wchar_t* wide = PyUnicode_AsWideCharString(decoded, nullptr);
    Py_DECREF(decoded);
    if (wide == nullptr) {
        Py_DECREF(named);
        return false;
    }
    path = std::filesystem::path(wide);
    PyMem_Free(wide);
#else
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(named, &encoded)) {
        Py_DECREF(named);
        return false;
    }
    path = std::filesystem::path(std::string(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded))));
    Py_DECREF(encoded);
#endif
    *fspath = named;
    return true;
}

void set_io_error(const IoFailure& failure, PyObject* filename) {
#ifdef _WIN32
    if (failure.windows) {
        PyErr_SetExcFromWindowsErrWithFilenameObject(PyExc_OSError, failure.code, filename);
        return;
    }
#endif
    errno = failure.code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
}

FileBytes::~FileBytes() {
#ifndef _WIN32
    if (mapped_) munmap(const_cast<char*>(data_), size_);
#endif
}

IoFailure FileBytes::open(const std::filesystem::path& path) {
    const int fd = open_file(path, kReadOnly);
    if (fd < 0) return from_errno();
    IoFailure failure;
    struct stat status {};
    const bool sized = fstat(fd, &status) == 0 && status.st_size > 0;
#ifndef _WIN32
    if (sized && S_ISREG(status.st_mode)) {
        const auto size = static_cast<std::size_t>(status.st_size);
        void* mapping = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE_IF_ANY, fd, 0);
        if (mapping != MAP_FAILED) {
            data_ = static_cast<const char*>(mapping);
            size_ = size;
            mapped_ = true;
            close_file(fd);
            return {};
        }
    }
#endif
    // Read to the end, whatever the size said: a file may grow meanwhile,
    // and some report no size at all.
    if (sized) buffer_.reserve(static_cast<std::size_t>(status.st_size));
    std::size_t have = 0;
    for (;;) {
        if (buffer_.size() - have < 65536) buffer_.resize(std::max<std::size_t>(buffer_.capacity(), have + 65536));
        const long long n = read_some(fd, buffer_.data() + have, buffer_.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failure = from_errno();
            break;
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    buffer_.resize(have);
    data_ = buffer_.data();
    size_ = buffer_.size();
    close_file(fd);
    return failure;
}

ReplacingFile::~ReplacingFile() { discard(); }

void ReplacingFile::discard() {
    if (descriptor_ >= 0) close_file(std::exchange(descriptor_, -1));
    if (!temporary_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
        temporary_.clear();
    }
}

IoFailure ReplacingFile::open(const std::filesystem::path& target) {
    target_ = target;
    // A name of its own in the same directory (a rename is atomic only within
    // a file system), never an existing file's.
    for (int attempt = 0;; ++attempt) {
        const text::HashKey random = text::draw_hash_key();
        char suffix[40];
        std::snprintf(suffix, sizeof suffix, ".%016llx.tmp", static_cast<unsigned long long>(random.k0));
        std::filesystem::path candidate = target;
        candidate += suffix;
        descriptor_ = open_file(candidate, kCreateNew);
        if (descriptor_ >= 0) {
            temporary_ = std::move(candidate);
            return {};
        }
        if (errno != EEXIST || attempt == 8) return from_errno();
    }
}

IoFailure ReplacingFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const long long n = write_some(descriptor_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? from_errno() : IoFailure{EIO, false};
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

IoFailure ReplacingFile::commit() {
    if (sync_file(descriptor_) != 0) return from_errno();
    const int fd = std::exchange(descriptor_, -1);
    if (close_file(fd) != 0) return from_errno();
#ifdef _WIN32
    if (!MoveFileExW(temporary_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return {static_cast<int>(GetLastError()), true};
    temporary_.clear();
#else
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return from_errno();
    temporary_.clear();
    // The rename is durable once the directory is: flushed where the system
    // lets a directory be opened and flushed.
    std::filesystem::path directory = target_.parent_path();
    if (directory.empty()) directory = ".";
    const int dir = open_file(directory, O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        const bool synced = ::fsync(dir) == 0 || errno == EINVAL || errno == ENOTSUP;
        const IoFailure failure = synced ? IoFailure{} : from_errno();
        close_file(dir);
        return failure;
    }
#endif
    return {};
}

}  // namespace orvel::python
