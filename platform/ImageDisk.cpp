#include "platform/ImageDisk.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>

#include "base/Bytes.h"
#include "platform/PartitionTable.h"

namespace vq {

namespace {

bool Aligned(const void* p, std::uint64_t offset, std::size_t length, std::uint32_t b) {
    return reinterpret_cast<std::uintptr_t>(p) % b == 0 && offset % b == 0 && length % b == 0;
}

class ImageDisk final : public Disk {
  public:
    ImageDisk(std::fstream file, std::uint64_t size, std::uint32_t b)
        : file_(std::move(file)), size_(size), b_(b) {}

    std::optional<DiskGeometry> geometry() override { return GeometryForSectors(size_ / b_, b_); }

    IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        return transfer(offset, buffer.data(), buffer.size(), false);
    }
    IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) override {
        return transfer(offset, const_cast<std::uint8_t*>(buffer.data()), buffer.size(), true);
    }

    ScsiResult execute(const ScsiRequest& req) override {
        ScsiResult r;
        r.callSucceeded = true;
        if (req.cdb.size() < 6) {
            r.callSucceeded = false;
            r.lastError = syserr::kInvalidParameter;
            return r;
        }
        const auto c = req.cdb;
        const std::uint64_t sectors = size_ / b_;
        switch (c[0]) {
            case 0x00:
                return r;
            case 0x25: {
                if (req.direction != DataDirection::In || req.data.size() < 8)
                    break;
                PutBE32(
                    req.data, 0,
                    static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors - 1, 0xFFFFFFFF)));
                PutBE32(req.data, 4, b_);
                r.bytesTransferred = 8;
                return r;
            }
            case 0x28:
            case 0x2A: {
                if (c.size() < 10)
                    break;
                const bool write = c[0] == 0x2A;
                const std::uint64_t lba = GetBE32(c, 2);
                const std::uint64_t count = GetBE16(c, 7);
                const std::uint64_t bytes = count * b_;
                if (req.direction != (write ? DataDirection::Out : DataDirection::In) ||
                    req.data.size() < bytes || lba + count > sectors)
                    break;
                std::lock_guard lock(m_);
                file_.clear();
                if (write) {
                    file_.seekp(static_cast<std::streamoff>(lba * b_));
                    file_.write(reinterpret_cast<const char*>(req.data.data()),
                                static_cast<std::streamsize>(bytes));
                    file_.flush();
                } else {
                    file_.seekg(static_cast<std::streamoff>(lba * b_));
                    file_.read(reinterpret_cast<char*>(req.data.data()),
                               static_cast<std::streamsize>(bytes));
                }
                if (!file_) {
                    r.scsiStatus = 2;
                    return r;
                }
                r.bytesTransferred = static_cast<std::uint32_t>(bytes);
                return r;
            }
            default:
                break;
        }
        r.scsiStatus = 2;  // CHECK CONDITION: illegal request
        return r;
    }

    std::optional<StorageDeviceNumber> deviceNumber() override { return std::nullopt; }

    bool createDisk(PartitionStyle style, std::uint32_t signature) override {
        return CreateEmptyTable(*this, *geometry(), style, signature, Guid{});
    }
    std::optional<DriveLayout> layout() override { return ReadDriveLayout(*this, *geometry()); }
    bool setLayout(const DriveLayout& l) override {
        return WriteDriveLayout(*this, *geometry(), l);
    }
    bool updateProperties() override { return true; }

  private:
    IoResult transfer(std::uint64_t offset, std::uint8_t* p, std::size_t n, bool write) {
        IoResult r;
        if (!Aligned(p, offset, n, b_) || offset > size_ || n > size_ - offset) {
            r.error = syserr::kInvalidParameter;
            return r;
        }
        std::lock_guard lock(m_);
        file_.clear();
        if (write) {
            file_.seekp(static_cast<std::streamoff>(offset));
            file_.write(reinterpret_cast<const char*>(p), static_cast<std::streamsize>(n));
            file_.flush();
        } else {
            file_.seekg(static_cast<std::streamoff>(offset));
            file_.read(reinterpret_cast<char*>(p), static_cast<std::streamsize>(n));
        }
        if (!file_) {
            r.error = write ? syserr::kWriteFault : syserr::kReadFault;
            return r;
        }
        r.ok = true;
        r.bytes = static_cast<std::uint32_t>(n);
        return r;
    }

    std::mutex m_;
    std::fstream file_;
    std::uint64_t size_;
    std::uint32_t b_;
};

}  // namespace

std::unique_ptr<Disk> OpenImageDisk(const std::filesystem::path& path, std::uint32_t bytesPerSector,
                                    std::uint32_t* error) {
    auto fail = [&](std::uint32_t code) -> std::unique_ptr<Disk> {
        if (error)
            *error = code;
        return nullptr;
    };
    if (bytesPerSector != 512 && bytesPerSector != 4096)
        return fail(syserr::kInvalidParameter);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return fail(std::filesystem::exists(path, ec) ? syserr::kAccessDenied
                                                      : syserr::kFileNotFound);
    const std::uint64_t size = std::filesystem::file_size(path, ec);
    if (ec)
        return fail(syserr::kAccessDenied);
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    if (!f.is_open())
        return fail(syserr::kAccessDenied);
    if (error)
        *error = 0;
    return std::make_unique<ImageDisk>(std::move(f), size - size % bytesPerSector, bytesPerSector);
}

}  // namespace vq
