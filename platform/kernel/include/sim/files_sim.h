// Test and host face of the file stand-in: which host folder "\SystemRoot\" stands for, the files
// open now, and an injected read failure.
#pragma once

#include <nt_files.h>

#include <filesystem>

namespace sim::files
{

// The folder that "\SystemRoot\" maps to; empty: none (every open gives STATUS_OBJECT_PATH_NOT_FOUND).
void SetSystemRoot(const std::filesystem::path &folder);
std::filesystem::path SystemRoot();

// Files opened with ZwCreateFile and not yet closed.
size_t OpenFiles();

// From the next read on, the read number `afterReads` + 1 (counted over all files) and every one
// after it fail with `status` (a device error, say), until Reset or ClearReadFailure.
void FailReadsAfter(ULONG afterReads, NTSTATUS status);
void ClearReadFailure();

// No system root, no injected failure. Files still open stay open (they are a leak to report).
void Reset();

} // namespace sim::files
