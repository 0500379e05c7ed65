// Volumes formatted into image files, checked by the system's own FAT tools (fsck.fat and
// mtools) where they are installed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include "disk/Fat32Format.h"
#include "disk/ImageVolume.h"
#include "tests/disk/DiskDoubles.h"

namespace vq::disk {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kMiB = 1024 * 1024;

// A disk image file as a disk, without a partition table of its own.
class FileDisk final : public Disk {
  public:
    FileDisk(const fs::path& path, std::uint32_t b)
        : file_(path, std::ios::in | std::ios::out | std::ios::binary),
          b_(b),
          size_(fs::file_size(path)) {}
    std::optional<DiskGeometry> geometry() override {
        const std::uint64_t cylinders = size_ / (255ull * 63 * b_);
        return DiskGeometry{cylinders, 255, 63, b_, size_};
    }
    IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        std::lock_guard lock(m_);
        file_.seekg(static_cast<std::streamoff>(offset));
        file_.read(reinterpret_cast<char*>(buffer.data()),
                   static_cast<std::streamsize>(buffer.size()));
        return {bool(file_), static_cast<std::uint32_t>(buffer.size()), 0};
    }
    IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) override {
        std::lock_guard lock(m_);
        ++writes;
        file_.seekp(static_cast<std::streamoff>(offset));
        file_.write(reinterpret_cast<const char*>(buffer.data()),
                    static_cast<std::streamsize>(buffer.size()));
        return {bool(file_), static_cast<std::uint32_t>(buffer.size()), 0};
    }
    ScsiResult execute(const ScsiRequest& r) override {
        return test::AnswerBlockCommand(
            r, b_, size_, [this](std::uint64_t o, Bytes b) { read(o, b); },
            [this](std::uint64_t o, ConstBytes b) { write(o, b); });
    }
    std::optional<StorageDeviceNumber> deviceNumber() override { return std::nullopt; }
    bool createDisk(PartitionStyle, std::uint32_t) override { return false; }
    std::optional<DriveLayout> layout() override { return DriveLayout{}; }
    bool setLayout(const DriveLayout&) override { return false; }
    bool updateProperties() override { return true; }
    int writes = 0;

  private:
    std::mutex m_;
    std::fstream file_;
    std::uint32_t b_;
    std::uint64_t size_;
};

// The tool's full path, or empty when it is not installed.
std::string FindTool(const std::string& name) {
    std::vector<fs::path> dirs{"/usr/sbin", "/sbin", "/usr/bin", "/bin"};
    if (const char* path = std::getenv("PATH")) {
        std::stringstream in(path);
        std::string dir;
        while (std::getline(in, dir, ':'))
            dirs.emplace_back(dir);
    }
    for (const auto& d : dirs) {
        std::error_code ec;
        if (!d.empty() && fs::is_regular_file(d / name, ec))
            return (d / name).string();
    }
    return {};
}

// Runs a command line, its output into `output`; the exit status.
int RunCommand(const std::string& command, std::string& output, const fs::path& log) {
    const int status = std::system((command + " > '" + log.string() + "' 2>&1").c_str());
    std::ifstream in(log);
    output.assign(std::istreambuf_iterator<char>(in), {});
    return status;
}

