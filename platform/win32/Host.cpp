// Windows host facts: the executable's folder and machine-wide named mutexes.
#include "platform/Host.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <system_error>

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

bool HostReplaceFile(const std::filesystem::path& path, std::string_view data, std::string* error) {
    const auto fail = [error](const std::string& what, DWORD err) {
        if (error) {
            *error = what + ": " +
                     std::error_code(static_cast<int>(err), std::system_category()).message();
        }
        return false;
    };
    static std::atomic<unsigned> counter{0};
    std::wstring tmp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
        tmp = path.wstring() + L".tmp" + std::to_wstring(GetCurrentProcessId()) + L"-" +
              std::to_wstring(counter.fetch_add(1));
        h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            return fail("cannot create " + std::filesystem::path(tmp).string(), GetLastError());
    }
    const std::string shown = std::filesystem::path(tmp).string();
    if (h == INVALID_HANDLE_VALUE)
        return fail("cannot create " + shown, ERROR_FILE_EXISTS);
    const auto abandon = [&](const std::string& what) {
        const DWORD err = GetLastError();
        CloseHandle(h);
        DeleteFileW(tmp.c_str());
        return fail(what, err);
    };
    for (std::size_t done = 0; done < data.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(h, data.data() + done, chunk, &written, nullptr))
            return abandon("cannot write " + shown);
        done += written;
    }
    if (!FlushFileBuffers(h))
        return abandon("cannot flush " + shown);
    CloseHandle(h);
    if (!MoveFileExW(tmp.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD err = GetLastError();
        DeleteFileW(tmp.c_str());
        return fail("cannot rename " + shown + " to " + path.string(), err);
    }
    return true;
}

namespace {

class Win32FileLock final : public HostFileLock {
  public:
    explicit Win32FileLock(HANDLE h) : h_(h) {}
    ~Win32FileLock() override {
        OVERLAPPED at{};
        UnlockFileEx(h_, 0, 1, 0, &at);
        CloseHandle(h_);
    }

  private:
    HANDLE h_;
};

}  // namespace

std::unique_ptr<HostFileLock> HostTryLockFile(const std::filesystem::path& path, bool* busy,
                                              std::string* error) {
    if (busy)
        *busy = false;
    const auto fail = [&](const std::string& what, DWORD err) -> std::unique_ptr<HostFileLock> {
        if (error) {
            *error = what + path.string() + ": " +
                     std::error_code(static_cast<int>(err), std::system_category()).message();
        }
        return nullptr;
    };
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail("cannot open ", GetLastError());
    OVERLAPPED at{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        const DWORD err = GetLastError();
        CloseHandle(h);
        if (err == ERROR_LOCK_VIOLATION || err == ERROR_SHARING_VIOLATION) {
            if (busy)
                *busy = true;
            return nullptr;
        }
        return fail("cannot lock ", err);
    }
    return std::make_unique<Win32FileLock>(h);
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
