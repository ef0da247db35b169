// Owners of what the agent opens: every path out of a scope closes what it opened.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <memory>

class UniqueFd {
  public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Close(); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            Close();
            fd_ = other.release();
        }
        return *this;
    }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Hands the descriptor over; it is no longer closed here.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // close(2)'s own result: the last chance to hear of a failed write-back.
    int Close() {
        int result = 0;
        if (fd_ >= 0) result = close(fd_);
        fd_ = -1;
        return result;
    }

  private:
    int fd_;
};

// A deleter that calls `Release` (libgpiod's pattern): one owner type per kind of handle.
template <auto Release>
struct ReleaseWith {
    template <typename T>
    void operator()(T *handle) const {
        if (handle != nullptr) Release(handle);
    }
};

inline int CloseFile(std::FILE *file) {
    return std::fclose(file);
}

// Owns one stdio stream.
using UniqueFile = std::unique_ptr<std::FILE, ReleaseWith<CloseFile>>;
