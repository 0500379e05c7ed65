// The host's file service on a fresh folder beside the test program: the error codes of
// each operation, unbuffered transfers (O_DIRECT where the file system takes it),
// listings with attributes and FILETIME stamps, the tree copy and free space.
#include "platform/linux/LinuxFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/AlignedBuffer.h"
#include "platform/Diagnostics.h"

namespace vq {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = 1 << 20;

std::vector<std::uint8_t> Bytes(std::size_t n, unsigned seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>((i * 131 + seed * 17 + i / 251) & 0xFF);
    return v;
}

void WriteFile(const fs::path& p, std::size_t n, unsigned seed) {
    const auto v = Bytes(n, seed);
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(n));
}

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void SetTimes(const fs::path& p, std::int64_t access, std::int64_t write, long writeNs = 0) {
    const timespec t[2] = {{access, 0}, {write, writeNs}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << p;
}

// Whether this process holds `path` open with O_DIRECT, from the kernel's own account.
std::optional<bool> OpenedDirect(const fs::path& path) {
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(fd.path(), ec) != path)
            continue;
        std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
        std::string key, value;
        while (info >> key >> value) {
            if (key == "flags:")
                return (std::stoul(value, nullptr, 8) & O_DIRECT) != 0;
        }
    }
    return std::nullopt;
}

class LinuxFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::absolute(std::string("linux_files_") +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::uint32_t openError(const fs::path& p, FileMode mode, FileAccess access,
                            bool unbuffered = false) {
        std::uint32_t e = 0;
        return files.open(p, mode, access, unbuffered, &e) ? 0 : e;
    }

    CapturingDiagnostics diagnostics;
    LinuxFiles files{&diagnostics};
    fs::path dir;
};

TEST_F(LinuxFilesTest, EachFailureCarriesTheSystemsErrorCode) {
    WriteFile(dir / "file.bin", 4096, 1);
    fs::create_directory(dir / "sub");
    AlignedBuffer buf(8192);
    const auto transfer = [&](FileAccess access, bool write, bool unbuffered, std::size_t offset,
                              std::size_t length, const fs::path& p) -> std::uint32_t {
        std::uint32_t e = 0;
        auto f = files.open(p, FileMode::OpenExisting, access, unbuffered, &e);
        if (!f)
            return 1000000 + e;  // the open itself must not fail here
        const auto s = buf.span().subspan(offset, length);
        const IoResult r = write ? f->write(s) : f->read(s);
        EXPECT_FALSE(r.ok && r.error != 0);
        return r.ok ? 0 : r.error;
    };
    const fs::path file = dir / "file.bin", sub = dir / "sub", none = dir / "none";
    const struct {
        const char* what;
        std::function<std::uint32_t()> op;
        std::uint32_t expected;
    } rows[] = {
        {"open a missing file",
         [&] { return openError(none, FileMode::OpenExisting, FileAccess::Read); },
         syserr::kFileNotFound},
        {"open in a missing folder",
         [&] { return openError(none / "x", FileMode::OpenExisting, FileAccess::Read); },
         syserr::kPathNotFound},
        {"create in a missing folder",
         [&] { return openError(none / "x", FileMode::CreateAlways, FileAccess::Write); },
         syserr::kPathNotFound},
        {"create anew a file that exists",
         [&] { return openError(file, FileMode::CreateNew, FileAccess::Write, true); },
         syserr::kFileExists},
        {"open a folder to read",
         [&] { return openError(sub, FileMode::OpenExisting, FileAccess::Read); },
         syserr::kAccessDenied},
        {"open a folder to write",
         [&] { return openError(sub, FileMode::CreateAlways, FileAccess::Write); },
         syserr::kAccessDenied},
        {"remove a missing file", [&] { return files.remove(none); }, syserr::kFileNotFound},
        {"remove in a missing folder", [&] { return files.remove(none / "x"); },
         syserr::kPathNotFound},
        {"remove a folder", [&] { return files.remove(sub); }, syserr::kAccessDenied},
        {"create a folder that exists", [&] { return files.createFolder(sub); },
         syserr::kAlreadyExists},
        {"create a folder in a missing one", [&] { return files.createFolder(none / "x"); },
         syserr::kPathNotFound},
        {"copy a missing folder", [&] { return files.copyTree(none, sub, nullptr); },
         syserr::kPathNotFound},
        {"copy into a missing folder", [&] { return files.copyTree(sub, none, nullptr); },
         syserr::kPathNotFound},
        {"write to a full device",
         [&] { return transfer(FileAccess::Write, true, false, 0, 100, "/dev/full"); },
         syserr::kDiskFull},
        {"write through a handle that reads",
         [&] { return transfer(FileAccess::Read, true, false, 0, 100, file); },
         syserr::kAccessDenied},
        {"read through a handle that writes",
         [&] { return transfer(FileAccess::Write, false, false, 0, 100, file); },
         syserr::kAccessDenied},
        {"unbuffered read of an odd length",
         [&] { return transfer(FileAccess::Read, false, true, 0, 1000, file); },
         syserr::kInvalidParameter},
        {"unbuffered write from an odd address",
         [&] { return transfer(FileAccess::ReadWrite, true, true, 1, 4096, file); },
         syserr::kInvalidParameter},
        {"unbuffered read into a half-sector address",
         [&] { return transfer(FileAccess::Read, false, true, 256, 4096, file); },
         syserr::kInvalidParameter},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.op(), row.expected) << row.what;
    EXPECT_EQ(ReadAll(file).size(), 4096u);  // the refused transfers left the file alone
}

