#include "platform/Sandbox.h"

namespace platform {

// Documents are counted in a sandboxed child only on Linux: on Windows no child is started, and
// a job whose pages need one is reported as not counted.
SandboxRun RunSandboxed(const std::vector<std::string>&, std::string_view, const SandboxLimits&) {
    return {};
}

}  // namespace platform