class Fat32Image : public ::testing::Test {
  protected:
    void SetUp() override {
#ifdef _WIN32
        GTEST_SKIP() << "the FAT tools are checked on the build host only";
#endif
        fsck_ = FindTool("fsck.fat");
        mdir_ = FindTool("mdir");
        if (fsck_.empty() || mdir_.empty())
            GTEST_SKIP() << "fsck.fat or mdir is not installed (dosfstools, mtools): the "
                            "formatted images are not checked";
        std::random_device rd;
        dir_ = fs::temp_directory_path() / ("vq-fat32-" + std::to_string(rd()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty())
            fs::remove_all(dir_, ec);
    }
    fs::path image(std::uint64_t bytes, std::uint8_t fill = 0, std::uint64_t fillBytes = 0) {
        const fs::path p = dir_ / "disk.img";
        {
            std::ofstream out(p, std::ios::binary);
            out << std::string(fillBytes, static_cast<char>(fill));
        }
        fs::resize_file(p, bytes);
        return p;
    }
    int format(const fs::path& p, std::uint32_t b, std::uint32_t cluster, const std::string& label,
               std::uint64_t offset = 0, std::uint64_t length = 0) {
        auto disk = std::make_unique<FileDisk>(p, b);
        ImageVolume v(std::move(disk), offset, length);
        EXPECT_TRUE(v.valid());
        return FormatFat32Volume(rig_.ctx, v, 'Z', cluster, label, true);
    }
    std::string fsck(const fs::path& p, int& status) {
        std::string out;
        status = RunCommand("'" + fsck_ + "' -n '" + p.string() + "'", out, dir_ / "fsck.log");
        return out;
    }
    std::string mdir(const std::string& image, int& status) {
        std::string out;
        status = RunCommand("MTOOLS_SKIP_CHECK=1 '" + mdir_ + "' -i '" + image + "' ::", out,
                            dir_ / "mdir.log");
        return out;
    }

    test::DiskRig rig_;
    std::string fsck_;
    std::string mdir_;
    fs::path dir_;
};

TEST_F(Fat32Image, FsckAndMtoolsAcceptWhatTheFormatterWrites) {
    struct Case {
        const char* name;
        std::uint64_t bytes;
        std::uint32_t b;
        std::uint32_t cluster;
        const char* label;
    };
    const Case cases[] = {
        {"64 MiB, 512-byte clusters", 64 * kMiB, 512, 0, "STATION"},
        {"1 GiB, 4 KiB clusters", 1024 * kMiB, 512, 0, "PORT 07"},
        {"2 GiB and a bit, 16 KiB clusters given", 2048 * kMiB + 1536, 512, 16384,
         "LONGER-THAN-11"},
        {"lower case", 64 * kMiB, 512, 0, "port 07"},
        // 512 KiB clusters: below 32 GiB a volume has fewer clusters than tools that go by
        // the cluster count take for FAT32.
        {"40 GiB of 4096-byte sectors", 40 * 1024 * kMiB, 4096, 0, "FOURK"},
    };
    for (const auto& c : cases) {
        const fs::path p = image(c.bytes);
        ASSERT_EQ(format(p, c.b, c.cluster, c.label), 1) << c.name << rig_.console;
        int status = 0;
        const std::string report = fsck(p, status);
        EXPECT_EQ(status, 0) << c.name << "\n" << report;
        const std::string listing = mdir(p.string(), status);
        EXPECT_EQ(status, 0) << c.name << "\n" << listing;
        const std::string label = LabelField(c.label);
        const std::string shown = label.substr(0, label.find_last_not_of(' ') + 1);
        EXPECT_NE(listing.find("Volume in drive : is " + shown), std::string::npos)
            << c.name << "\n"
            << listing;
    }
}

TEST_F(Fat32Image, AnOldFatIsGone) {
    // The image held garbage everywhere the new structures go.
    const fs::path p = image(256 * kMiB, 0xFF, 8 * kMiB);
    ASSERT_EQ(format(p, 512, 0, "CLEAN"), 1);
    int status = 0;
    const std::string report = fsck(p, status);
    EXPECT_EQ(status, 0) << report;
    EXPECT_EQ(report.find("Free cluster summary wrong"), std::string::npos) << report;
}

TEST_F(Fat32Image, AWindowOfTheImage) {
    // A volume from 1 MiB on, as the partition of a disk would be; mtools reads it there.
    const fs::path p = image(129 * kMiB);
    ASSERT_EQ(format(p, 512, 0, "WINDOW", kMiB, 128 * kMiB), 1);
    int status = 0;
    const std::string listing = mdir(p.string() + "@@1M", status);
    EXPECT_EQ(status, 0) << listing;
    EXPECT_NE(listing.find("Volume in drive : is WINDOW"), std::string::npos) << listing;
}

TEST_F(Fat32Image, EmptyLabel) {
    const fs::path p = image(64 * kMiB);
    ASSERT_EQ(format(p, 512, 0, ""), 1);
    int status = 0;
    const std::string report = fsck(p, status);
    EXPECT_EQ(status, 0) << report;
    const std::string listing = mdir(p.string(), status);
    EXPECT_NE(listing.find("Volume in drive : has no label"), std::string::npos) << listing;
}

}  // namespace
}  // namespace vq::disk