TEST_F(LinuxFilesTest, UnbufferedFilesBypassTheCacheAndReadBackWhatWasWritten) {
    const fs::path path = dir / "targetTestFile.mas";
    // What the file system says to O_DIRECT, asked without the service.
    const int probe = ::open((dir / "probe").c_str(), O_CREAT | O_WRONLY | O_DIRECT, 0644);
    const bool takesDirect = probe >= 0;
    if (probe >= 0)
        ::close(probe);

    std::uint32_t e = 0;
    auto f = files.open(path, FileMode::CreateNew, FileAccess::Write, true, &e);
    ASSERT_TRUE(f) << e;
    if (takesDirect) {
        EXPECT_EQ(OpenedDirect(path), std::optional<bool>(true));
        EXPECT_TRUE(diagnostics.lines().empty());
    } else {
        std::cout << "[  NOTE    ] the test folder's file system refuses O_DIRECT; "
                     "checking the cached fallback\n";
        EXPECT_EQ(OpenedDirect(path), std::optional<bool>(false));
        ASSERT_EQ(diagnostics.lines().size(), 1u);
        EXPECT_NE(diagnostics.lines()[0].find("refuses unbuffered"), std::string::npos);
    }
    AlignedBuffer buf(64 * 1024);
    const auto data = Bytes(3 * buf.size(), 7);
    for (std::size_t i = 0; i < 3; ++i) {
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(i * buf.size()), buf.size(),
                    buf.data());
        const IoResult w = f->write(buf.span());
        ASSERT_TRUE(w.ok) << w.error;
        EXPECT_EQ(w.bytes, buf.size());
    }
    EXPECT_TRUE(f->flush());
    EXPECT_EQ(f->size(), std::optional<std::uint64_t>(data.size()));
    f.reset();

    auto r = files.open(path, FileMode::OpenExisting, FileAccess::Read, true, &e);
    ASSERT_TRUE(r) << e;
    AlignedBuffer back(data.size() + 4096);
    IoResult got = r->read(back.span());
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.bytes, data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.data()));
    got = r->read(back.span());
    EXPECT_TRUE(got.ok);
    EXPECT_EQ(got.bytes, 0u);  // the end
    r.reset();

    // A file whose length is no whole number of sectors reads to its end, then nothing.
    WriteFile(dir / "short.bin", 1000, 3);
    r = files.open(dir / "short.bin", FileMode::OpenExisting, FileAccess::Read, true, &e);
    ASSERT_TRUE(r) << e;
    got = r->read(back.span().first(8192));
    EXPECT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.bytes, 1000u);
    got = r->read(back.span().first(8192));
    EXPECT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.bytes, 0u);

    // Buffered transfers take any length and address; CreateAlways starts the file afresh.
    auto b = files.open(path, FileMode::CreateAlways, FileAccess::ReadWrite, false, &e);
    ASSERT_TRUE(b) << e;
    EXPECT_EQ(b->size(), std::optional<std::uint64_t>(0));
    EXPECT_TRUE(b->write(std::span(data).subspan(3, 100)).ok);
    b.reset();
    EXPECT_EQ(ReadAll(path), std::string(data.begin() + 3, data.begin() + 103));
    EXPECT_EQ(files.remove(path), 0u);
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(LinuxFilesTest, ListingAndStatShowAttributesSizesAndFileTimes) {
    WriteFile(dir / "a.bin", 1234, 1);
    SetTimes(dir / "a.bin", 1600000000, 1614834367, 123456789);
    WriteFile(dir / "ro.txt", 10, 2);
    fs::permissions(dir / "ro.txt", fs::perms::owner_read | fs::perms::group_read);
    fs::create_directory(dir / "Sub");
    fs::create_symlink("a.bin", dir / "to-file");
    fs::create_directory_symlink("Sub", dir / "to-sub");
    fs::create_symlink("nowhere", dir / "gone");
    using namespace fileattr;
    const std::map<std::string, std::pair<std::uint32_t, std::uint64_t>> expected = {
        {"a.bin", {kArchive, 1234}},
        {"ro.txt", {kArchive | kReadOnly, 10}},
        {"Sub", {kDirectory, 0}},
        {"to-file", {kReparsePoint, 0}},
        {"to-sub", {kReparsePoint | kDirectory, 0}},
        {"gone", {kReparsePoint, 0}},
    };
    const auto entries = files.list(dir);
    ASSERT_TRUE(entries);
    std::map<std::string, std::pair<std::uint32_t, std::uint64_t>> seen;
    for (const FileEntry& e : *entries) {
        seen[e.name] = {e.attributes, e.size};
        const auto st = files.stat(dir / e.name);
        ASSERT_TRUE(st) << e.name;
        EXPECT_EQ(st->name, e.name);
        EXPECT_EQ(st->attributes, e.attributes) << e.name;
        EXPECT_EQ(st->lastWriteTime, e.lastWriteTime) << e.name;
        EXPECT_NE(e.creationTime, 0u) << e.name;
    }
    EXPECT_EQ(seen, expected);

    // 2021-03-04 05:06:07.123456789 UTC, to the 100 ns the FILETIME holds; 2020-09-13
    // 12:26:40 UTC last read.
    const auto a = files.stat(dir / "a.bin");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->lastWriteTime, 132593079671234567ull);
    EXPECT_EQ(a->lastAccessTime, 132444736000000000ull);
    EXPECT_EQ(files.stat(dir / "Sub/")->name, "Sub");
    const auto empty = files.list(dir / "Sub");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());  // "." and ".." are no entries;
    EXPECT_FALSE(files.stat(dir / "none"));
    EXPECT_FALSE(files.list(dir / "none"));
    EXPECT_FALSE(files.list(dir / "a.bin"));
}

