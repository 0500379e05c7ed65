#include "platform/sim/SimFiles.h"

#include <algorithm>
#include <chrono>
#include <fstream>

#include "base/AlignedBuffer.h"
#include "base/Text.h"
#include "platform/sim/SimVolumes.h"

namespace vq::sim {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kEpochDelta = 116444736000000000ull;  // 1601 to 1970 in 100 ns
constexpr std::uint64_t kSecond = 10'000'000;
constexpr std::uint64_t kDay = 86400 * kSecond;
constexpr std::size_t kCopyChunk = 8u << 20;

enum class Stamp { Creation, Access, Write };

std::uint64_t RoundUp(std::uint64_t v, std::uint64_t unit) {
    return unit ? (v + unit - 1) / unit * unit : v;
}

// A time stamp at the resolution the file system keeps.
std::uint64_t Quantise(std::uint64_t t, const std::string& fileSystem, Stamp which) {
    if (fileSystem == "FAT32") {
        switch (which) {
            case Stamp::Write:
                return RoundUp(t, 2 * kSecond);
            case Stamp::Creation:
                return t / 100'000 * 100'000;
            case Stamp::Access:
                return t / kDay * kDay;
        }
    }
    if (fileSystem == "exFAT")
        return which == Stamp::Access ? t / (2 * kSecond) * (2 * kSecond) : t / 100'000 * 100'000;
    return t;
}

std::string Key(const fs::path& p) {
    return p.lexically_normal().generic_string();
}

bool SpecialFolder(const std::string& name) {
    return name == "System Volume Information" || name == "$RECYCLE.BIN" || name == "RECYCLER";
}

std::optional<FileEntry> Entry(const fs::path& p, const std::string& fileSystem, bool onVolume) {
    std::error_code ec;
    const auto st = fs::symlink_status(p, ec);
    if (ec || !fs::exists(st))
        return std::nullopt;
    FileEntry e;
    e.name = p.filename().string();
    if (fs::is_symlink(st)) {
        e.attributes = fileattr::kReparsePoint;
        if (fs::is_directory(p, ec))
            e.attributes |= fileattr::kDirectory;
    } else if (fs::is_directory(st)) {
        e.attributes = fileattr::kDirectory;
        if (onVolume && SpecialFolder(e.name))
            e.attributes |= fileattr::kHidden | fileattr::kSystem;
    } else {
        e.attributes = fileattr::kArchive;
        e.size = fs::file_size(p, ec);
        if (ec)
            e.size = 0;
    }
    if ((st.permissions() & fs::perms::owner_write) == fs::perms::none)
        e.attributes |= fileattr::kReadOnly;
    const auto t = fs::last_write_time(p, ec);
    if (!ec) {
        const std::uint64_t ft = ToFileTime(t);
        e.lastWriteTime = Quantise(ft, fileSystem, Stamp::Write);
        e.creationTime = Quantise(ft, fileSystem, Stamp::Creation);
        e.lastAccessTime = Quantise(ft, fileSystem, Stamp::Access);
    }
    return e;
}

// Whether a volume can be used for files now: 0, or the error the system gives.
std::uint32_t Usable(SimVolumes& vols, SimVolumeContent& c, bool visible) {
    if (!visible)
        return syserr::kPathNotFound;
    std::lock_guard lock(c.m);
    if (c.lockedBy)
        return syserr::kAccessDenied;
    vols.mountLocked(c);
    if (!c.mounted)
        return syserr::kNotReady;
    if (c.fileSystem.empty())
        return syserr::kUnrecognizedVolume;
    return 0;
}

}  // namespace

std::uint64_t ToFileTime(fs::file_time_type t) {
    const auto sys = std::chrono::file_clock::to_sys(t);
    const auto ticks =
        std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>>(
            sys.time_since_epoch())
            .count();
    return static_cast<std::uint64_t>(ticks + static_cast<std::int64_t>(kEpochDelta));
}

fs::file_time_type FromFileTime(std::uint64_t filetime) {
    const std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>> d(
        static_cast<std::int64_t>(filetime) - static_cast<std::int64_t>(kEpochDelta));
    const std::chrono::sys_time<std::chrono::nanoseconds> sys(
        std::chrono::duration_cast<std::chrono::nanoseconds>(d));
    return std::chrono::file_clock::from_sys(sys);
}

// ---- an open file -------------------------------------------------------------------------

