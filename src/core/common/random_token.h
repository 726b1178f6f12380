// Random bytes from the kernel, and tokens made of them (lock values, temporary-file names).
#pragma once

#include <cstddef>
#include <string>

namespace mosswork::core {

// Fills `size` bytes from getrandom(2), blocking until the pool is ready. Throws IoError.
void random_bytes(void* out, std::size_t size);

// `bytes` random bytes as 2 * bytes lower-case hex digits.
std::string random_hex(std::size_t bytes);

}  // namespace mosswork::core
