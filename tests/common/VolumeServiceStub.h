// A volume service for tests that need only a few queries: everything else answers as a
// machine that cannot do it. Tests derive from it and override what they look at.
#pragma once

#include "platform/VolumeService.h"

namespace vq::test {

class VolumeServiceStub : public VolumeService {
  public:
    std::uint32_t logicalDriveMask() override { return 0; }
    char systemDriveLetter() override { return 'C'; }
    DriveType driveType(char) override { return DriveType::NoRootDir; }
    std::string volumeDevicePath(char letter) override {
        return std::string("\\\\.\\") + letter + ":";
    }
    std::filesystem::path rootPath(char letter) override { return std::string(1, letter) + ":\\"; }
    std::optional<std::uint64_t> freeBytes(char) override { return std::nullopt; }
    std::optional<std::uint64_t> totalBytes(char) override { return std::nullopt; }
    std::unique_ptr<Volume> openVolume(char, std::uint32_t* error) override {
        if (error != nullptr)
            *error = syserr::kNotSupported;
        return nullptr;
    }
    std::optional<VolumeInformation> volumeInformation(char) override { return std::nullopt; }
    std::uint32_t setLabel(char, std::string_view) override { return syserr::kNotSupported; }
    int systemFormat(char, std::string_view, std::string_view, std::uint32_t, bool) override {
        return -1;
    }
    bool systemFormatAvailable() override { return false; }
    bool closeFormatPrompt() override { return false; }
};

}  // namespace vq::test
