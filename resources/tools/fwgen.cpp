// Writes the example firmware files of FirmwareExamples.h into a folder.
// Usage: fwgen FOLDER
#include <cstdio>
#include <string>

#include "../FirmwareExamples.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fwgen FOLDER\n");
        return 2;
    }
    for (const auto& f : vq::resources::kExampleFirmware) {
        const std::string path = std::string(argv[1]) + "/" + std::string(f.file);
        const auto bytes = vq::resources::MakeExampleFirmware(f);
        std::FILE* out = std::fopen(path.c_str(), "wb");
        if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() ||
            std::fclose(out) != 0) {
            std::perror(path.c_str());
            return 1;
        }
        std::printf("%s  kind %u  revision %u  %zu bytes\n", path.c_str(),
                    static_cast<unsigned>(f.kind), static_cast<unsigned>(f.revision), bytes.size());
    }
    return 0;
}
