// The SHA-256 block transforms behind SHA256 (Digests.h): portable code, and code on the processor's
// SHA extensions that SHA256 uses where cpuid reports them. Internal to the digests and their tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vondrel {
namespace sha256 {

// Compresses `count` consecutive 64-byte blocks into the eight state words.
void TransformPortable(uint32_t state[8], const uint8_t* blocks, size_t count);

// The same on the SHA extensions (with SSSE3 and SSE4.1). Only its own translation unit is compiled
// for those instructions: call it only where ShaExtensionsAvailable().
void TransformAccelerated(uint32_t state[8], const uint8_t* blocks, size_t count);

bool ShaExtensionsAvailable();

// The transform SHA256 uses on this processor, and its name for the benchmark.
using Transform = void (*)(uint32_t state[8], const uint8_t* blocks, size_t count);
Transform ChosenTransform();
const char* ChosenTransformName();

}  // namespace sha256
}  // namespace vondrel