TEST_F(LinuxFilesTest, TreeCopyKeepsLinksAndTimesReportsProgressAndStops) {
    const fs::path src = dir / "software", dst = dir / "copy";
    fs::create_directories(src / "bin" / "deep");
    fs::create_directories(dst);
    WriteFile(src / "readme.txt", 300, 2);
    WriteFile(src / "bin" / "tool.exe", 20000, 3);
    WriteFile(src / "bin" / "deep" / "data.dat", 9 * kMiB, 4);
    fs::create_symlink("readme.txt", src / "to-readme");
    fs::create_directory_symlink("..", src / "bin" / "up");  // followed, it would never end
    SetTimes(src / "readme.txt", 1600000000, 1614834367, 500);
    SetTimes(src / "bin" / "deep" / "data.dat", 1600000000, 1500000000);
    SetTimes(src / "to-readme", 1600000000, 1400000000);
    SetTimes(src / "bin", 1600000000, 1300000000);
    // An older read-only copy in the way is overwritten.
    WriteFile(dst / "readme.txt", 5000, 9);
    fs::permissions(dst / "readme.txt", fs::perms::owner_read);

    std::vector<CopyProgress> seen;
    ASSERT_EQ(files.copyTree(src, dst,
                             [&](const CopyProgress& c) {
                                 seen.push_back(c);
                                 return true;
                             }),
              0u);
    ASSERT_GE(seen.size(), 5u);  // the start, the big file in two pieces, three files done
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GE(seen[i].bytesDone, seen[i - 1].bytesDone);
        EXPECT_GE(seen[i].filesDone, seen[i - 1].filesDone);
    }
    EXPECT_EQ(seen.front().bytesDone, 0u);
    EXPECT_EQ(seen.back().filesTotal, 3u);
    EXPECT_EQ(seen.back().filesDone, 3u);
    EXPECT_EQ(seen.back().bytesTotal, 300u + 20000u + 9 * kMiB);
    EXPECT_EQ(seen.back().bytesDone, seen.back().bytesTotal);
    for (const char* f : {"readme.txt", "bin/tool.exe", "bin/deep/data.dat"})
        EXPECT_EQ(ReadAll(dst / f), ReadAll(src / f)) << f;
    EXPECT_EQ(fs::read_symlink(dst / "to-readme"), "readme.txt");
    EXPECT_EQ(fs::read_symlink(dst / "bin" / "up"), "..");
    for (const char* f : {"readme.txt", "bin/deep/data.dat", "to-readme", "bin"}) {
        const auto from = files.stat(src / f), to = files.stat(dst / f);
        ASSERT_TRUE(from && to) << f;
        EXPECT_EQ(to->lastWriteTime, from->lastWriteTime) << f;
        EXPECT_EQ(to->attributes, from->attributes) << f;
    }

    // Stopped after the first piece of the first file: that file is not left half made.
    const fs::path dst2 = dir / "copy2";
    fs::create_directories(dst2);
    int calls = 0;
    EXPECT_EQ(files.copyTree(src, dst2, [&](const CopyProgress&) { return ++calls < 2; }),
              syserr::kCancelled);
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(fs::is_directory(dst2 / "bin" / "deep"));
    EXPECT_FALSE(fs::exists(dst2 / "bin" / "deep" / "data.dat"));
    EXPECT_FALSE(fs::exists(dst2 / "readme.txt"));
}

TEST_F(LinuxFilesTest, FreeSpaceIsThatOfTheFileSystemHoldingThePath) {
    const auto free = files.freeBytes(dir);
    ASSERT_TRUE(free);
    const auto space = fs::space(dir);
    EXPECT_LE(*free, space.capacity);
    EXPECT_NEAR(static_cast<double>(*free), static_cast<double>(space.available), 256.0 * kMiB);
    EXPECT_FALSE(files.freeBytes(dir / "none"));
    EXPECT_TRUE(fs::is_directory(files.tempFolder()));
}

}  // namespace
}  // namespace vq