class SimFiles::Handle final : public File {
  public:
    Handle(SimFiles& files, SimVolumes& vols, std::shared_ptr<SimVolumeContent> c, fs::path path,
           FileAccess access, bool unbuffered)
        : files_(files),
          vols_(vols),
          c_(std::move(c)),
          path_(std::move(path)),
          access_(access),
          unbuffered_(unbuffered) {}

    bool start(bool truncate, std::uint32_t* error) {
        if (unbuffered_)
            file_.rdbuf()->pubsetbuf(nullptr, 0);
        std::ios::openmode mode = std::ios::binary | std::ios::in;
        if (access_ != FileAccess::Read)
            mode |= std::ios::out;
        if (truncate)
            mode |= std::ios::trunc;
        file_.open(path_, mode);
        if (!file_.is_open()) {
            *error = syserr::kAccessDenied;
            return false;
        }
        std::error_code ec;
        size_ = truncate ? 0 : fs::file_size(path_, ec);
        if (c_) {
            std::lock_guard lock(c_->m);
            sector_ = c_->sectorSize;
            generation_ = c_->generation;
            fileSystem_ = c_->fileSystem;
            ++c_->openFiles;
        }
        files_.noteOpen(path_, 1);
        return true;
    }

    ~Handle() override {
        if (!file_.is_open())
            return;
        file_.close();
        files_.noteOpen(path_, -1);
        if (!c_)
            return;
        {
            std::lock_guard lock(c_->m);
            --c_->openFiles;
        }
        if (wrote_ && fileSystem_ != "NTFS") {
            std::error_code ec;
            const auto t = fs::last_write_time(path_, ec);
            if (!ec) {
                fs::last_write_time(
                    path_, FromFileTime(Quantise(ToFileTime(t), fileSystem_, Stamp::Write)), ec);
            }
        }
    }

    IoResult read(std::span<std::uint8_t> buffer) override {
        const auto started = std::chrono::steady_clock::now();
        IoResult r;
        if (access_ == FileAccess::Write)
            return fail(syserr::kAccessDenied);
        if (const std::uint32_t e = check(buffer.data(), buffer.size()))
            return fail(e);
        const std::uint64_t n =
            pos_ < size_ ? std::min<std::uint64_t>(buffer.size(), size_ - pos_) : 0;
        if (n > 0) {
            file_.clear();
            file_.seekg(static_cast<std::streamoff>(pos_));
            file_.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(n));
            if (static_cast<std::uint64_t>(file_.gcount()) != n)
                return fail(syserr::kReadFault);
            pos_ += n;
            if (c_)
                vols_.chargeTransfer(*c_, n, started);
        }
        r.ok = true;
        r.bytes = static_cast<std::uint32_t>(n);
        return r;
    }

    IoResult write(std::span<const std::uint8_t> buffer) override {
        const auto started = std::chrono::steady_clock::now();
        IoResult r;
        if (access_ == FileAccess::Read)
            return fail(syserr::kAccessDenied);
        if (const std::uint32_t e = check(buffer.data(), buffer.size()))
            return fail(e);
        const std::uint64_t n = buffer.size();
        std::uint64_t taken = 0;
        if (c_) {
            const SimDiskFaults f = vols_.diskFaults(c_->diskNumber);
            if (f.writeFailsAtByte && *f.writeFailsAtByte >= pos_ && *f.writeFailsAtByte < pos_ + n)
                return fail(syserr::kWriteFault);
            std::lock_guard lock(c_->m);
            const std::uint64_t end = std::max(size_, pos_ + n);
            taken = RoundUp(end, c_->clusterBytes) - RoundUp(size_, c_->clusterBytes);
            if (taken > c_->freeBytes(f))
                return fail(syserr::kDiskFull);
            c_->usedBytes += taken;
        }
        file_.clear();
        file_.seekp(static_cast<std::streamoff>(pos_));
        file_.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(n));
        if (!file_) {
            if (c_) {
                std::lock_guard lock(c_->m);
                c_->usedBytes -= std::min(c_->usedBytes, taken);
            }
            return fail(syserr::kWriteFault);
        }
        pos_ += n;
        size_ = std::max(size_, pos_);
        wrote_ = true;
        if (c_)
            vols_.chargeTransfer(*c_, n, started);
        r.ok = true;
        r.bytes = static_cast<std::uint32_t>(n);
        return r;
    }

    std::optional<std::uint64_t> size() override { return size_; }

    bool flush() override {
        file_.flush();
        return static_cast<bool>(file_);
    }

  private:
    static IoResult fail(std::uint32_t e) {
        IoResult r;
        r.error = e;
        return r;
    }

    std::uint32_t check(const void* p, std::size_t n) {
        if (c_) {
            std::lock_guard lock(c_->m);
            if (c_->generation != generation_)
                return syserr::kNotReady;  // the volume was dismounted under the handle
        }
        if (unbuffered_ && (reinterpret_cast<std::uintptr_t>(p) % sector_ || n % sector_))
            return syserr::kInvalidParameter;
        return 0;
    }

    SimFiles& files_;
    SimVolumes& vols_;
    std::shared_ptr<SimVolumeContent> c_;
    fs::path path_;
    FileAccess access_;
    bool unbuffered_;
    std::fstream file_;
    std::uint32_t sector_ = 512;
    std::uint64_t generation_ = 0;
    std::string fileSystem_;
    std::uint64_t pos_ = 0;
    std::uint64_t size_ = 0;
    bool wrote_ = false;
};

