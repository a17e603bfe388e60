// Configuration values: process overrides, environment, configuration file.
#pragma once
#include <string>

namespace vdbs {

// The value of key or null (same rules as QueryRCS).
const char* configValue(const char* key);
// Convenience: the value or def when missing.
std::string configString(const char* key, const char* def);
void setConfigOverride(const char* key, const char* value);

}  // namespace vdbs
