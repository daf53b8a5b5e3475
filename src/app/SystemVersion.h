#pragma once

#include <string>

// The system-version rule of start-up: folder events need a kernel release of
// 2.6.13 or later.
namespace SystemVersion {

inline constexpr const char* kMinimumKernel = "2.6.13";

// Compares the dotted numbers one by one: 2.6.9 < 2.6.13 < 3.0 < 6.1.0-27-amd64;
// a release that does not begin with a number fails.
bool kernelSupportsFolderEvents(const std::string& release);

} // namespace SystemVersion