// ---- the service --------------------------------------------------------------------------

SimFiles::SimFiles(SimVolumes& volumes, std::function<fs::path()> workFolder)
    : volumes_(volumes), workFolder_(std::move(workFolder)) {}

void SimFiles::noteOpen(const fs::path& path, int delta) {
    std::lock_guard lock(m_);
    const std::string k = Key(path);
    if ((open_[k] += delta) <= 0)
        open_.erase(k);
}

std::unique_ptr<File> SimFiles::open(const fs::path& path, FileMode mode, FileAccess access,
                                     bool unbuffered, std::uint32_t* error) {
    std::uint32_t dummy = 0;
    std::uint32_t& err = error ? *error : dummy;
    err = 0;
    bool visible = true;
    auto c = volumes_.contentOf(path, &visible);
    if (c) {
        if ((err = Usable(volumes_, *c, visible)) != 0)
            return nullptr;
    }
    std::error_code ec;
    const auto st = fs::status(path, ec);
    const bool exists = fs::exists(st);
    if (exists && fs::is_directory(st)) {
        err = syserr::kAccessDenied;
        return nullptr;
    }
    if (!fs::is_directory(path.parent_path().empty() ? fs::path(".") : path.parent_path(), ec)) {
        err = syserr::kPathNotFound;
        return nullptr;
    }
    if (mode == FileMode::CreateNew && exists) {
        err = syserr::kFileExists;
        return nullptr;
    }
    if (mode == FileMode::OpenExisting && !exists) {
        err = syserr::kFileNotFound;
        return nullptr;
    }
    const bool truncate = mode == FileMode::CreateAlways || !exists;
    if (truncate && access == FileAccess::Read) {
        std::ofstream create(path, std::ios::binary | std::ios::trunc);  // created, then read
    }
    if (truncate && exists && c) {
        const std::uint64_t old = fs::file_size(path, ec);
        std::lock_guard lock(c->m);
        c->usedBytes -= std::min(c->usedBytes, RoundUp(ec ? 0 : old, c->clusterBytes));
    }
    auto h = std::make_unique<Handle>(*this, volumes_, c, path, access, unbuffered);
    if (!h->start(truncate && access != FileAccess::Read, &err))
        return nullptr;
    return h;
}

std::uint32_t SimFiles::remove(const fs::path& path) {
    bool visible = true;
    auto c = volumes_.contentOf(path, &visible);
    if (c) {
        if (const std::uint32_t e = Usable(volumes_, *c, visible))
            return e;
    }
    std::error_code ec;
    const auto st = fs::symlink_status(path, ec);
    if (!fs::exists(st))
        return fs::is_directory(path.parent_path(), ec) ? syserr::kFileNotFound
                                                        : syserr::kPathNotFound;
    if (fs::is_directory(st))
        return syserr::kAccessDenied;
    {
        std::lock_guard lock(m_);
        if (open_.count(Key(path)))
            return syserr::kSharingViolation;
    }
    const std::uint64_t size = fs::is_regular_file(st) ? fs::file_size(path, ec) : 0;
    if (!fs::remove(path, ec) || ec)
        return syserr::kAccessDenied;
    if (c) {
        std::lock_guard lock(c->m);
        c->usedBytes -= std::min(c->usedBytes, RoundUp(size, c->clusterBytes));
    }
    return 0;
}

