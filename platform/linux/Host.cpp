// Linux host facts: the executable's folder and machine-wide named mutexes built on
// flock(2) over lock files in the runtime directory.
#include "platform/Host.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/NamedMutex.h"

namespace vq {

std::filesystem::path HostProgramFolder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return {};
    return exe.parent_path();
}

bool HostStdoutIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

bool HostReplaceFile(const std::filesystem::path& path, std::string_view data, std::string* error) {
    const auto fail = [error](const std::string& what, int err) {
        if (error)
            *error = what + ": " + std::error_code(err, std::generic_category()).message();
        return false;
    };
    struct stat old {};
    const bool existed = ::stat(path.c_str(), &old) == 0;

    static std::atomic<unsigned> counter{0};
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = path.string() + ".tmp" + std::to_string(::getpid()) + "-" +
              std::to_string(counter.fetch_add(1));
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return fail("cannot create " + tmp, errno);
    }
    if (fd < 0)
        return fail("cannot create " + tmp, EEXIST);
    const auto abandon = [&](const std::string& what, int err) {
        ::close(fd);
        ::unlink(tmp.c_str());
        return fail(what, err);
    };
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return abandon("cannot write " + tmp, errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (existed && ::fchmod(fd, old.st_mode & 07777) != 0)
        return abandon("cannot set the permissions of " + tmp, errno);
    if (::fsync(fd) != 0)
        return abandon("cannot flush " + tmp, errno);
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        return fail("cannot write " + tmp, err);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        return fail("cannot rename " + tmp + " to " + path.string(), err);
    }
    // The rename itself reaches the disk with the folder.
    std::filesystem::path folder = path.parent_path();
    if (folder.empty())
        folder = ".";
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

namespace {

class FlockFileLock final : public HostFileLock {
  public:
    explicit FlockFileLock(int fd) : fd_(fd) {}
    ~FlockFileLock() override { ::close(fd_); }  // closing drops the lock

  private:
    int fd_;
};

}  // namespace

std::unique_ptr<HostFileLock> HostTryLockFile(const std::filesystem::path& path, bool* busy,
                                              std::string* error) {
    if (busy)
        *busy = false;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (error)
            *error = "cannot open " + path.string() + ": " +
                     std::error_code(errno, std::generic_category()).message();
        return nullptr;
    }
    int rc = 0;
    while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK) {
            if (busy)
                *busy = true;
        } else if (error) {
            *error = "cannot lock " + path.string() + ": " +
                     std::error_code(err, std::generic_category()).message();
        }
        return nullptr;
    }
    return std::make_unique<FlockFileLock>(fd);
}

namespace {

std::filesystem::path RuntimeDir() {
    if (const char* d = std::getenv("XDG_RUNTIME_DIR"); d && *d)
        return d;
    return "/tmp";
}

// flock locks belong to the open file description, so two opens in one process exclude
// each other as two processes do. Ownership by thread and recursion are tracked here.
class FlockMutex final : public NamedMutex {
  public:
    explicit FlockMutex(int fd) : fd_(fd) {}
    ~FlockMutex() override { ::close(fd_); }

    void lock() override {
        if (ownedByMe())
            return;
        threadMutex_.lock();  // one thread of this handle at a time
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
        take();
    }

    bool tryLock() override {
        if (ownedByMe())
            return true;
        if (!threadMutex_.try_lock())
            return false;
        if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            threadMutex_.unlock();
            return false;
        }
        take();
        return true;
    }

    void unlock() override {
        std::unique_lock lk(m_);
        if (owner_ != std::this_thread::get_id() || depth_ == 0)
            return;
        if (--depth_ > 0)
            return;
        owner_ = std::thread::id();
        ::flock(fd_, LOCK_UN);
        threadMutex_.unlock();
    }

  private:
    bool ownedByMe() {
        std::lock_guard lk(m_);
        if (owner_ != std::this_thread::get_id())
            return false;
        ++depth_;
        return true;
    }
    void take() {
        std::lock_guard lk(m_);
        owner_ = std::this_thread::get_id();
        depth_ = 1;
    }

    int fd_;
    std::mutex m_;
    std::mutex threadMutex_;
    std::thread::id owner_;
    int depth_ = 0;
};

class FlockProvider final : public NamedMutexProvider {
  public:
    std::unique_ptr<NamedMutex> open(std::string_view name) override {
        std::string file = "vq-mutex-";
        for (char c : name) {
            const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || c == '-' || c == '_';
            file.push_back(plain ? c : '_');
        }
        file += ".lock";
        const auto path = RuntimeDir() / file;
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return nullptr;
        return std::make_unique<FlockMutex>(fd);
    }
};

}  // namespace

std::unique_ptr<NamedMutexProvider> MakeHostNamedMutexProvider() {
    return std::make_unique<FlockProvider>();
}

}  // namespace vq
