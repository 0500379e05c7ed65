#include "bridge/Transport.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

namespace vq::bridge {

namespace {

constexpr std::align_val_t kBufferAlignment{8192};

struct AlignedFree {
    void operator()(std::uint8_t* p) const { ::operator delete[](p, kBufferAlignment); }
};
using AlignedBuffer = std::unique_ptr<std::uint8_t[], AlignedFree>;

// A zero-filled transfer buffer aligned so the storage stack can move data directly from
// it; null when memory is short.
AlignedBuffer TakeTransferBuffer(std::size_t size) {
    auto* p = static_cast<std::uint8_t*>(::operator new[](size, kBufferAlignment, std::nothrow));
    if (p)
        std::memset(p, 0, size);
    return AlignedBuffer(p);
}

// A one-byte transfer moves two bytes.
std::size_t AdjustedLength(std::size_t length) {
    return length == 1 ? 2 : length;
}

bool SendByPath(const Target& target, ConstBytes cdb, bool dataIn, Bytes dest, ConstBytes src,
                std::uint32_t* transferred) {
    auto device = target.transport.scsi().open(target.path);
    if (!device)
        return false;
    const std::size_t length = dataIn ? dest.size() : src.size();
    const std::size_t adjusted = AdjustedLength(length);
    AlignedBuffer buffer;
    if (adjusted > 0) {
        buffer = TakeTransferBuffer(adjusted);
        if (!buffer)
            return false;
        if (!dataIn)
            std::copy(src.begin(), src.end(), buffer.get());
    }
    ScsiRequest request;
    request.cdb = cdb;
    request.direction = dataIn ? DataDirection::In : DataDirection::Out;
    request.data = Bytes(buffer.get(), adjusted);
    request.timeoutSeconds = CommandTimeout(cdb, dataIn, target.transport.settings().scsiTimeout);
    const ScsiResult result = device->execute(request);
    if (dataIn && length > 0)
        std::copy_n(buffer.get(), length, dest.begin());
    if (transferred)
        *transferred = result.bytesTransferred;
    return result.callSucceeded && result.lastError == 0 && result.scsiStatus == 0;
}

bool SendOnHandle(const Transport& transport, ScsiDevice& handle, ConstBytes cdb, bool dataIn,
                  Bytes dest, ConstBytes src, std::uint32_t* transferred) {
    std::array<std::uint8_t, 2> pair{};
    ScsiRequest request;
    request.cdb = cdb;
    request.direction = dataIn ? DataDirection::In : DataDirection::Out;
    request.timeoutSeconds = transport.settings().scsiTimeout;
    const std::size_t length = dataIn ? dest.size() : src.size();
    if (length == 1) {
        if (!dataIn)
            pair[0] = src[0];
        request.data = pair;
    } else if (dataIn) {
        request.data = dest;
    } else {
        // The system only reads a data-out buffer; the request type is shared with data-in.
        request.data = Bytes(const_cast<std::uint8_t*>(src.data()), src.size());
    }
    const ScsiResult result = handle.execute(request);
    if (dataIn && length == 1)
        dest[0] = pair[0];
    if (transferred)
        *transferred = result.bytesTransferred;
    return result.callSucceeded && result.scsiStatus == 0;
}

}  // namespace

std::uint32_t CommandTimeout(ConstBytes cdb, bool dataIn, std::uint32_t scsiTimeout) {
    if (dataIn)
        return scsiTimeout;
    const bool chipErase = cdb.size() > 2 && cdb[2] == 0x13;
    const bool eraseWrite = cdb.size() > 11 && cdb[11] == 0xFB && cdb[1] == 0x03;
    return chipErase || eraseWrite ? 100 : 50;
}

bool SendCommandIn(const Target& target, ConstBytes cdb, Bytes dest, std::uint32_t* transferred) {
    return SendByPath(target, cdb, true, dest, {}, transferred);
}

bool SendCommandOut(const Target& target, ConstBytes cdb, ConstBytes data,
                    std::uint32_t* transferred) {
    return SendByPath(target, cdb, false, {}, data, transferred);
}

bool SendCommandInOnHandle(const Transport& transport, ScsiDevice& handle, ConstBytes cdb,
                           Bytes dest, std::uint32_t* transferred) {
    return SendOnHandle(transport, handle, cdb, true, dest, {}, transferred);
}

bool SendCommandOutOnHandle(const Transport& transport, ScsiDevice& handle, ConstBytes cdb,
                            ConstBytes data, std::uint32_t* transferred) {
    return SendOnHandle(transport, handle, cdb, false, {}, data, transferred);
}

bool QueryDeviceNumber(const Target& target, StorageDeviceNumber& number) {
    auto device = target.transport.scsi().open(target.path);
    if (!device)
        return false;
    const auto answer = device->deviceNumber();
    if (!answer)
        return false;
    number = *answer;
    return true;
}

}  // namespace vq::bridge