std::uint32_t SimFiles::createFolder(const fs::path& path) {
    bool visible = true;
    auto c = volumes_.contentOf(path, &visible);
    if (c) {
        if (const std::uint32_t e = Usable(volumes_, *c, visible))
            return e;
    }
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec)))
        return syserr::kAlreadyExists;
    if (!fs::is_directory(path.parent_path(), ec))
        return syserr::kPathNotFound;
    if (c) {
        const SimDiskFaults f = volumes_.diskFaults(c->diskNumber);
        std::lock_guard lock(c->m);
        const std::uint64_t taken = c->fileSystem == "NTFS" ? 0 : c->clusterBytes;
        if (taken > c->freeBytes(f))
            return syserr::kDiskFull;
        c->usedBytes += taken;
    }
    if (!fs::create_directory(path, ec) || ec)
        return syserr::kAccessDenied;
    return 0;
}

std::optional<FileEntry> SimFiles::stat(const fs::path& path) {
    bool visible = true;
    auto c = volumes_.contentOf(path, &visible);
    std::string fileSystem;
    if (c) {
        if (Usable(volumes_, *c, visible) != 0)
            return std::nullopt;
        std::lock_guard lock(c->m);
        fileSystem = c->fileSystem;
    }
    return Entry(path, fileSystem, c != nullptr);
}

std::optional<std::vector<FileEntry>> SimFiles::list(const fs::path& folder) {
    bool visible = true;
    auto c = volumes_.contentOf(folder, &visible);
    std::string fileSystem;
    if (c) {
        if (Usable(volumes_, *c, visible) != 0)
            return std::nullopt;
        std::lock_guard lock(c->m);
        fileSystem = c->fileSystem;
    }
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        return std::nullopt;
    std::vector<FileEntry> out;
    for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        if (auto e = Entry(it->path(), fileSystem, c != nullptr))
            out.push_back(std::move(*e));
    }
    if (ec)
        return std::nullopt;
    std::sort(out.begin(), out.end(), [](const FileEntry& a, const FileEntry& b) {
        return ToLower(a.name) < ToLower(b.name);
    });
    return out;
}

std::uint32_t SimFiles::copyFile(const fs::path& from, const fs::path& to, CopyProgress& done,
                                 const std::function<bool(const CopyProgress&)>& progress,
                                 std::vector<std::uint8_t>& buffer) {
    const auto started = std::chrono::steady_clock::now();
    std::error_code ec;
    bool visible = true;
    auto c = volumes_.contentOf(to, &visible);
    SimDiskFaults faults;
    if (c) {
        if (const std::uint32_t e = Usable(volumes_, *c, visible))
            return e;
        faults = volumes_.diskFaults(c->diskNumber);
    }
    // A host file onto a volume (or the host) without a write fault: the clusters are
    // taken at once and the host copies the bytes in one go; anything else goes through
    // open files, transfer by transfer.
    bool whole = !faults.writeFailsAtByte && !volumes_.contentOf(from) &&
                 fs::is_regular_file(fs::symlink_status(from, ec));
    const std::uint64_t size = whole ? fs::file_size(from, ec) : 0;
    whole = whole && !ec;
    std::uint64_t taken = 0;
    if (whole) {
        const auto st = fs::status(to, ec);
        if (fs::is_directory(st))
            return syserr::kAccessDenied;
        if (!fs::is_directory(to.parent_path(), ec))
            return syserr::kPathNotFound;
        if (c) {
            const std::uint64_t old = fs::is_regular_file(st) ? fs::file_size(to, ec) : 0;
            std::lock_guard lock(c->m);
            const std::uint64_t oldClusters = RoundUp(ec ? 0 : old, c->clusterBytes);
            const std::uint64_t newClusters = RoundUp(size, c->clusterBytes);
            // Disk full part way: left to the transfers, which stop where the space ends.
            if (newClusters > c->freeBytes(faults) + oldClusters)
                whole = false;
            else {
                c->usedBytes = c->usedBytes - std::min(c->usedBytes, oldClusters) + newClusters;
                taken = newClusters;
            }
        }
    }
    // Where the host's own copy fails (some C++ runtimes on Windows cannot do it), the
    // volume is charged for what the failed copy left in place, and the file goes through
    // the transfers like any other.
    if (whole && (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec) || ec)) {
        if (c) {
            std::error_code e2;
            const bool left = fs::is_regular_file(fs::symlink_status(to, e2));
            const std::uint64_t leftBytes = left ? fs::file_size(to, e2) : 0;
            std::lock_guard lock(c->m);
            c->usedBytes = c->usedBytes - std::min(c->usedBytes, taken) +
                           RoundUp(e2 ? 0 : leftBytes, c->clusterBytes);
        }
        whole = false;
    }
    if (whole) {
        if (c)
            volumes_.chargeTransfer(*c, size, started);
        done.bytesDone += size;
    } else {
        std::uint32_t e = 0;
        auto in = open(from, FileMode::OpenExisting, FileAccess::Read, false, &e);
        if (!in)
            return e;
        auto out = open(to, FileMode::CreateAlways, FileAccess::Write, false, &e);
        if (!out)
            return e;
        if (buffer.empty())
            buffer.resize(kCopyChunk);
        for (;;) {
            const IoResult r = in->read(buffer);
            if (!r.ok)
                return r.error;
            if (r.bytes == 0)
                break;
            const IoResult w = out->write(std::span(buffer).first(r.bytes));
            if (!w.ok)
                return w.error;
            done.bytesDone += r.bytes;
            if (progress && !progress(done))
                return syserr::kCancelled;
        }
    }
    // The copy keeps the source's time stamp, at the resolution the destination keeps.
    const auto t = fs::last_write_time(from, ec);
    std::string fileSystem;
    bool corrupt = false;
    if (c) {
        std::lock_guard lock(c->m);
        fileSystem = c->fileSystem;
        std::error_code e2;
        if (faults.corruptCopiedFile && fs::file_size(to, e2) > 0)
            corrupt = ++c->filesCopied == faults.corruptCopiedFile;
    }
    if (corrupt) {
        const std::uint64_t at = fs::file_size(to, ec) / 2;
        std::fstream f(to, std::ios::binary | std::ios::in | std::ios::out);
        f.seekg(static_cast<std::streamoff>(at));
        const int ch = f.get();
        f.seekp(static_cast<std::streamoff>(at));
        f.put(static_cast<char>(ch ^ 0xFF));
    }
    if (!ec)
        fs::last_write_time(to, FromFileTime(Quantise(ToFileTime(t), fileSystem, Stamp::Write)),
                            ec);
    return 0;
}

