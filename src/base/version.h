#pragma once

// The program's name, version and build number: the start-up log line, the header, the build flash and
// crash reports all show these.
namespace version {

inline constexpr const char* kProduct = "Tavrin";
inline constexpr const char* kVersion = "1.0.5";
inline constexpr const char* kBuild = "1162";

} // namespace version
