#pragma once
// Explanations of the bank library's result codes for an operator. One table
// for both programs: the bridge prints it as "last_error_msg" and the kiosk
// reads it again for the codes the bridge reports, so the two never disagree.
// Plain C++ so that the bridge, which has no Qt, can use it too.

#include <string>

// The Russian explanation of a result code, UTF-8; empty for a code without
// an entry (0 among them).
std::string PilotErrorText(int code);
