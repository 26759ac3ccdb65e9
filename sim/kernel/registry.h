// The in-memory registry behind RtlQueryRegistryValues/RtlWriteRegistryValue,
// and the captured debug output.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct RegistryValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

class Registry {
public:
    static Registry &Get();
    void Clear();
    // Paths and value names compare without regard to case, as the platform's do.
    void Set(const std::string &key, const std::string &name, RegistryValue value);
    void SetDword(const std::string &key, const std::string &name, uint32_t value);
    std::optional<RegistryValue> Query(const std::string &key, const std::string &name);
    std::optional<uint32_t> QueryDword(const std::string &key, const std::string &name);
    bool KeyExists(const std::string &key);
    void CreateKey(const std::string &key);

private:
    std::mutex mutex_;
    std::map<std::string, std::map<std::string, RegistryValue>> keys_;
};

class DebugLog {
public:
    static DebugLog &Get();
    void Append(std::string line);
    std::vector<std::string> Lines();
    void Clear();

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

std::string Narrow(const char16_t *text);
std::string Narrow(const char16_t *text, size_t units);

}  // namespace sim
