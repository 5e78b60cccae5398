// Internal to the SHA-256 code: which compression it runs. For tests and benchmarks only.
#pragma once

namespace apk::detail {

// True when hashing currently runs on the processor's SHA instructions.
bool sha256_uses_hardware();

// Forces the portable code (true) or restores the run-time choice (false).
void sha256_force_portable(bool on);

}  // namespace apk::detail
