// Status catalogue and the session's last failure message.
#pragma once
#include <string>

namespace vdbs {

// Catalogue text of a status (never null).
const char* catalogueText(int status);

// Records a failure: the message becomes "<catalogue text>: <detail>" and is
// what VdbMessage gives for this status until the next failure. Returns status.
int fail(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int fail(int status, const std::string& detail);

// The message of the last failure and its status.
const std::string& lastMessage();
int lastStatus();

}  // namespace vdbs
