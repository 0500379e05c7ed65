#include "disk/ReadWriteTest.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "base/AlignedBuffer.h"
#include "base/Format.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/FileService.h"
#include "platform/Operator.h"
#include "platform/Platform.h"

namespace vq {

namespace {

void Show(Platform& p, const std::string& text) {
    if (p.op)
        p.op->showMessage({text, rwtest::kDefaultCaption, MessageIcon::None, MessageButtons::Ok});
}

void Debug(Platform& p, const std::string& text) {
    if (p.diagnostics)
        p.diagnostics->debugOutput(text);
}

// The text of a transfer that stopped short: disk full, the device gone, or the number.
std::string Reason(std::uint32_t error) {
    switch (error) {
        case 0:
            return "no data moved";
        case syserr::kDiskFull:
            return "disk full";
        case syserr::kDeviceRemoved:
        case syserr::kNotReady:
            return "device removed";
        default:
            return Format("error %u", error);
    }
}

// MiB per second over a stretch of the performance counter. A stretch too short to
// measure counts as one tick, so the rate stays finite.
float Rate(std::uint64_t totalBytes, std::int64_t start, std::int64_t end, std::int64_t freq) {
    const std::int64_t ticks = std::max<std::int64_t>(end - start, 1);
    const double seconds = static_cast<double>(ticks) / static_cast<double>(freq > 0 ? freq : 1);
    return static_cast<float>(static_cast<double>(totalBytes >> 20) / seconds);
}

// Runs `requests` transfers of the whole buffer; false at the first one that fails or
// moves fewer bytes, with the bytes moved so far and the error.
template <typename Transfer>
bool TransferAll(std::uint64_t requests, std::size_t requestBytes, Transfer&& transfer,
                 std::uint64_t& moved, std::uint32_t& error) {
    moved = 0;
    error = 0;
    for (std::uint64_t i = 0; i < requests; ++i) {
        const IoResult r = transfer();
        moved += r.bytes;
        if (!r.ok || r.bytes != requestBytes) {
            error = r.ok ? 0 : r.error;
            return false;
        }
    }
    return true;
}

}  // namespace

std::uint64_t ReadWriteTestBytes(std::int32_t sizeMiB) {
    if (sizeMiB <= 0)
        return 0;
    const std::uint64_t step = rwtest::kSizeStepMiB;
    const std::uint64_t rounded = (static_cast<std::uint64_t>(sizeMiB) + step - 1) / step * step;
    return rounded << 20;
}

bool RunReadWriteTest(Platform& p, const std::filesystem::path& volumeRoot, std::int32_t sizeMiB,
                      const PatternBlock& pattern, ReadWriteRates& rates) {
    rates = {};
    if (!p.files || !p.clock)
        return false;
    FileService& files = *p.files;
    Clock& clock = *p.clock;
    const std::filesystem::path file = volumeRoot / std::string(rwtest::kTestFileName);
    const std::uint64_t total = ReadWriteTestBytes(sizeMiB);
    const std::uint64_t requests = total / rwtest::kRequestBytes;
    if (requests == 0) {
        Show(p, rwtest::kNoData);
        return false;
    }

    AlignedBuffer writeBuffer;
    AlignedBuffer readBuffer;
    try {
        writeBuffer = AlignedBuffer(rwtest::kRequestBytes);
    } catch (const std::bad_alloc&) {
        Show(p, rwtest::kAllocWriteFail);
        return false;
    }
    try {
        readBuffer = AlignedBuffer(rwtest::kRequestBytes);
    } catch (const std::bad_alloc&) {
        Show(p, rwtest::kAllocReadFail);
        return false;
    }
    for (std::size_t off = 0; off < writeBuffer.size(); off += kPatternBlockBytes)
        std::memcpy(writeBuffer.data() + off, pattern.data(), kPatternBlockBytes);
    ReadWriteRates measured;

    // A test file left from an earlier run goes first; one that stays is a failure, not
    // a reason to measure against whatever it holds.
    if (files.stat(file)) {
        const std::uint32_t err = files.remove(file);
        if (err != 0 && err != syserr::kFileNotFound) {
            Debug(p, Format("R/W test: cannot delete the old %s (error %u)\n", file.string(), err));
            Show(p, rwtest::kDeleteFail);
            return false;
        }
    }

    std::uint32_t err = 0;
    auto f = files.open(file, FileMode::CreateNew, FileAccess::Write, true, &err);
    if (!f) {
        Debug(p, Format("R/W test: create %s failed (error %u)\n", file.string(), err));
        Show(p, rwtest::kCreateWriteFail);
        return false;
    }
    std::uint64_t moved = 0;
    std::int64_t start = clock.perfCounter();
    bool passed = TransferAll(
        requests, writeBuffer.size(), [&] { return f->write(writeBuffer.span()); }, moved, err);
    std::int64_t end = clock.perfCounter();
    f.reset();
    if (passed) {
        measured.write = Rate(total, start, end, clock.perfFrequency());
    } else {
        Debug(p, Format("R/W test: write of %s stopped at %I64u of %I64u bytes (%s)\n",
                        file.string(), moved, total, Reason(err)));
        Show(p, std::string(rwtest::kWriteFail) + ": " + Reason(err));
    }

    if (passed) {
        f = files.open(file, FileMode::OpenExisting, FileAccess::Read, true, &err);
        if (!f) {
            Debug(p, Format("R/W test: open %s failed (error %u)\n", file.string(), err));
            Show(p, rwtest::kCreateReadFail);
            return false;
        }
        start = clock.perfCounter();
        passed = TransferAll(
            requests, readBuffer.size(), [&] { return f->read(readBuffer.span()); }, moved, err);
        end = clock.perfCounter();
        f.reset();
        if (passed) {
            measured.read = Rate(total, start, end, clock.perfFrequency());
        } else {
            Debug(p, Format("R/W test: read of %s stopped at %I64u of %I64u bytes (%s)\n",
                            file.string(), moved, total, Reason(err)));
            Show(p, std::string(rwtest::kReadFail) + ": " + Reason(err));
        }
    }

    if (passed && std::memcmp(readBuffer.data(), writeBuffer.data(), kPatternBlockBytes) != 0) {
        Debug(p, Format("R/W test: data read back from %s differs\n", file.string()));
        passed = false;
    }

    if (files.stat(file)) {
        bool gone = false;
        for (int attempt = 0; attempt < rwtest::kDeleteAttempts && !gone; ++attempt) {
            if (files.remove(file) == syserr::kFileNotFound)
                gone = true;
            else
                clock.sleepMs(rwtest::kDeleteRetryMs);
        }
        if (!gone) {
            Show(p, rwtest::kDeleteFail);
            return false;
        }
    } else {
        // Something else removed the file, or the volume went: nothing confirms the data.
        Show(p, rwtest::kFileDisappeared);
        passed = false;
    }
    rates = measured;
    return passed;
}

std::int32_t MeasuredSizeMiB(std::int32_t rwDataSize, std::int32_t usbSpeed) {
    if (usbSpeed > 2)
        return std::max(rwDataSize, rwtest::kSuperSpeedMinSizeMiB);
    return rwDataSize;
}

bool BelowMinimumRates(const ReadWriteRates& stored, std::int32_t minReadRate,
                       std::int32_t minWriteRate) {
    if (minReadRate < 1 || minWriteRate < 1)
        return false;
    return stored.read < static_cast<float>(minReadRate) ||
           stored.write < static_cast<float>(minWriteRate);
}

ReadWriteStepResult RunReadWriteStep(Platform& p, const PatternBlock& pattern,
                                     const ReadWriteStepInput& in,
                                     const ReadWriteStepHooks& hooks) {
    ReadWriteStepResult out;
    if (in.earlierFailure) {
        out.result = 3;
        return out;
    }
    if (!in.volumeRoot) {
        out.result = -1;
        return out;
    }

    ReadWriteRates warmUp;
    RunReadWriteTest(p, *in.volumeRoot, rwtest::kWarmUpSizeMiB, pattern, warmUp);

    const std::int32_t size = MeasuredSizeMiB(in.rwDataSize, in.usbSpeed);
    {
        std::lock_guard lock(hooks.rwTestLock);
        ReadWriteRates measured;
        out.testPassed = RunReadWriteTest(p, *in.volumeRoot, size, pattern, measured);
        out.stored.read = measured.read * in.perfShift;
        out.stored.write = measured.write * in.perfShift;
    }
    if (hooks.flushCache) {
        for (int i = 0; i < rwtest::kFlushesAfterTest; ++i)
            hooks.flushCache();
    }

    if (!out.testPassed) {
        out.result = -1;
        return out;
    }
    const bool inWindow = hooks.freeSpaceInWindow ? hooks.freeSpaceInWindow() : true;
    out.result = inWindow ? 1 : 4;
    out.belowMinimum = BelowMinimumRates(out.stored, in.minReadRate, in.minWriteRate);
    if (out.belowMinimum)
        out.result = -1;
    return out;
}

}  // namespace vq
