// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct SpeexResamplerState_;

// Converts a mono 16-bit stream from one sample rate to another (speexdsp's resampler), for
// devices that do not run at the voice path's 48 kHz. Keeps its filter state between calls, so a
// stream may arrive in pieces of any size.
namespace voicesdk::sound {

class Resampler
{
public:
    Resampler(int fromRate, int toRate);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    bool isValid() const { return m_state != nullptr; }
    // Appends the converted samples of in to out.
    void process(const int16_t* in, size_t count, std::vector<int16_t>* out);

private:
    SpeexResamplerState_* m_state = nullptr;
    int m_from;
    int m_to;
};

} // namespace voicesdk::sound
