#include "platform/linux/LinuxFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>

#include "platform/Diagnostics.h"

namespace vq {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kEpochDelta = 116444736000000000ull;  // 1601 to 1970 in 100 ns
constexpr std::uint32_t kDefaultSector = 512;
constexpr std::size_t kCopyChunk = 8u << 20;

// Closes a descriptor when it goes out of scope.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

int Retry(auto call) {
    int r;
    do
        r = call();
    while (r < 0 && errno == EINTR);
    return r;
}

bool IsFolder(const fs::path& p) {
    struct stat st {};
    return ::stat(p.empty() ? "." : p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

fs::path ParentOf(const fs::path& p) {
    const fs::path n = p.lexically_normal();
    return n.has_filename() ? n.parent_path() : n.parent_path().parent_path();
}

// ENOENT says that the file or a folder on its way is missing: the system tells the two.
std::uint32_t MissingError(const fs::path& path) {
    return IsFolder(ParentOf(path)) ? syserr::kFileNotFound : syserr::kPathNotFound;
}

std::uint64_t FileTimeOf(const struct statx_timestamp& t) {
    return FileTimeOfUnix(t.tv_sec, t.tv_nsec);
}

// The entry of a name in an open folder (or of a path, with AT_FDCWD), without following
// a final link; nullopt when there is none.
std::optional<FileEntry> EntryAt(int dirFd, const char* name, std::string entryName) {
    struct statx sx {};
    if (::statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME,
                &sx) != 0)
        return std::nullopt;
    FileEntry e;
    e.name = std::move(entryName);
    if (S_ISLNK(sx.stx_mode)) {
        e.attributes = fileattr::kReparsePoint;
        struct stat target {};
        if (::fstatat(dirFd, name, &target, 0) == 0 && S_ISDIR(target.st_mode))
            e.attributes |= fileattr::kDirectory;
    } else if (S_ISDIR(sx.stx_mode)) {
        e.attributes = fileattr::kDirectory;
    } else {
        e.attributes = fileattr::kArchive;
        e.size = sx.stx_size;
    }
    if ((sx.stx_mode & S_IWUSR) == 0 && !S_ISLNK(sx.stx_mode))
        e.attributes |= fileattr::kReadOnly;
    e.lastWriteTime = FileTimeOf(sx.stx_mtime);
    e.lastAccessTime = FileTimeOf(sx.stx_atime);
    // File systems without a birth time give the last change instead.
    e.creationTime = FileTimeOf((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime);
    return e;
}

// ---- an open file -------------------------------------------------------------------------

class LinuxFile final : public File {
  public:
    LinuxFile(int fd, FileAccess access, bool unbuffered, bool direct, std::uint32_t sector)
        : fd_(fd), access_(access), unbuffered_(unbuffered), direct_(direct), sector_(sector) {}

    ~LinuxFile() override {
        // Through the cache in place of O_DIRECT: what was written goes to the device and
        // out of the cache, as it would have without it.
        if (unbuffered_ && !direct_ && wrote_) {
            ::fdatasync(fd_.get());
            ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_DONTNEED);
        }
    }

    IoResult read(std::span<std::uint8_t> buffer) override {
        if (access_ == FileAccess::Write)
            return Fail(syserr::kAccessDenied);
        if (const std::uint32_t e = check(buffer.data(), buffer.size()))
            return Fail(e);
        std::size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::read(fd_.get(), buffer.data() + done, buffer.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return Fail(SystemErrorOfErrno(errno, syserr::kReadFault), done);
            if (n == 0)
                break;
            done += static_cast<std::size_t>(n);
            // A direct read that ends off the alignment met the end of the file; another
            // one from there would be refused.
            if (direct_ && done % sector_ != 0)
                break;
        }
        return Done(done);
    }

    IoResult write(std::span<const std::uint8_t> buffer) override {
        if (access_ == FileAccess::Read)
            return Fail(syserr::kAccessDenied);
        if (const std::uint32_t e = check(buffer.data(), buffer.size()))
            return Fail(e);
        std::size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::write(fd_.get(), buffer.data() + done, buffer.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return Fail(
                    n == 0 ? syserr::kDiskFull : SystemErrorOfErrno(errno, syserr::kWriteFault),
                    done);
            done += static_cast<std::size_t>(n);
            wrote_ = true;
        }
        return Done(done);
    }

    std::optional<std::uint64_t> size() override {
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0)
            return std::nullopt;
        return static_cast<std::uint64_t>(st.st_size);
    }

    bool flush() override {
        return Retry([&] { return ::fdatasync(fd_.get()); }) == 0;
    }

  private:
    static IoResult Fail(std::uint32_t error, std::size_t bytes = 0) {
        IoResult r;
        r.error = error;
        r.bytes = static_cast<std::uint32_t>(bytes);
        return r;
    }
    static IoResult Done(std::size_t bytes) {
        IoResult r;
        r.ok = true;
        r.bytes = static_cast<std::uint32_t>(bytes);
        return r;
    }

    std::uint32_t check(const void* p, std::size_t n) const {
        if (n > std::numeric_limits<std::uint32_t>::max())
            return syserr::kInvalidParameter;  // more than one result can count
        if (unbuffered_ && (reinterpret_cast<std::uintptr_t>(p) % sector_ != 0 || n % sector_ != 0))
            return syserr::kInvalidParameter;
        return 0;
    }

    Fd fd_;
    FileAccess access_;
    bool unbuffered_;
    bool direct_;
    std::uint32_t sector_;
    bool wrote_ = false;
};

// ---- copying ------------------------------------------------------------------------------

enum class Kind { Folder, File, Link };

struct Item {
    fs::path rel;
    Kind kind;
};

// The tree under `root` (parents before children, names in byte order), links not
// followed; entries that are neither folders, regular files nor links are left out.
std::uint32_t Walk(const fs::path& root, const fs::path& rel, std::vector<Item>& items,
                   CopyProgress& totals) {
    DIR* dir = ::opendir((root / rel).c_str());
    if (dir == nullptr)
        return SystemErrorOfErrno(errno, syserr::kAccessDenied);
    std::vector<std::pair<std::string, Kind>> names;
    const int dirFd = ::dirfd(dir);
    errno = 0;
    while (const dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        if (::fstatat(dirFd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // gone since the folder was read
        if (S_ISLNK(st.st_mode)) {
            names.emplace_back(name, Kind::Link);
        } else if (S_ISDIR(st.st_mode)) {
            names.emplace_back(name, Kind::Folder);
        } else if (S_ISREG(st.st_mode)) {
            names.emplace_back(name, Kind::File);
            ++totals.filesTotal;
            totals.bytesTotal += static_cast<std::uint64_t>(st.st_size);
        }
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0)
        return SystemErrorOfErrno(readError, syserr::kAccessDenied);
    std::sort(names.begin(), names.end());
    for (const auto& [name, kind] : names) {
        items.push_back({rel / name, kind});
        if (kind == Kind::Folder) {
            if (const std::uint32_t e = Walk(root, rel / name, items, totals))
                return e;
        }
    }
    return 0;
}

std::uint32_t CopyLink(const fs::path& from, const fs::path& to) {
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
    if (n < 0)
        return SystemErrorOfErrno(errno, syserr::kAccessDenied);
    target.resize(static_cast<std::size_t>(n));
    struct stat old {};
    if (::lstat(to.c_str(), &old) == 0) {
        if (S_ISDIR(old.st_mode))
            return syserr::kAccessDenied;  // a folder is never replaced by a link
        if (::unlink(to.c_str()) != 0)
            return SystemErrorOfErrno(errno, syserr::kAccessDenied);
    }
    if (::symlink(target.c_str(), to.c_str()) != 0)
        return SystemErrorOfErrno(errno, syserr::kAccessDenied);
    struct stat st {};
    if (::lstat(from.c_str(), &st) == 0) {
        const timespec times[2] = {st.st_atim, st.st_mtim};
        ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    return 0;
}

// One file's bytes, its permissions and its time stamps. A copy stopped by the callback
// or failed part way is removed.
std::uint32_t CopyFile(const fs::path& from, const fs::path& to, CopyProgress& done,
                       const std::function<bool(const CopyProgress&)>& progress,
                       std::vector<std::uint8_t>& buffer) {
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (in.get() < 0)
        return SystemErrorOfErrno(errno, syserr::kAccessDenied);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0)
        return SystemErrorOfErrno(errno, syserr::kReadFault);
    struct stat old {};
    if (::lstat(to.c_str(), &old) == 0) {
        if (S_ISDIR(old.st_mode))
            return syserr::kAccessDenied;
        // Overwritten silently: a link in the way, or a file the owner cannot write.
        if (S_ISLNK(old.st_mode) || (old.st_mode & S_IWUSR) == 0)
            ::unlink(to.c_str());
    }
    const mode_t mode = (st.st_mode & 0777) | S_IWUSR;
    Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
    if (out.get() < 0)
        return SystemErrorOfErrno(errno, syserr::kAccessDenied);
    const auto abandon = [&](std::uint32_t error) {
        out.reset();
        ::unlink(to.c_str());
        return error;
    };
    bool inKernel = true;
    for (;;) {
        ssize_t n;
        if (inKernel) {
            n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, kCopyChunk, 0);
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                          errno == EOPNOTSUPP || errno == EBADF)) {
                inKernel = false;  // this pair of file systems cannot: through a buffer
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return abandon(SystemErrorOfErrno(errno, syserr::kWriteFault));
        } else {
            if (buffer.empty())
                buffer.resize(kCopyChunk);
            n = ::read(in.get(), buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return abandon(SystemErrorOfErrno(errno, syserr::kReadFault));
            for (ssize_t w = 0; w < n;) {
                const ssize_t k = ::write(out.get(), buffer.data() + w, static_cast<size_t>(n - w));
                if (k < 0 && errno == EINTR)
                    continue;
                if (k <= 0)
                    return abandon(k == 0 ? syserr::kDiskFull
                                          : SystemErrorOfErrno(errno, syserr::kWriteFault));
                w += k;
            }
        }
        if (n == 0)
            break;
        done.bytesDone += static_cast<std::uint64_t>(n);
        if (progress && !progress(done))
            return abandon(syserr::kCancelled);
    }
    ::fchmod(out.get(), st.st_mode & 07777);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (::futimens(out.get(), times) != 0)
        return abandon(SystemErrorOfErrno(errno, syserr::kAccessDenied));
    if (::close(out.release()) != 0)
        return abandon(SystemErrorOfErrno(errno, syserr::kWriteFault));
    return 0;
}

}  // namespace

std::uint32_t SystemErrorOfErrno(int err, std::uint32_t fallback) {
    switch (err) {
        case 0:
            return 0;
        case ENOENT:
            return syserr::kFileNotFound;
        case ENOTDIR:
            return syserr::kPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
        case EBADF:
            return syserr::kAccessDenied;
        case EEXIST:
            return syserr::kFileExists;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return syserr::kDiskFull;
        case EINVAL:
            return syserr::kInvalidParameter;
        case EBUSY:
        case ETXTBSY:
            return syserr::kSharingViolation;
        case ENOMEDIUM:
        case ENXIO:
            return syserr::kNotReady;
        case ENODEV:
            return syserr::kDeviceRemoved;
        case EOPNOTSUPP:
        case ENOSYS:
            return syserr::kNotSupported;
        case ENAMETOOLONG:
            return syserr::kInvalidName;
        default:
            return fallback;
    }
}

std::uint64_t FileTimeOfUnix(std::int64_t seconds, std::uint32_t nanoseconds) {
    const std::int64_t t = seconds * 10'000'000 + nanoseconds / 100;
    const std::int64_t since1601 = t + static_cast<std::int64_t>(kEpochDelta);
    return since1601 < 0 ? 0 : static_cast<std::uint64_t>(since1601);
}

void LinuxFiles::noteCachedFallback(std::uint64_t device, const fs::path& path) {
    {
        std::lock_guard lock(m_);
        if (!cachedDevices_.insert(device).second)
            return;
    }
    if (diagnostics_) {
        diagnostics_->debugOutput("The file system of " + path.string() +
                                  " refuses unbuffered I/O; its files go through the cache\n");
    }
}

std::unique_ptr<File> LinuxFiles::open(const fs::path& path, FileMode mode, FileAccess access,
                                       bool unbuffered, std::uint32_t* error) {
    std::uint32_t dummy = 0;
    std::uint32_t& err = error ? *error : dummy;
    err = 0;
    int flags = O_CLOEXEC;
    switch (access) {
        case FileAccess::Read:
            flags |= O_RDONLY;
            break;
        case FileAccess::Write:
            flags |= O_WRONLY;
            break;
        case FileAccess::ReadWrite:
            flags |= O_RDWR;
            break;
    }
    switch (mode) {
        case FileMode::CreateNew:
            flags |= O_CREAT | O_EXCL;
            break;
        case FileMode::CreateAlways:
            // Truncation needs write access even when the handle only reads.
            flags = (flags & ~O_ACCMODE) | O_RDWR | O_CREAT | O_TRUNC;
            if (access == FileAccess::Write)
                flags = (flags & ~O_ACCMODE) | O_WRONLY;
            break;
        case FileMode::OpenExisting:
            break;
    }
    Fd fd(Retry([&] { return ::open(path.c_str(), flags, 0666); }));
    if (fd.get() < 0) {
        const int e = errno;
        err = e == ENOENT ? MissingError(path) : SystemErrorOfErrno(e, syserr::kAccessDenied);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
        err = syserr::kAccessDenied;  // a folder is no file
        return nullptr;
    }
    bool direct = false;
    std::uint32_t sector = kDefaultSector;
    if (unbuffered) {
        // Set after the open, so a file system that refuses O_DIRECT leaves no trace of a
        // failed creation behind.
        const int fl = ::fcntl(fd.get(), F_GETFL);
        direct = fl >= 0 && ::fcntl(fd.get(), F_SETFL, fl | O_DIRECT) == 0;
        struct statx sx {};
        if (::statx(fd.get(), "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) == 0 &&
            (sx.stx_mask & STATX_DIOALIGN)) {
            sector = std::max({sector, sx.stx_dio_offset_align, sx.stx_dio_mem_align});
        }
        if (!direct) {
            noteCachedFallback(static_cast<std::uint64_t>(st.st_dev), path);
            ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
        }
    }
    return std::make_unique<LinuxFile>(fd.release(), access, unbuffered, direct, sector);
}

std::uint32_t LinuxFiles::remove(const fs::path& path) {
    if (::unlink(path.c_str()) == 0)
        return 0;
    const int e = errno;
    return e == ENOENT ? MissingError(path) : SystemErrorOfErrno(e, syserr::kAccessDenied);
}

std::uint32_t LinuxFiles::createFolder(const fs::path& path) {
    if (::mkdir(path.c_str(), 0777) == 0)
        return 0;
    switch (errno) {
        case EEXIST:
            return syserr::kAlreadyExists;
        case ENOENT:
        case ENOTDIR:
            return syserr::kPathNotFound;
        default:
            return SystemErrorOfErrno(errno, syserr::kAccessDenied);
    }
}

std::optional<FileEntry> LinuxFiles::stat(const fs::path& path) {
    const fs::path n = path.lexically_normal();
    const std::string name =
        n.has_filename() ? n.filename().string() : n.parent_path().filename().string();
    return EntryAt(AT_FDCWD, path.c_str(), name);
}

std::optional<std::vector<FileEntry>> LinuxFiles::list(const fs::path& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return std::nullopt;
    std::vector<FileEntry> out;
    const int dirFd = ::dirfd(dir);
    errno = 0;
    while (const dirent* d = ::readdir(dir)) {
        const std::string name = d->d_name;
        if (name != "." && name != "..") {
            if (auto e = EntryAt(dirFd, d->d_name, name))
                out.push_back(std::move(*e));
        }
        errno = 0;
    }
    const bool failed = errno != 0;
    ::closedir(dir);
    if (failed)
        return std::nullopt;
    return out;
}

std::uint32_t LinuxFiles::copyTree(const fs::path& source, const fs::path& destination,
                                   const std::function<bool(const CopyProgress&)>& progress) {
    if (!IsFolder(source) || !IsFolder(destination))
        return syserr::kPathNotFound;
    std::vector<Item> items;
    CopyProgress done;
    if (const std::uint32_t e = Walk(source, {}, items, done))
        return e;
    if (progress && !progress(done))
        return syserr::kCancelled;
    std::vector<std::uint8_t> buffer;  // taken once, when a file cannot be copied in the kernel
    for (const Item& item : items) {
        const fs::path from = source / item.rel;
        const fs::path to = destination / item.rel;
        switch (item.kind) {
            case Kind::Folder:
                if (::mkdir(to.c_str(), 0777) != 0 && !(errno == EEXIST && IsFolder(to)))
                    return SystemErrorOfErrno(errno, syserr::kAccessDenied);
                break;
            case Kind::Link:
                if (const std::uint32_t e = CopyLink(from, to))
                    return e;
                break;
            case Kind::File:
                if (const std::uint32_t e = CopyFile(from, to, done, progress, buffer))
                    return e;
                ++done.filesDone;
                if (progress && !progress(done))
                    return syserr::kCancelled;
                break;
        }
    }
    // Folder time stamps last, children before parents: filling a folder changes its own.
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        struct stat st {};
        if (it->kind == Kind::Folder && ::stat((source / it->rel).c_str(), &st) == 0) {
            const timespec times[2] = {st.st_atim, st.st_mtim};
            ::utimensat(AT_FDCWD, (destination / it->rel).c_str(), times, 0);
        }
    }
    return 0;
}

std::optional<std::uint64_t> LinuxFiles::freeBytes(const fs::path& path) {
    struct statvfs s {};
    if (::statvfs(path.c_str(), &s) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(s.f_bavail) * s.f_frsize;
}

fs::path LinuxFiles::tempFolder() {
    if (const char* t = std::getenv("TMPDIR"); t && *t && IsFolder(t))
        return t;
    return "/tmp";
}

}  // namespace vq