std::uint32_t SimFiles::copyTree(const fs::path& source, const fs::path& destination,
                                 const std::function<bool(const CopyProgress&)>& progress) {
    std::error_code ec;
    if (!fs::is_directory(source, ec) || !fs::is_directory(destination, ec))
        return syserr::kPathNotFound;
    // What there is to copy, parents before children, in name order.
    std::vector<fs::path> items;
    CopyProgress done;
    for (auto it = fs::recursive_directory_iterator(source, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        items.push_back(it->path().lexically_relative(source));
        std::error_code e2;
        if (it->is_symlink(e2)) {
            it.disable_recursion_pending();
        } else if (it->is_regular_file(e2)) {
            ++done.filesTotal;
            done.bytesTotal += it->file_size(e2);
        }
    }
    if (ec)
        return syserr::kAccessDenied;
    std::sort(items.begin(), items.end());
    if (progress && !progress(done))
        return syserr::kCancelled;
    std::vector<std::uint8_t> buffer;  // taken once, for the files copied transfer by transfer
    for (const fs::path& rel : items) {
        const fs::path from = source / rel;
        const fs::path to = destination / rel;
        const auto st = fs::symlink_status(from, ec);
        if (fs::is_symlink(st)) {
            const auto target = fs::read_symlink(from, ec);
            std::error_code e2;
            if (fs::is_symlink(fs::symlink_status(to, e2)) || fs::is_regular_file(to, e2))
                this->remove(to);
            if (fs::is_directory(from, e2))
                fs::create_directory_symlink(target, to, ec);
            else
                fs::create_symlink(target, to, ec);
            if (ec)
                return syserr::kAccessDenied;
        } else if (fs::is_directory(st)) {
            const std::uint32_t e = createFolder(to);
            if (e != 0 && e != syserr::kAlreadyExists)
                return e;
        } else {
            if (const std::uint32_t e = copyFile(from, to, done, progress, buffer))
                return e;
            ++done.filesDone;
            if (progress && !progress(done))
                return syserr::kCancelled;
        }
    }
    return 0;
}

std::optional<std::uint64_t> SimFiles::freeBytes(const fs::path& path) {
    bool visible = true;
    if (auto c = volumes_.contentOf(path, &visible)) {
        if (Usable(volumes_, *c, visible) != 0)
            return std::nullopt;
        const SimDiskFaults f = volumes_.diskFaults(c->diskNumber);
        std::lock_guard lock(c->m);
        return c->freeBytes(f);
    }
    std::error_code ec;
    const auto s = fs::space(path, ec);
    if (ec)
        return std::nullopt;
    return s.available;
}

fs::path SimFiles::tempFolder() {
    const fs::path t = workFolder_() / "temp";
    std::error_code ec;
    fs::create_directories(t, ec);
    return t;
}

}  // namespace vq::sim
