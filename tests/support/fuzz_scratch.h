// The scratch folder of one fuzzer process: below the temporary folder, made on first use and
// removed when the process exits (libFuzzer ends with exit() once its time is up; a crash leaves the
// folder as it was, beside the input that caused it).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

namespace fuzz_scratch
{

namespace detail
{
inline std::filesystem::path &Folder()
{
    static std::filesystem::path folder;
    return folder;
}
inline void Remove()
{
    std::error_code ignored;
    std::filesystem::remove_all(Folder(), ignored);
}
} // namespace detail

// `name` names the folder (with the process id) on the first call; later calls return the same one.
inline const std::filesystem::path &Folder(const char *name)
{
    static const bool made = [name]
    {
        std::filesystem::path &folder = detail::Folder();
        folder =
            std::filesystem::temp_directory_path() / (std::string(name) + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        return std::atexit(detail::Remove) == 0;
    }();
    (void)made;
    return detail::Folder();
}

} // namespace fuzz_scratch
