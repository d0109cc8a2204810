// An environment variable set or cleared for one scope, restored afterwards; on Linux and Windows.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : Name(name)
    {
        if (const char* old = std::getenv(name)) Old = old;
        Set(name, value);
    }
    ~ScopedEnv() { Set(Name.c_str(), Old ? Old->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    static void Set(const char* name, const char* value)
    {
#ifdef _WIN32
        // An empty value removes the variable there, so an empty one cannot be kept.
        _putenv_s(name, value != nullptr ? value : "");
#else
        if (value) setenv(name, value, 1);
        else unsetenv(name);
#endif
    }

    std::string Name;
    std::optional<std::string> Old;
};
