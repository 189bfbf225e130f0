// Files as MemoryIndex.save and MemoryIndex.load use them: a whole file read
// at once, and a file written next to its target and renamed over it, so
// that the target is always either the old file or the whole new one.
// Nothing here touches the interpreter, so that it runs with the
// interpreter lock released; failures are kept and raised afterwards.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace orvel::python {

// The system error an I/O call failed with: errno, or on Windows the
// error of the call (then `windows` is set).
struct IoFailure {
    int code = 0;
    bool windows = false;
    explicit operator bool() const { return code != 0; }
};

// The path a str, bytes or os.PathLike argument names; false with an exception set.
bool path_argument(PyObject* object, std::filesystem::path& path, PyObject** fspath);

// Raises OSError for `failure` as the interpreter's own calls raise it (the
// subclass that the error number picks, with the file name).
void set_io_error(const IoFailure& failure, PyObject* filename);

// The whole content of a file, mapped into memory where the system can,
// read into a buffer otherwise. A mapping spares the copy and the fresh
// pages of a buffer as large as the file, which at a million memories cost
// more than all the checks; the index copies what it keeps, so the mapping
// goes once the file is read. (A file truncated by another process while it
// is mapped and read would end the process with SIGBUS, as with any mapping:
// files are replaced by renaming, which leaves a mapped file whole.)
class FileBytes {
public:
    FileBytes() = default;
    ~FileBytes();
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    IoFailure open(const std::filesystem::path& path);
    std::string_view bytes() const { return {data_, size_}; }

private:
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    bool mapped_ = false;
    std::string buffer_;
};

// A new file that replaces its target only once it is whole and on disk:
// open() creates a temporary file in the target's directory, write() adds
// to it, commit() flushes it to disk, renames it over the target and flushes
// the directory. A file that is never committed is removed.
class ReplacingFile {
public:
    ReplacingFile() = default;
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    IoFailure open(const std::filesystem::path& target);
    IoFailure write(std::string_view bytes);
    IoFailure commit();

private:
    void discard();

    std::filesystem::path target_, temporary_;
    int descriptor_ = -1;
};

}  // namespace orvel::python
