#pragma once
// Helpers shared by the test executables.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A settings key Software\Tavrello\<name> under one root, in the 32-bit view,
// removed again (with its values) when the object goes away.
class ScopedSettingsKey {
public:
    ScopedSettingsKey(HKEY root, const std::string& logName);
    ~ScopedSettingsKey();
    ScopedSettingsKey(const ScopedSettingsKey&) = delete;
    ScopedSettingsKey& operator=(const ScopedSettingsKey&) = delete;

    void setDword(const char* name, uint32_t value);
    void setRaw(const char* name, DWORD type, const void* data, DWORD size);

private:
    HKEY root_;
    std::string path_;
    HKEY key_ = nullptr;
};

// Removes Software\Tavrello\<name> under both roots, in case a crashed run left it.
void deleteSettingsKeys(const std::string& logName);

std::string readFileBytes(const std::wstring& path);
bool fileExists(const std::wstring& path);
void writeFileBytes(const std::wstring& path, const std::string& bytes);
// Writes a file of exactly `size` bytes of 'x'.
void writeFileOfSize(const std::wstring& path, uint64_t size);
uint64_t fileSizeOf(const std::wstring& path);
void deleteFileIfPresent(const std::wstring& path);

// Splits on CR LF; a trailing incomplete line is kept.
std::vector<std::string> splitCrLfLines(const std::string& text);

std::wstring widen(const std::string& text);

}  // namespace testing_support
