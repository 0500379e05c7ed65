// An in-memory file service and clock for the tests of the read/write test, the copy and
// the compare: folders, files and links, transfers that cost time at set rates, and the
// faults of a real volume (full, gone, a byte changed, a file that will not go away).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileService.h"

namespace vq::test {

// Time that moves only when something charges it: 100 ns counts.
class FakeClock final : public Clock {
  public:
    std::uint64_t tickMs() override { return static_cast<std::uint64_t>(ticks_ / 10'000); }
    std::int64_t perfCounter() override { return ticks_; }
    std::int64_t perfFrequency() override { return 10'000'000; }
    void sleepMs(std::uint32_t ms) override {
        ticks_ += std::int64_t{ms} * 10'000;
        slept_ += ms;
    }
    void charge(std::uint64_t bytes, double bytesPerSecond) {
        if (bytesPerSecond > 0)
            ticks_ += static_cast<std::int64_t>(static_cast<double>(bytes) / bytesPerSecond * 1e7);
    }
    std::uint64_t sleptMs() const { return slept_; }

  private:
    std::atomic<std::int64_t> ticks_{1'000'000};
    std::atomic<std::uint64_t> slept_{0};
};

class FakeFiles final : public FileService {
  public:
    using Chunk = std::shared_ptr<const std::vector<std::uint8_t>>;
    struct Node {
        bool dir = false;
        bool link = false;
        std::vector<Chunk> chunks;  // the content, piece after piece
        std::uint64_t mtime = 0;
        std::uint64_t size() const {
            std::uint64_t n = 0;
            for (const auto& c : chunks)
                n += c->size();
            return n;
        }
        std::vector<std::uint8_t> bytes() const {
            std::vector<std::uint8_t> out;
            for (const auto& c : chunks)
                out.insert(out.end(), c->begin(), c->end());
            return out;
        }
    };

    explicit FakeFiles(FakeClock* clock = nullptr) : clock_(clock) {}

    // ---- the tree
    static std::string key(const std::filesystem::path& p) {
        std::string s = p.lexically_normal().generic_string();
        while (s.size() > 1 && s.back() == '/')
            s.pop_back();
        return s;
    }
    void addFolder(const std::filesystem::path& p, std::uint64_t mtime = 0) {
        std::lock_guard l(m_);
        Node n;
        n.dir = true;
        n.mtime = mtime;
        nodes_[key(p)] = n;
    }
    void addFile(const std::filesystem::path& p, std::string_view content,
                 std::uint64_t mtime = 0) {
        std::lock_guard l(m_);
        Node n;
        n.chunks.push_back(
            std::make_shared<const std::vector<std::uint8_t>>(content.begin(), content.end()));
        n.mtime = mtime;
        nodes_[key(p)] = n;
    }
    void addLink(const std::filesystem::path& p, std::string_view target, bool toFolder,
                 std::uint64_t mtime = 0) {
        addFile(p, target, mtime);
        std::lock_guard l(m_);
        nodes_[key(p)].link = true;
        nodes_[key(p)].dir = toFolder;  // a junction or a link to a folder
    }
    bool exists(const std::filesystem::path& p) const {
        std::lock_guard l(m_);
        return nodes_.count(key(p)) != 0;
    }
    std::vector<std::uint8_t> content(const std::filesystem::path& p) const {
        std::lock_guard l(m_);
        auto it = nodes_.find(key(p));
        return it == nodes_.end() ? std::vector<std::uint8_t>{} : it->second.bytes();
    }
    std::uint64_t sizeOf(const std::filesystem::path& p) const {
        std::lock_guard l(m_);
        auto it = nodes_.find(key(p));
        return it == nodes_.end() ? 0 : it->second.size();
    }
    void setTime(const std::filesystem::path& p, std::uint64_t mtime) {
        std::lock_guard l(m_);
        nodes_[key(p)].mtime = mtime;
    }
    // Changes one byte of a file in place, keeping its size and time.
    void changeByte(const std::filesystem::path& p, std::uint64_t offset) {
        std::lock_guard l(m_);
        Node& n = nodes_[key(p)];
        for (auto& c : n.chunks) {
            if (offset < c->size()) {
                auto copy = std::make_shared<std::vector<std::uint8_t>>(*c);
                (*copy)[offset] ^= 0x5A;
                c = copy;
                return;
            }
            offset -= c->size();
        }
    }
    std::vector<std::string> paths() const {
        std::lock_guard l(m_);
        std::vector<std::string> out;
        for (const auto& [k, n] : nodes_)
            out.push_back(k);
        return out;
    }

    // ---- behaviour
    double writeRate = 0;  // bytes per second charged to the clock; 0: free
    double readRate = 0;
    std::uint64_t capacity = ~std::uint64_t{0};  // bytes of file data the volume holds
    // Write times of copies kept to even seconds, rounded up, as FAT does.
    bool fatTimes = false;
    // After this many transfers (reads and writes) of the read/write test the volume is gone.
    std::int64_t vanishAfterTransfers = -1;
    // Files that refuse to be deleted (sharing violation) this many more times.
    std::map<std::string, int> stuck;
    // Called on every transfer with its direction (true: write) and length.
    std::function<void(bool, std::size_t)> onTransfer;
    bool requireAlignedUnbuffered = true;

    int opens() const { return opens_; }
    int unbufferedOpens() const { return unbufferedOpens_; }
    std::uint64_t bytesWritten() const { return bytesWritten_; }
    std::uint64_t bytesRead() const { return bytesRead_; }
    std::size_t largestRead() const { return largestRead_; }
    bool gone() const { return gone_; }

    // ---- FileService
    std::unique_ptr<File> open(const std::filesystem::path& path, FileMode mode, FileAccess access,
                               bool unbuffered, std::uint32_t* error) override;
    std::uint32_t remove(const std::filesystem::path& path) override {
        std::lock_guard l(m_);
        if (gone_)
            return syserr::kDeviceRemoved;
        auto it = nodes_.find(key(path));
        if (it == nodes_.end())
            return syserr::kFileNotFound;
        auto s = stuck.find(key(path));
        if (s != stuck.end() && s->second > 0) {
            --s->second;
            return syserr::kSharingViolation;
        }
        nodes_.erase(it);
        return 0;
    }
    std::uint32_t createFolder(const std::filesystem::path& path) override {
        std::lock_guard l(m_);
        if (gone_)
            return syserr::kDeviceRemoved;
        if (nodes_.count(key(path)))
            return syserr::kAlreadyExists;
        const std::string parent = key(path.lexically_normal().parent_path());
        auto it = nodes_.find(parent);
        if (it == nodes_.end() || !it->second.dir)
            return syserr::kPathNotFound;
        Node n;
        n.dir = true;
        nodes_[key(path)] = n;
        return 0;
    }
    std::optional<FileEntry> stat(const std::filesystem::path& path) override {
        std::lock_guard l(m_);
        if (gone_)
            return std::nullopt;
        auto it = nodes_.find(key(path));
        if (it == nodes_.end())
            return std::nullopt;
        return entry(it->first, it->second);
    }
    std::optional<std::vector<FileEntry>> list(const std::filesystem::path& folder) override {
        std::lock_guard l(m_);
        if (gone_)
            return std::nullopt;
        const std::string k = key(folder);
        auto it = nodes_.find(k);
        if (it == nodes_.end() || !it->second.dir || it->second.link)
            return std::nullopt;
        std::vector<FileEntry> out;
        const std::string prefix = k == "/" ? k : k + "/";
        for (auto c = nodes_.lower_bound(prefix); c != nodes_.end(); ++c) {
            if (c->first.compare(0, prefix.size(), prefix) != 0)
                break;
            if (c->first.find('/', prefix.size()) != std::string::npos)
                continue;
            out.push_back(entry(c->first, c->second));
        }
        return out;
    }
    std::uint32_t copyTree(const std::filesystem::path& source,
                           const std::filesystem::path& destination,
                           const std::function<bool(const CopyProgress&)>& progress) override {
        std::lock_guard l(m_);
        const std::string from = key(source);
        const std::string to = key(destination);
        auto src = nodes_.find(from);
        auto dst = nodes_.find(to);
        if (src == nodes_.end() || !src->second.dir)
            return syserr::kPathNotFound;
        if (dst == nodes_.end() || !dst->second.dir)
            return syserr::kPathNotFound;
        std::vector<std::pair<std::string, Node>> todo;
        const std::string prefix = from + "/";
        CopyProgress pr;
        for (auto c = nodes_.lower_bound(prefix); c != nodes_.end(); ++c) {
            if (c->first.compare(0, prefix.size(), prefix) != 0)
                break;
            todo.emplace_back(to + "/" + c->first.substr(prefix.size()), c->second);
            if (!c->second.dir || c->second.link) {
                ++pr.filesTotal;
                pr.bytesTotal += c->second.size();
            }
        }
        for (auto& [k, n] : todo) {
            if (!n.dir || n.link) {
                if (used() + n.size() > capacity)
                    return syserr::kDiskFull;
                pr.bytesDone += n.size();
                ++pr.filesDone;
            }
            if (fatTimes)
                n.mtime = (n.mtime + 19'999'999) / 20'000'000 * 20'000'000;
            nodes_[k] = n;
            if (!n.dir || n.link) {
                if (progress && !progress(pr))
                    return 1223;  // cancelled
            }
        }
        return 0;
    }
    std::optional<std::uint64_t> freeBytes(const std::filesystem::path&) override {
        std::lock_guard l(m_);
        return capacity - used();
    }
    std::filesystem::path tempFolder() override { return "/tmp"; }

  private:
    friend class FakeFile;
    FileEntry entry(const std::string& k, const Node& n) const {
        FileEntry e;
        e.name = std::filesystem::path(k).filename().string();
        e.attributes = (n.dir ? fileattr::kDirectory : fileattr::kArchive) |
                       (n.link ? fileattr::kReparsePoint : 0);
        e.size = n.dir && !n.link ? 0 : n.size();
        e.lastWriteTime = n.mtime;
        return e;
    }
    std::uint64_t used() const {
        std::uint64_t n = 0;
        for (const auto& [k, v] : nodes_)
            n += v.dir ? 0 : v.size();
        return n;
    }

    FakeClock* clock_;
    mutable std::mutex m_;
    std::map<std::string, Node> nodes_;
    std::atomic<int> opens_{0};
    std::atomic<int> unbufferedOpens_{0};
    std::atomic<std::uint64_t> bytesWritten_{0};
    std::atomic<std::uint64_t> bytesRead_{0};
    std::atomic<std::size_t> largestRead_{0};
    std::atomic<std::int64_t> transfers_{0};
    bool gone_ = false;
};

class FakeFile final : public File {
  public:
    FakeFile(FakeFiles& fs, std::string key, bool unbuffered)
        : fs_(fs), key_(std::move(key)), unbuffered_(unbuffered) {}

    IoResult read(std::span<std::uint8_t> buffer) override {
        const IoResult r = readLocked(buffer);
        if (r.ok)
            finish(false, r.bytes, fs_.readRate);
        return r;
    }
    IoResult write(std::span<const std::uint8_t> buffer) override {
        const IoResult r = writeLocked(buffer);
        if (r.ok || r.bytes > 0)
            finish(true, r.bytes, fs_.writeRate);
        return r;
    }

    std::optional<std::uint64_t> size() override {
        std::lock_guard l(fs_.m_);
        auto it = fs_.nodes_.find(key_);
        if (fs_.gone_ || it == fs_.nodes_.end())
            return std::nullopt;
        return it->second.size();
    }
    bool flush() override { return true; }

  private:
    IoResult readLocked(std::span<std::uint8_t> buffer) {
        if (auto bad = check(buffer.data(), buffer.size()))
            return *bad;
        std::lock_guard l(fs_.m_);
        if (fs_.gone_)
            return {false, 0, syserr::kDeviceRemoved};
        auto it = fs_.nodes_.find(key_);
        if (it == fs_.nodes_.end())
            return {false, 0, syserr::kFileNotFound};
        std::size_t done = 0;
        std::uint64_t at = 0;
        for (const auto& c : it->second.chunks) {
            if (done == buffer.size())
                break;
            const std::uint64_t end = at + c->size();
            if (pos_ < end) {
                const std::size_t from = static_cast<std::size_t>(pos_ - at);
                const std::size_t n = std::min(buffer.size() - done, c->size() - from);
                std::memcpy(buffer.data() + done, c->data() + from, n);
                done += n;
                pos_ += n;
            }
            at = end;
        }
        fs_.bytesRead_ += done;
        fs_.largestRead_ = std::max<std::size_t>(fs_.largestRead_, buffer.size());
        return {true, static_cast<std::uint32_t>(done), 0};
    }
    IoResult writeLocked(std::span<const std::uint8_t> buffer) {
        if (auto bad = check(buffer.data(), buffer.size()))
            return *bad;
        std::lock_guard l(fs_.m_);
        if (fs_.gone_)
            return {false, 0, syserr::kDeviceRemoved};
        auto it = fs_.nodes_.find(key_);
        if (it == fs_.nodes_.end())
            return {false, 0, syserr::kFileNotFound};
        std::size_t n = buffer.size();
        const std::uint64_t room = fs_.capacity - fs_.used();
        if (n > room)
            n = static_cast<std::size_t>(room);
        auto& chunks = it->second.chunks;
        if (n > 0) {
            // Equal pieces share storage, also across files and volumes, so the read/write
            // tests of hundreds of MiB cost little memory and time.
            static std::mutex lastMutex;
            static FakeFiles::Chunk last;
            std::lock_guard ll(lastMutex);
            if (!(last && last->size() == n && std::memcmp(last->data(), buffer.data(), n) == 0))
                last = std::make_shared<const std::vector<std::uint8_t>>(
                    buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
            chunks.push_back(last);
        }
        pos_ += n;
        fs_.bytesWritten_ += n;
        if (n < buffer.size())
            return {false, static_cast<std::uint32_t>(n), syserr::kDiskFull};
        return {true, static_cast<std::uint32_t>(n), 0};
    }

  private:
    std::optional<IoResult> check(const void* p, std::size_t n) const {
        if (unbuffered_ && fs_.requireAlignedUnbuffered &&
            (reinterpret_cast<std::uintptr_t>(p) % 512 != 0 || n % 512 != 0))
            return IoResult{false, 0, syserr::kInvalidParameter};
        return std::nullopt;
    }
    // Charges the transfer's time and counts it towards the volume's disappearance.
    void finish(bool write, std::size_t n, double rate) {
        if (fs_.clock_)
            fs_.clock_->charge(n, rate);
        if (fs_.onTransfer)
            fs_.onTransfer(write, n);
        if (fs_.vanishAfterTransfers >= 0 && ++fs_.transfers_ >= fs_.vanishAfterTransfers) {
            std::lock_guard l(fs_.m_);
            fs_.gone_ = true;
        }
    }

    FakeFiles& fs_;
    std::string key_;
    bool unbuffered_;
    std::uint64_t pos_ = 0;
};

inline std::unique_ptr<File> FakeFiles::open(const std::filesystem::path& path, FileMode mode,
                                             FileAccess access, bool unbuffered,
                                             std::uint32_t* error) {
    std::lock_guard l(m_);
    auto fail = [&](std::uint32_t e) -> std::unique_ptr<File> {
        if (error)
            *error = e;
        return nullptr;
    };
    if (gone_)
        return fail(syserr::kDeviceRemoved);
    const std::string k = key(path);
    auto it = nodes_.find(k);
    if (it != nodes_.end() && it->second.dir)
        return fail(syserr::kAccessDenied);
    switch (mode) {
        case FileMode::CreateNew:
            if (it != nodes_.end())
                return fail(syserr::kFileExists);
            [[fallthrough]];
        case FileMode::CreateAlways: {
            auto parent = nodes_.find(key(path.lexically_normal().parent_path()));
            if (parent == nodes_.end() || !parent->second.dir)
                return fail(syserr::kPathNotFound);
            nodes_[k] = Node{};
            break;
        }
        case FileMode::OpenExisting:
            if (it == nodes_.end())
                return fail(syserr::kFileNotFound);
            break;
    }
    (void)access;
    ++opens_;
    if (unbuffered)
        ++unbufferedOpens_;
    if (error)
        *error = 0;
    return std::make_unique<FakeFile>(*this, k, unbuffered);
}

}  // namespace vq::test
