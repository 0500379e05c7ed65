// Windows host facts: the executable's folder and machine-wide named mutexes.
#include "platform/Host.h"

#include <windows.h>

#include <string>

#include "platform/NamedMutex.h"

namespace vq {

std::filesystem::path HostProgramFolder() {
    std::wstring buf(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0 || n >= buf.size())
        return {};
    buf.resize(n);
    return std::filesystem::path(buf).parent_path();
}

bool HostStdoutIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

namespace {

class Win32Mutex final : public NamedMutex {
  public:
    explicit Win32Mutex(HANDLE h) : h_(h) {}
    ~Win32Mutex() override { CloseHandle(h_); }
    void lock() override {
        const DWORD r = WaitForSingleObject(h_, INFINITE);
        (void)r;  // WAIT_ABANDONED still gives ownership
    }
    bool tryLock() override {
        const DWORD r = WaitForSingleObject(h_, 0);
        return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    void unlock() override { ReleaseMutex(h_); }

  private:
    HANDLE h_;
};

class Win32MutexProvider final : public NamedMutexProvider {
  public:
    std::unique_ptr<NamedMutex> open(std::string_view name) override {
        const std::string n(name);
        HANDLE h = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, n.c_str());
        if (!h)
            h = CreateMutexA(nullptr, FALSE, n.c_str());
        if (!h)
            return nullptr;
        return std::make_unique<Win32Mutex>(h);
    }
};

}  // namespace

std::unique_ptr<NamedMutexProvider> MakeHostNamedMutexProvider() {
    return std::make_unique<Win32MutexProvider>();
}

}  // namespace vq
